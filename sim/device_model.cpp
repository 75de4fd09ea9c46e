#include "sim/device_model.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "device/amount.h"
#include "link/crc16.h"

namespace velko {
namespace {

constexpr size_t MAX_TEXT = 256;  // the longest frame text the host takes

std::vector<std::string> splitFields(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at; (at = text.find(';', start)) != std::string::npos; start = at + 1)
        fields.push_back(text.substr(start, at - start));
    if (start != text.size()) fields.push_back(text.substr(start));  // unterminated rest
    return fields;
}

// 1 to 14 digits, not all zeros, as the table's key (14 digits) and as the device lists it.
bool normaliseCode(const std::string& code, std::string* key, std::string* shortForm) {
    if (code.empty() || code.size() > 14) return false;
    for (char c : code) {
        if (c < '0' || c > '9') return false;
    }
    const size_t first = code.find_first_not_of('0');
    if (first == std::string::npos) return false;
    *shortForm = code.substr(first);
    *key = std::string(14 - shortForm->size(), '0') + *shortForm;
    return true;
}

// "12.50" with two places -> 1250; at most `places` decimals.
bool parseAmount(const std::string& text, int places, int64_t* value) {
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    if (fraction.size() > size_t(places)) return false;
    fraction.append(size_t(places) - fraction.size(), '0');
    int64_t w = 0, f = 0;
    const bool negative = !whole.empty() && whole[0] == '-';
    if (!parseInteger(whole, &w) || (!fraction.empty() && !parseInteger(fraction, &f)) || f < 0)
        return false;
    int64_t scale = 1;
    for (int p = 0; p < places; ++p) scale *= 10;
    *value = negative ? w * scale - f : w * scale + f;
    return true;
}

}  // namespace

