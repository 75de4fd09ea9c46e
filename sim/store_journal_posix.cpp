// The journal is text, one change a line, so that a person can read it:
//
//   CRC A;CODE;GROUP;PRICE;FLAG;QUANTITY;VALUE;NAME   the article as it now is
//   CRC C;CODE                                        the article is deleted
//   CRC B                                             every counter is zero
//
// CRC is the CRC-16 of the rest of the line in four hex digits, amounts are whole hundredths
// and thousandths, and the name is the device's text with '\' and newline escaped ("\\", "\n").
// Every line states a result, not a step ("the article now holds this", never "add 2 to its
// counter"), so replaying a journal over a store that already has its changes, as happens
// after a crash between the rewrite of the store and the emptying of the journal, changes
// nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "link/crc16.h"
#include "sim/store_journal.h"
#include "sim/table_file.h"

namespace velko {
namespace {

// The journal is rewritten into the store once it has more lines than the table has articles,
// and never before it has this many: a small table is not rewritten every few changes.
constexpr size_t kCompactionFloor = 1000;

std::string systemError(const std::string& path) {
    return path + ": " + std::generic_category().message(errno);
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string crcText(const std::string& payload) {
    char text[5];
    std::snprintf(text, sizeof text, "%04x", crc16(payload.data(), uint32_t(payload.size()), 0));
    return text;
}

std::string escape(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

bool unescape(const std::string& text, std::string* name) {
    name->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *name += text[i];
        } else if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == 'n')) {
            *name += text[++i] == 'n' ? '\n' : '\\';
        } else {
            return false;
        }
    }
    return true;
}

std::string payloadOf(const TableChange& change) {
    switch (change.kind) {
        case TableChange::Kind::Stored: {
            const SimArticle& a = *change.article;
            return "A;" + a.code + ";" + std::to_string(a.group) + ";" + std::to_string(a.price) +
                   ";" + std::to_string(a.flag) + ";" + std::to_string(a.quantity) + ";" +
                   std::to_string(a.value) + ";" + escape(a.name);
        }
        case TableChange::Kind::Deleted:
            return "C;" + change.code;
        case TableChange::Kind::Zeroed:
            break;
    }
    return "B";
}

// Applies one line (without its newline) to `device`; false when it is not a whole record.
bool replayLine(const std::string& line, DeviceModel& device) {
    if (line.size() < 6 || line[4] != ' ') return false;
    const std::string payload = line.substr(5);
    if (line.compare(0, 4, crcText(payload)) != 0) return false;
    if (payload == "B") {
        device.zeroCounters();
        return true;
    }
    if (payload.compare(0, 2, "C;") == 0) {
        device.erase(payload.substr(2));  // already gone when the store has the change
        return true;
    }
    if (payload.compare(0, 2, "A;") != 0) return false;
    std::vector<std::string> fields;
    size_t start = 2;
    for (int n = 0; n < 6; ++n) {
        const size_t at = payload.find(';', start);
        if (at == std::string::npos) return false;
        fields.push_back(payload.substr(start, at - start));
        start = at + 1;
    }
    SimArticle a;
    int64_t group = 0, flag = 0;
    if (!parseInteger(fields[1], &group) || !parseInteger(fields[2], &a.price) ||
        !parseInteger(fields[3], &flag) || !parseInteger(fields[4], &a.quantity) ||
        !parseInteger(fields[5], &a.value) || !unescape(payload.substr(start), &a.name))
        return false;
    a.code = fields[0];
    a.group = int(group);
    a.flag = int(flag);
    return device.put(a);
}

bool readAll(int fd, std::string* text) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text->append(buf, size_t(n));
    }
}

}  // namespace

StoreJournal::StoreJournal(std::string storePath)
    : store_(std::move(storePath)), path_(store_ + ".journal") {}

StoreJournal::~StoreJournal() {
    if (fd_ >= 0) ::close(fd_);
}

bool StoreJournal::open(DeviceModel& device, bool replay, bool* pending, std::string& error) {
    const bool existed = ::access(path_.c_str(), F_OK) == 0;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = systemError(path_);
        return false;
    }
    if (!existed) {
        // The journal's name must survive a crash as much as the lines written into it.
        const int dir = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = dir >= 0 && ::fsync(dir) == 0;
        if (dir >= 0) ::close(dir);
        if (!synced) {
            error = systemError(directoryOf(path_));
            return false;
        }
    }
    std::string text;
    if (!readAll(fd_, &text)) {
        error = systemError(path_);
        return false;
    }
    *pending = !text.empty();
    size_t whole = 0;  // the bytes of the lines replayed
    for (int number = 1; replay && whole < text.size(); ++number) {
        const size_t end = text.find('\n', whole);
        const bool last = end == std::string::npos || end + 1 == text.size();
        if (end == std::string::npos || !replayLine(text.substr(whole, end - whole), device)) {
            // Only the line being written when the simulator died can be incomplete: every
            // line before it was flushed before the next was begun.
            if (!last) {
                error = path_ + ": line " + std::to_string(number) + " is damaged";
                return false;
            }
            std::fprintf(stderr, "velko-sim: %s: line %d is incomplete and ignored\n",
                         path_.c_str(), number);
            break;
        }
        ++records_;
        whole = end + 1;
    }
    if (!replay && !text.empty()) {
        std::fprintf(stderr, "velko-sim: %s: there is no store %s to apply it to: dropped\n",
                     path_.c_str(), store_.c_str());
    }
    // What was not replayed goes, so that the next line follows a whole one.
    if (whole < text.size() && (::ftruncate(fd_, off_t(whole)) != 0 || ::fdatasync(fd_) != 0)) {
        error = systemError(path_);
        return false;
    }
    size_ = off_t(whole);
    return true;
}

bool StoreJournal::record(const TableChange& change, std::string& error) {
    const std::string payload = payloadOf(change);
    const std::string line = crcText(payload) + " " + payload + "\n";
    bool good = true;
    for (size_t done = 0; good && done < line.size();) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        good = n > 0;
        if (good) done += size_t(n);
    }
    if (good && ::fdatasync(fd_) == 0) {
        ++records_;
        size_ += off_t(line.size());
        return true;
    }
    error = systemError(path_);
    // A part of a line left behind would make the next line unreadable.
    if (::ftruncate(fd_, size_) != 0) error += "; " + systemError(path_);
    return false;
}

bool StoreJournal::due(size_t articles) const {
    return records_ > std::max(articles, kCompactionFloor);
}

bool StoreJournal::compact(const DeviceModel& device, std::string& error) {
    if (!saveTableFile(store_, device, error)) return false;
    // The store now holds every line: if emptying the journal fails, replaying it again later
    // changes nothing.
    if (::ftruncate(fd_, 0) != 0 || ::fdatasync(fd_) != 0) {
        error = systemError(path_);
        return false;
    }
    records_ = 0;
    size_ = 0;
    return true;
}

}  // namespace velko
