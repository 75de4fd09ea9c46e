#include "device/archive.h"

namespace velko {

Archive::Archive(Sink sink, size_t bufferSize)
    : sink_(std::move(sink)), buffer_(bufferSize ? bufferSize : 1) {}

Archive::Archive(Source source, size_t bufferSize)
    : source_(std::move(source)), buffer_(bufferSize ? bufferSize : 1) {}

void Archive::writeByte(uint8_t b) {
    if (used_ == buffer_.size()) flush();
    buffer_[used_++] = b;
}

bool Archive::readByte(uint8_t* b) {
    if (next_ == used_) {
        used_ = source_ ? source_(buffer_.data(), buffer_.size()) : 0;
        next_ = 0;
        if (used_ == 0) {
            *b = 0;
            return false;
        }
    }
    *b = buffer_[next_++];
    return true;
}

void Archive::flush() {
    if (!sink_ || used_ == 0) return;
    sink_(buffer_.data(), used_);
    used_ = 0;
}

}  // namespace velko
