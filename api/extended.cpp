// The extended API: one link per handle, on any line, with the jobs' options, counts and
// progress. The callbacks of the C++ jobs carry a 32-bit value, too small for the caller's
// pointer on 64-bit hosts; each call runs on its caller's thread, so a thread-local record of
// the call takes the pointer across.
#include <cstring>
#include <memory>
#include <new>

#include "api/exclusive_link.h"
#include "device/results.h"
#include "link/velko_comm.h"
#include "velko/velko.h"

struct VelkoLine {
    explicit VelkoLine(std::unique_ptr<velko::Platform> p)
        : platform(std::move(p)), link(*platform), gate(link) {}
    std::unique_ptr<velko::Platform> platform;
    velko::VELKOComm link;
    velko::ExclusiveLink gate;
    std::unique_ptr<velko::TraceLog> trace;
};

namespace velko {
namespace {

struct Call {
    VelkoSupplier supplier = nullptr;
    VelkoConsumer consumer = nullptr;
    VelkoProgress progress = nullptr;
    void* context = nullptr;
    // A deletion asks for code n once n codes are deleted: its progress comes with that ask.
    bool progressOnSupply = false;
};
thread_local Call* current = nullptr;

// Makes `call` the current one for as long as the job runs on this thread.
class During {
  public:
    explicit During(Call& call) : previous_(current) { current = &call; }
    ~During() { current = previous_; }

  private:
    Call* previous_;
};

int32_t VELKO_CALL supplyNext(const char*, int32_t index, ArticleRecord* record, uint32_t) {
    if (current->progressOnSupply && current->progress && index > 0)
        current->progress(current->context, index);
    return current->supplier(current->context, index, record);
}

int32_t VELKO_CALL consumeNext(const char*, int32_t index, ArticleRecord* record, uint32_t) {
    const int32_t more = current->consumer(current->context, index, record);
    if (current->progress) current->progress(current->context, index + 1);
    return more;
}

int32_t VELKO_CALL uploaded(const char*, int32_t, const ArticleRecord*, uint32_t, int32_t,
                            int32_t accepted, int32_t refused) {
    if (current->progress) current->progress(current->context, accepted + refused);
    return 1;
}

// What every job checks first; then `job` runs on the handle's link, with `call` current, a
// session text of its own and the port closed afterwards.
template <class Job>
int32_t runOnLine(VelkoLine* line, uint32_t deviceNumber, bool callbackGiven, Call call, Job job) {
    if (!line || !callbackGiven) return VELKO_ERR_FORMAT;
    if (deviceNumber > 99) return VELKO_ERR_ADDRESS;
    During during(call);
    return line->gate.run([&](VELKOComm& link) {
        ReplyString sessionText;
        return job(link, uint8_t(deviceNumber), sessionText);
    });
}

// Counts the caller may leave out, every one zeroed first as the jobs do with their own.
class Counts {
  public:
    explicit Counts(VelkoCounts* given) : counts_(given ? given : &own_) {
        std::memset(counts_, 0, sizeof *counts_);
    }
    VelkoCounts* operator->() { return counts_; }

  private:
    VelkoCounts own_;
    VelkoCounts* counts_;
};

}  // namespace
}  // namespace velko

using velko::VELKOComm;

extern "C" {

VelkoLine* VELKO_CALL VELKOLineOpen(const char* line) {
    if (!line || !*line) return nullptr;
    return new (std::nothrow) VelkoLine(velko::platformForLine(line));
}

void VELKO_CALL VELKOLineClose(VelkoLine* line) {
    delete line;
}

int32_t VELKO_CALL VELKOLineSetTrace(VelkoLine* line, const char* file) {
    if (!line || (file && std::strlen(file) > 128)) return VELKO_ERR_FORMAT;
    line->link.setTraceSink(nullptr);
    line->trace.reset();
    if (file && *file) {
        line->trace.reset(new velko::TraceLog(file, 0));
        line->link.setTraceSink(line->trace.get());
    }
    return VELKO_OK;
}

int32_t VELKO_CALL VELKOLineSendArticles(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                         uint32_t options, VelkoSupplier supplier, void* context,
                                         VelkoProgress progress, VelkoCounts* given) {
    velko::Counts counts(given);
    return velko::runOnLine(line, deviceNumber, supplier, {supplier, nullptr, progress, context},
                            [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
                                return link.sendArticles(
                                    1, baud, options & VELKO_CONTINUE_ON_REFUSAL ? 1 : 0,
                                    options & VELKO_SKIP_FIRST_PREPARATION ? 1 : 0,
                                    options & VELKO_SKIP_SECOND_PREPARATION ? 1 : 0, device,
                                    sessionText, velko::supplyNext, velko::uploaded, 0,
                                    counts->accepted, counts->refused);
                            });
}

int32_t VELKO_CALL VELKOLineReceiveArticles(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                            VelkoConsumer consumer, void* context,
                                            VelkoProgress progress, VelkoCounts* given) {
    velko::Counts counts(given);
    return velko::runOnLine(line, deviceNumber, consumer, {nullptr, consumer, progress, context},
                            [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
                                return link.receiveArticles(1, baud, device, sessionText,
                                                            velko::consumeNext, 0,
                                                            counts->received);
                            });
}

int32_t VELKO_CALL VELKOLineDeleteArticles(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                           VelkoSupplier supplier, void* context,
                                           VelkoProgress progress, VelkoCounts* given) {
    velko::Counts counts(given);
    return velko::runOnLine(line, deviceNumber, supplier,
                            {supplier, nullptr, progress, context, true},
                            [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
                                return link.deleteArticles(1, baud, device, sessionText,
                                                           velko::supplyNext, 0, counts->deleted);
                            });
}

int32_t VELKO_CALL VELKOLineZeroPLUCounters(VelkoLine* line, uint32_t baud, uint32_t deviceNumber) {
    return velko::runOnLine(line, deviceNumber, true, {},
                            [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
                                return link.zeroCounters(1, baud, device, sessionText);
                            });
}

const char* VELKO_CALL VELKOResultMessage(int32_t rc) {
    return velko::resultMessage(rc);
}

}  // extern "C"
