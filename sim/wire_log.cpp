#include "sim/wire_log.h"

#include <chrono>
#include <ctime>

#include "link/crc16.h"

namespace velko {

void WireLog::feed(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
            case State::Text:
                text_.push_back(char(b));
                if (b == 0x0D) state_ = State::CrcHigh;
                if (text_.size() > 300) {
                    line("runaway frame text (no 0x0D)");
                    state_ = State::Between;
                }
                continue;
            case State::CrcHigh:
                crcHigh_ = b;
                state_ = State::CrcLow;
                continue;
            case State::CrcLow: {
                state_ = State::Between;
                const uint16_t crc = crc16(text_.data(), uint32_t(text_.size()), 0);
                const bool good = crcHigh_ == crc >> 8 && b == (crc & 0xFF);
                text_.pop_back();
                line("frame \"" + text_ + "\"" + (good ? "" : " (bad CRC)"));
                continue;
            }
            case State::Between:
                break;
        }
        if (!control_.empty()) {
            control_.push_back(char(b));
            if (control_ == "\x13\x13") {
                line("END (13 13)");
                control_.clear();
            } else if (control_.size() == 4 && control_[0] == 0x11) {
                line("address " + control_.substr(2) + " (11 11)");
                control_.clear();
            } else if (control_.size() == 2 && control_ != "\x11\x11") {
                line("stray control byte");
                control_.clear();
            }
            continue;
        }
        char hex[32];
        switch (b) {
            case 0x0A:
                state_ = State::Text;
                text_.clear();
                break;
            case 0x06:
                line("ACK");
                break;
            case 0x15:
                line("NAK");
                break;
            case 0xFF:
                line("wake-up (FF)");
                break;
            case 0x11:
            case 0x13:
                control_.assign(1, char(b));
                break;
            default:
                std::snprintf(hex, sizeof hex, "byte %02X", b);
                line(hex);
        }
    }
}

void WireLog::line(const std::string& what) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
             1000);
    // (One thread logs: the shared result of localtime is safe here.)
    const struct tm local = *std::localtime(&seconds);
    std::fprintf(out_, "%02d:%02d:%02d.%03ld %s %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 millis, direction_, what.c_str());
    std::fflush(out_);
}

}  // namespace velko
