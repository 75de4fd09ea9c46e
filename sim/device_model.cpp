#include "sim/device_model.h"

#include "link/crc16.h"

namespace velko {

Bytes encodeFrame(const std::string& text) {
    Bytes frame;
    frame.reserve(text.size() + 4);
    frame.push_back(0x0A);
    frame.insert(frame.end(), text.begin(), text.end());
    frame.push_back(0x0D);
    const uint16_t crc = crc16(frame.data() + 1, uint32_t(text.size() + 1), 0);
    frame.push_back(uint8_t(crc >> 8));
    frame.push_back(uint8_t(crc & 0xFF));
    return frame;
}

void DeviceModel::feed(uint8_t b, Output& out) {
    switch (frame_) {
        case Frame::Text:
            text_.push_back(char(b));
            if (b == 0x0D) frame_ = Frame::CrcHigh;
            if (text_.size() > 300) frame_ = Frame::Idle;  // runaway: wait for the next frame
            return;
        case Frame::CrcHigh:
            crcHigh_ = b;
            frame_ = Frame::CrcLow;
            return;
        case Frame::CrcLow: {
            frame_ = Frame::Idle;
            const uint16_t crc = crc16(text_.data(), uint32_t(text_.size()), 0);
            if (crcHigh_ != (crc >> 8) || b != (crc & 0xFF)) return;  // no answer: host repeats
            text_.pop_back();                                         // the 0x0D
            if (options_.silent) return;
            if (framesSeen_++ < options_.unacknowledged) {
                out.send({0x15}, 0);
                return;
            }
            out.send({0x06}, 0);
            onFrame(text_, out);
            return;
        }
        case Frame::Idle:
            break;
    }
    if (b == 0x0A && inLine_) {
        frame_ = Frame::Text;
        text_.clear();
        control_.clear();
        return;
    }
    if (b == 0xFF) {
        awake_ = true;
        control_.clear();
        return;
    }
    const bool addressing = control_.size() >= 2 && control_.compare(0, 2, "\x11\x11") == 0;
    if (addressing && b >= '0' && b <= '9') {
        control_.push_back(char(b));
        if (control_.size() < 4) return;
        const int number = (control_[2] - '0') * 10 + (control_[3] - '0');
        control_.clear();
        if (!awake_ || (options_.address >= 0 && number != options_.address)) return;
        inLine_ = true;
        if (!options_.silent) reply(options_.answer, 0, out);
    } else if (b == 0x11 || b == 0x13) {
        if (control_.size() == 1 && control_[0] == char(b)) {
            control_.push_back(char(b));
            if (b == 0x13) {
                inLine_ = false;
                awake_ = false;
                control_.clear();
            }
        } else {
            control_.assign(1, char(b));
        }
    } else {
        control_.clear();  // acknowledgements and noise between frames
    }
}

void DeviceModel::onFrame(const std::string& text, Output& out) {
    commands_.push_back(text);
    const auto given = options_.replies.find(text);
    if (given != options_.replies.end()) {
        reply(given->second, 0, out);
        return;
    }
    if (text == "S") return;  // acknowledged, no reply
    if (text == "B;") {
        ++counterResets_;
        reply("D", options_.zeroDelayMs, out);
        return;
    }
    reply("E", 0, out);
}

void DeviceModel::reply(const std::string& text, uint32_t delayMs, Output& out) {
    out.send(encodeFrame(text), delayMs);
}

}  // namespace velko