bool parseInteger(const std::string& text, int64_t* value) {
    if (text.empty()) return false;
    size_t used = 0;
    try {
        *value = std::stoll(text, &used);
    } catch (...) {
        return false;
    }
    return used == text.size();
}

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
            if (options_.silent || sessionSilent_) return;
            const FrameFault* fault = faultFor(text_);
            if (fault && fault->neverAck) return;
            if (framesSeen_++ < options_.unacknowledged ||
                (fault && naksSent_[text_]++ < fault->naks)) {
                out.send({0x15}, 0);
                return;
            }
            if (fault && fault->dropLine) {
                sessionSilent_ = true;
                out.drop();
                return;
            }
            out.send({0x06}, 0);
            if (fault && fault->silentAfter) {
                sessionSilent_ = true;
                return;
            }
            replyFault_ = fault;
            onFrame(text_, out);
            replyFault_ = nullptr;
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
        sessionSilent_ = false;
        naksSent_.clear();
        if (!options_.silent) reply(options_.answer, 0, out);
    } else if (b == 0x11 || b == 0x13) {
        if (control_.size() == 1 && control_[0] == char(b)) {
            control_.push_back(char(b));
            if (b == 0x13) {
                inLine_ = false;
                awake_ = false;
                sessionSilent_ = false;
                naksSent_.clear();
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
    if (options_.unanswered.count(text)) return;
    const auto given = options_.replies.find(text);
    if (given != options_.replies.end()) {
        reply(given->second, 0, out);
        return;
    }
    if (text == "S") return;  // acknowledged, no reply
    if (text == "B;") {
        ++counterResets_;
        zeroCounters();
        changed({TableChange::Kind::Zeroed, nullptr, ""});
        reply("D", options_.zeroDelayMs, out);
        return;
    }
    std::string answer = "E";
    if (text == "W38;1;1;" || text == "W38;2;1;") {
        answer = "D";
    } else if (text.compare(0, 3, "W0;") == 0) {
        answer = store(text.substr(3));
    } else if (text == "I0;1;") {
        listing_ = true;
        listed_.clear();
        answer = listNext();
    } else if (text == "G" && listing_) {
        answer = listNext();
    } else if (text.compare(0, 3, "C0;") == 0 && text.back() == ';') {
        std::string key, shortForm;
        const std::string code = text.substr(3, text.size() - 4);
        if (normaliseCode(code, &key, &shortForm) && table_.erase(key)) {
            changed({TableChange::Kind::Deleted, nullptr, shortForm});
            answer = "D";
        }
    }
    reply(answer, 0, out);
}

std::string DeviceModel::store(const std::string& text) {
    const std::vector<std::string> f = splitFields(text);
    if (f.size() != 5 || text.back() != ';') return "E";
    SimArticle a;
    std::string key;
    int64_t group = 0, flag = 0;
    if (!normaliseCode(f[0], &key, &a.code) || options_.refusedCodes.count(f[0]) ||
        options_.refusedCodes.count(a.code) || !parseInteger(f[2], &group) ||
        !parseInteger(f[3], &a.price) || !parseInteger(f[4], &flag) || (flag != 0 && flag != 1))
        return "E";
    a.name = f[1];
    a.group = int(group);
    a.flag = int(flag);
    const auto existing = table_.find(key);
    if (existing != table_.end()) {  // a new upload keeps the article's sales
        a.quantity = existing->second.quantity;
        a.value = existing->second.value;
    }
    const SimArticle& stored = table_[key] = a;
    changed({TableChange::Kind::Stored, &stored, ""});
    return "D";
}

bool DeviceModel::put(const SimArticle& article) {
    std::string key;
    SimArticle a = article;
    if (!normaliseCode(article.code, &key, &a.code)) return false;
    table_[key] = a;
    return true;
}

bool DeviceModel::sell(const std::string& code, int64_t quantity) {
    std::string key, shortForm;
    if (!normaliseCode(code, &key, &shortForm)) return false;
    const auto it = table_.find(key);
    if (it == table_.end()) return false;
    SimArticle& a = it->second;
    a.quantity += quantity;
    // Thousandths times hundredths, back to hundredths, rounded half away from zero.
    const int64_t product = quantity * a.price;
    a.value += (product + (product < 0 ? -500 : 500)) / 1000;
    changed({TableChange::Kind::Stored, &a, ""});
    return true;
}

bool DeviceModel::erase(const std::string& code) {
    std::string key, shortForm;
    return normaliseCode(code, &key, &shortForm) && table_.erase(key) > 0;
}

void DeviceModel::zeroCounters() {
    for (auto& entry : table_) entry.second.quantity = entry.second.value = 0;
}

std::string DeviceModel::listNext() {
    const auto it = listed_.empty() ? table_.begin() : table_.upper_bound(listed_);
    if (it == table_.end()) {
        listing_ = false;
        return "D";
    }
    listed_ = it->first;
    return listingLine(it->second);
}

std::string DeviceModel::listingLine(const SimArticle& a) {
    return "0;" + a.code + ";" + a.name + ";" + std::to_string(a.group) + ";" +
           formatAmount(a.price, 2) + ";" + std::to_string(a.flag) + ";" +
           formatAmount(a.quantity, 3) + ";" + formatAmount(a.value, 2) + ";";
}

bool DeviceModel::loadTable(const std::string& text, int* badLine) {
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = splitFields(line);
        SimArticle a;
        std::string key;
        int64_t group = 0, flag = 0;
        if (f.size() != 8 || line.back() != ';' || f[0] != "0" ||
            !normaliseCode(f[1], &key, &a.code) || !parseInteger(f[3], &group) ||
            !parseAmount(f[4], 2, &a.price) || !parseInteger(f[5], &flag) ||
            !parseAmount(f[6], 3, &a.quantity) || !parseAmount(f[7], 2, &a.value)) {
            if (badLine) *badLine = number;
            return false;
        }
        a.name = f[2];
        a.group = int(group);
        a.flag = int(flag);
        table_[key] = a;
    }
    return true;
}

const FrameFault* DeviceModel::faultFor(const std::string& text) const {
    auto it = options_.faults.find(text);
    if (it == options_.faults.end()) it = options_.faults.find("*");
    return it == options_.faults.end() ? nullptr : &it->second;
}

void DeviceModel::reply(const std::string& text, uint32_t delayMs, Output& out) {
    const FrameFault* f = replyFault_;
    if (!f) return out.send(encodeFrame(text), delayMs);
    if (f->delayMs >= 0) delayMs = uint32_t(f->delayMs);
    Bytes frame = encodeFrame(f->longReply ? std::string(MAX_TEXT + 1, 'A') : text);
    if (f->badCrc) frame.back() ^= 0xFF;
    if (f->cutReply) frame.resize(frame.size() / 2);
    Bytes bytes = f->noise;
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    out.send(bytes, delayMs);
}

}  // namespace velko
