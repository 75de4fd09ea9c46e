// The device side of the in-line protocol: fed the bytes the host writes, it answers as a
// VELKO device would. It knows nothing of how bytes travel; the simulated line and the
// pseudo-terminal program both drive it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velko {

using Bytes = std::vector<uint8_t>;

// The frame the device puts on the line for `text`: 0x0A, text, 0x0D, CRC high, CRC low.
Bytes encodeFrame(const std::string& text);

// A whole signed decimal number, nothing before or after it; false otherwise.
bool parseInteger(const std::string& text, int64_t* value);

// Faults the device shows toward one frame of the host (by its exact text), or toward every
// frame under the key "*".
struct FrameFault {
    int naks = 0;              // answer 0x15 this many times before 0x06
    bool neverAck = false;     // neither acknowledge nor answer it, however often it comes
    bool badCrc = false;       // the reply's CRC is wrong
    Bytes noise;               // bytes on the line just before the reply frame
    bool cutReply = false;     // the reply stops in the middle of its frame
    bool longReply = false;    // the reply carries 257 text bytes
    int64_t delayMs = -1;      // the reply comes this late (-1: as usual)
    bool silentAfter = false;  // acknowledged, then silence for the rest of the session
    bool dropLine = false;     // the line drops as the frame arrives, before any answer
};

struct SimArticle;

// One change of the PLU table, as it is made.
struct TableChange {
    enum class Kind {
        Stored,   // an article stored, replaced or sold: `article` is what it now holds
        Deleted,  // the article `code` is gone
        Zeroed,   // every article's counters are zero
    };
    Kind kind;
    const SimArticle* article = nullptr;
    std::string code;  // as the device lists it
};

// How the simulated device behaves.
struct DeviceOptions {
    int address = -1;            // the device number it answers; -1 answers every number
    std::string answer = "D";    // its answer to the address message
    uint32_t zeroDelayMs = 500;  // how long zeroing the counters takes
    int unacknowledged = 0;      // the first frames it answers with 0x15 instead of 0x06
    bool silent = false;         // never answers anything
    std::map<std::string, std::string> replies;  // frame text -> reply text, overriding
    std::set<std::string> refusedCodes;          // article codes it will not store
    std::set<std::string> unanswered;            // frames it acknowledges and never answers
    std::map<std::string, FrameFault> faults;    // frame text or "*" -> its fault
    // Called after every change of the PLU table, before the device answers the frame that
    // made it: a store written here holds every change the host was told of.
    std::function<void(const TableChange&)> onChange;
};

// One entry of the device's PLU table, in the device's own terms.
struct SimArticle {
    std::string code;   // 1 to 14 digits, no leading zeros
    std::string name;   // device text
    int group = 1;      // device group number
    int64_t price = 0;  // hundredths
    int flag = 0;
    int64_t quantity = 0;  // thousandths
    int64_t value = 0;     // hundredths
};

class DeviceModel {
  public:
    class Output {
      public:
        virtual ~Output() = default;
        // Puts bytes on the line `delayMs` after the byte that caused them.
        virtual void send(const Bytes& bytes, uint32_t delayMs) = 0;
        // The line drops: nothing more passes either way.
        virtual void drop() {}
    };

    using Options = DeviceOptions;

    explicit DeviceModel(Options options = Options()) : options_(std::move(options)) {}

    void feed(uint8_t byte, Output& out);
    void feed(const Bytes& bytes, Output& out) {
        for (uint8_t b : bytes) feed(b, out);
    }

    // Fills the table from listing lines as the device sends them
    // ("0;123;ABC;1;12.50;1;3.500;43.75;"); false, with the line number, on a malformed line.
    bool loadTable(const std::string& text, int* badLine = nullptr);
    // Stores an article as an upload would, keeping what it has; false for a bad code.
    bool put(const SimArticle& article);
    // Deletes an article; false when the device has no such code.
    bool erase(const std::string& code);
    // Zeroes both counters of every article.
    void zeroCounters();
    // Rings up a sale: the quantity (thousandths) onto the first counter, quantity times price
    // onto the second. False when the device has no such code.
    bool sell(const std::string& code, int64_t quantity);

    // The listing line of an article, as the device sends it.
    static std::string listingLine(const SimArticle& article);

    const std::map<std::string, SimArticle>& table() const { return table_; }
    bool inLine() const { return inLine_; }
    int counterResets() const { return counterResets_; }
    // Every good frame text the host sent, in order.
    const std::vector<std::string>& commands() const { return commands_; }

  private:
    void onFrame(const std::string& text, Output& out);
    const FrameFault* faultFor(const std::string& text) const;
    void reply(const std::string& text, uint32_t delayMs, Output& out);
    void changed(const TableChange& change) {
        if (options_.onChange) options_.onChange(change);
    }
    std::string store(const std::string& fields);
    std::string listNext();

    Options options_;
    bool awake_ = false;
    bool inLine_ = false;
    std::string control_;  // control bytes since the last frame: 0x11 0x11 d d or 0x13 0x13
    enum class Frame { Idle, Text, CrcHigh, CrcLow } frame_ = Frame::Idle;
    std::string text_;
    uint8_t crcHigh_ = 0;
    int framesSeen_ = 0;
    std::map<std::string, int> naksSent_;     // by frame text
    const FrameFault* replyFault_ = nullptr;  // the fault of the frame being answered
    bool sessionSilent_ = false;
    int counterResets_ = 0;
    std::vector<std::string> commands_;
    std::map<std::string, SimArticle> table_;  // by 14-digit code
    bool listing_ = false;
    std::string listed_;  // the key of the article listed last
};

}  // namespace velko
