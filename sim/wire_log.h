// A readable log of one direction of the line: one line per frame or control byte, with the
// time, the direction, the frame's text and the control bytes named.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velko {

class WireLog {
  public:
    WireLog(std::FILE* out, const char* direction) : out_(out), direction_(direction) {}

    void feed(const uint8_t* bytes, size_t count);
    // A line of its own about this direction: what became of bytes that were not fed.
    void line(const std::string& what);

  private:
    std::FILE* out_;
    const char* direction_;
    enum class State { Between, Text, CrcHigh, CrcLow } state_ = State::Between;
    std::string text_;     // a frame's text and its 0x0D, for the CRC
    std::string control_;  // an address or end message in progress
    uint8_t crcHigh_ = 0;
};

}  // namespace velko
