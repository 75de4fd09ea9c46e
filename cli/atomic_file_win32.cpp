// Durable replacement of a file on Windows: the file flushed to disk, then moved into place
// with write-through, which returns only once the new name is on disk as well.
#include <windows.h>

#include <algorithm>

#include "cli/article_file.h"

namespace velko::cli {
namespace {

std::string messageOf(DWORD code) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    return n ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace

std::string writeFileAtomically(const std::string& path, const std::string& text, bool keepExisting,
                                std::string& error) {
    const std::string temporary = path + ".part";
    const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    bool good = file != INVALID_HANDLE_VALUE;
    for (size_t done = 0; good && done < text.size();) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<size_t>(text.size() - done, 1u << 20));
        good = WriteFile(file, text.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    good = good && FlushFileBuffers(file);
    DWORD failure = good ? 0 : GetLastError();
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file) && good) {
        failure = GetLastError();
        good = false;
    }
    std::string target = path;
    // Without MOVEFILE_REPLACE_EXISTING an existing file is never replaced, so two reports of
    // the same second both survive.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (keepExisting ? 0 : MOVEFILE_REPLACE_EXISTING);
    for (int n = 2; good && !MoveFileExA(temporary.c_str(), target.c_str(), flags); ++n) {
        failure = GetLastError();
        const bool taken = failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS;
        if (!keepExisting || !taken || n > 999) good = false;
        target = withSuffix(path, "-" + std::to_string(n));
    }
    if (!good) {
        error = path + ": " + messageOf(failure);
        DeleteFileA(temporary.c_str());
        return "";
    }
    return target;
}

}  // namespace velko::cli
