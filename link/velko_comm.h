// The link to one VELKO device: the serial port, the frame protocol on it, the in-line session
// and the jobs that run inside it.
#pragma once

#include <cstdint>
#include <string>

#include "link/serial_port.h"
#include "trace/trace_log.h"
#include "velko/velko.h"

namespace velko {

constexpr uint32_t MAX_FRAME_DATA_LEN = 256;
constexpr int MAX_FRAME_REPEAT = 10;
// How long a session waits for the start of any frame of the device, its first answer included.
constexpr uint32_t SESSION_FRAME_TIMEOUT = 20000;

// A frame text received from the device; jobs take fields off its front with nextField.
using ReplyString = std::string;

// Takes the text before the first ';' of `reply` into `field` and leaves the text after it in
// `reply`. False, with both unchanged, when `reply` holds no ';'.
bool nextField(ReplyString& reply, ReplyString& field);

// Told of every article the device answered during an upload: outcome 1 accepted, 0 refused,
// with both counts after this article. Its return value is ignored.
typedef int32_t(VELKO_CALL* UploadProgress)(const char* sessionText, int32_t index,
                                            const ArticleRecord* record, uint32_t userValue,
                                            int32_t outcome, int32_t acceptedCount,
                                            int32_t refusedCount);

// Parses one article reply of a download ("0;code;name;group;price;flag;quantity;value;") into
// `record`, field by field. VELKO_ERR_FORMAT for a malformed reply; `field` is scratch space.
int32_t parseArticleReply(ReplyString& reply, ReplyString& field, ArticleRecord& record);

// The length of a record's text field, read no further than its `width` bytes whether or not
// the caller put a NUL in it. False when the text holds ';', which would shift the fields of
// the frame it goes into and make the device store or delete the wrong article.
bool recordText(const char* field, size_t width, size_t* length);

// The upload command of one article: "W0;" + 15 + ";" + 19 + ";" + 4 + ";" + 11 + ";" + 1 +
// ";" and a NUL fit with room.
using ArticleCommand = char[80];

// Formats the upload command for `record` into `frame`; false when a text field holds ';'.
// `name` is scratch space for the device form of the name.
bool articleCommand(const ArticleRecord& record, std::string& name, ArticleCommand& frame);

class VELKOComm : public SerialPort {
  public:
    explicit VELKOComm(Platform& platform = systemPlatform());
    // Ends a session that is still open (end bytes, then close).
    ~VELKOComm() override;

    // Attaches a trace sink that the caller owns, or detaches it with null.
    void setTraceSink(TraceLog* sink) { traceSink_ = sink; }
    TraceLog* traceSink() const { return traceSink_; }

    void setBeginFrameTimeout(uint32_t ms) { beginFrameTimeout_ = ms; }
    uint32_t beginFrameTimeout() const { return beginFrameTimeout_; }

    // Exact-count transfers: anything short is VELKO_ERR_SEND / VELKO_ERR_READ.
    int32_t send(const void* buf, int32_t len);
    int32_t receive(void* buf, int32_t len);

    // Frames: 0x0A, text, 0x0D, CRC high, CRC low; each acknowledged with 0x06.
    int32_t sendFrame(const char* s);
    int32_t receiveFrame(ReplyString& s, bool acknowledge);
    int32_t sendAck();
    int32_t receiveAck();
    int32_t sendFF(int32_t count);

    // How long initInLineMode waits for the device's answer to its address; the rest of the
    // session keeps SESSION_FRAME_TIMEOUT. Only a search for devices shortens it: there a
    // number nobody answers costs this wait, many times over.
    void setFirstAnswerWait(uint32_t ms) { firstAnswerWait_ = ms; }
    uint32_t firstAnswerWait() const { return firstAnswerWait_; }
    // What waiting `firstAnswerWait` ms for an answer that never comes takes: the line is
    // listened to in one-byte reads with their read time limit, so the wait ends with the
    // first read that takes it past `firstAnswerWait`.
    static uint32_t unansweredWaitMs(uint32_t firstAnswerWait);

    // The in-line session every job runs in.
    int32_t initInLineMode(int32_t port, uint32_t baud, uint8_t deviceNumber,
                           ReplyString& sessionText);
    int32_t endInLineMode();

    // Jobs. A null supplier or consumer is a malformed request: VELKO_ERR_FORMAT before the
    // port is opened. The counts are set to 0 before anything else.
    // Any reply counts as success; `confirmation`, when given, receives the reply's text so
    // that a caller can tell "D" from a refusal. `requestSent`, when given, tells whether the
    // device acknowledged the reset request: then the counters may be zeroed even when its
    // answer never came.
    int32_t zeroCounters(int32_t port, uint32_t baud, uint8_t deviceNumber,
                         ReplyString& sessionText, ReplyString* confirmation = nullptr,
                         bool* requestSent = nullptr);
    int32_t sendArticles(int32_t port, uint32_t baud, uint8_t continueOnRefusal,
                         uint8_t skipFirstPreparation, uint8_t skipSecondPreparation,
                         uint8_t deviceNumber, ReplyString& sessionText, ArticleSupplier supplier,
                         UploadProgress progress, uint32_t userValue, int32_t& acceptedCount,
                         int32_t& refusedCount);
    int32_t receiveArticles(int32_t port, uint32_t baud, uint8_t deviceNumber,
                            ReplyString& sessionText, ArticleConsumer consumer, uint32_t userValue,
                            int32_t& receivedCount);
    // Stops at the first code the device refuses (VELKO_ERR_READ) unless `refusedCount` is
    // given: then it counts the refusal and goes on, and asks for code n once n codes were
    // answered.
    int32_t deleteArticles(int32_t port, uint32_t baud, uint8_t deviceNumber,
                           ReplyString& sessionText, ArticleSupplier supplier, uint32_t userValue,
                           int32_t& deletedCount, int32_t* refusedCount = nullptr);

    // What the device answered to the last request of this job that it refused ("E"); empty
    // when it refused none. A job's start clears it.
    const ReplyString& refusal() const { return refusal_; }

    // Names: host Windows-1250 to the device's text and back; never fail, keep the length.
    static std::string encodeName(const char* text);
    static std::string decodeName(const char* text);
    // The host name in at most `maxLen` bytes of `text`, into `out` (reusing its storage).
    static void encodeName(const char* text, size_t maxLen, std::string& out);

  private:
    // Writes one trace message when a sink is attached; without one it costs the test. A
    // pause owed is waited out first, so that every message bears the time it would without
    // pauses running together.
    template <class... Values>
    void trace(const char* format, Values... values) {
        if (!traceSink_) return;
        settle();
        traceSink_->print(format, values...);
    }

    TraceLog* traceSink_ = nullptr;
    uint32_t beginFrameTimeout_ = 5000;
    uint32_t firstAnswerWait_ = SESSION_FRAME_TIMEOUT;
    ReplyString refusal_;
};

}  // namespace velko
