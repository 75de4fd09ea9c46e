// A buffered byte archive: storing fills a buffer and flushes it to a byte sink when full;
// loading refills the buffer from a byte source when it runs empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velko {

class Archive {
  public:
    // Hands over `count` bytes; for storing.
    using Sink = std::function<void(const uint8_t* bytes, size_t count)>;
    // Fills up to `capacity` bytes and returns how many; 0 at the end; for loading.
    using Source = std::function<size_t(uint8_t* bytes, size_t capacity)>;

    explicit Archive(Sink sink, size_t bufferSize = 512);
    explicit Archive(Source source, size_t bufferSize = 512);
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;
    ~Archive() { flush(); }

    bool isStoring() const { return static_cast<bool>(sink_); }

    void writeByte(uint8_t b);
    // False when the source has run dry; the byte is then 0.
    bool readByte(uint8_t* b);
    void flush();

  private:
    Sink sink_;
    Source source_;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;  // storing: bytes held; loading: bytes available
    size_t next_ = 0;  // loading: next byte to hand out
};

}  // namespace velko
