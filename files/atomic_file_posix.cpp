// Durable replacement of a file on POSIX: fsync of the file and of its directory, rename, and
// link() where an existing file must survive.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "files/article_file.h"

namespace velko::files {
namespace {

bool syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string writeFileAtomically(const std::string& path, const std::string& text, bool keepExisting,
                                std::string& error) {
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool good = fd >= 0;
    for (size_t done = 0; good && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        good = n > 0;
        if (good) done += size_t(n);
    }
    good = good && ::fsync(fd) == 0;
    if (fd >= 0 && ::close(fd) != 0) good = false;
    std::string target = path;
    if (good && keepExisting) {
        // link() never replaces a file, so two reports of the same second both survive.
        for (int n = 2; ::link(temporary.c_str(), target.c_str()) != 0; ++n) {
            if (errno != EEXIST || n > 999) {
                good = false;
                break;
            }
            target = withSuffix(path, "-" + std::to_string(n));
        }
        if (good) ::unlink(temporary.c_str());
    } else if (good) {
        good = ::rename(temporary.c_str(), target.c_str()) == 0;
    }
    good = good && syncPath(directoryOf(target), O_RDONLY | O_DIRECTORY);
    if (!good) {
        error = path + ": " + std::generic_category().message(errno);
        ::unlink(temporary.c_str());
        return "";
    }
    return target;
}

}  // namespace velko::files
