// The extended API: one link per handle, on any line, with the jobs' options, counts, progress
// and a failure detail in words. The callbacks of the C++ jobs carry a 32-bit value, too small
// for the caller's pointer on 64-bit hosts; each call runs on its caller's thread, so a
// thread-local record of the call takes the pointer across.
//
// A handle is a number the library hands out, never a pointer it frees: a handle used after
// VELKOLineClose, or closed twice, is looked up, not found and refused, without touching
// memory. The line behind a handle lives as long as a call on it runs, so a close from a
// callback or another thread lets that call end first.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "api/exclusive_link.h"
#include "device/article_rules.h"
#include "device/results.h"
#include "link/velko_comm.h"
#include "velko/velko.h"

namespace velko {
namespace {

struct Line {
    explicit Line(std::unique_ptr<Platform> p)
        : platform(std::move(p)), link(*platform), gate(link) {}
    std::unique_ptr<Platform> platform;
    VELKOComm link;
    ExclusiveLink gate;
    std::unique_ptr<TraceLog> trace;

    // The outcome of the last call that ran, for VELKOLineFailure from any thread.
    void finish(int32_t rc, std::string detail) {
        std::lock_guard<std::mutex> hold(outcomeLock);
        lastResult = rc;
        lastDetail = rc == VELKO_OK ? std::string() : std::move(detail);
    }
    std::mutex outcomeLock;
    int32_t lastResult = VELKO_OK;
    std::string lastDetail;
    // Set by VELKOLineCancel from any thread; each call clears it as it starts.
    std::atomic<bool> cancelled{false};
};

class Handles {
  public:
    VelkoLine* add(std::shared_ptr<Line> line) {
        std::lock_guard<std::mutex> hold(lock_);
        next_ += 16;  // never 0, and never handed out twice in a process's life
        lines_[next_] = std::move(line);
        return reinterpret_cast<VelkoLine*>(next_);
    }
    std::shared_ptr<Line> find(VelkoLine* handle) {
        std::lock_guard<std::mutex> hold(lock_);
        const auto it = lines_.find(reinterpret_cast<uintptr_t>(handle));
        return it == lines_.end() ? nullptr : it->second;
    }
    void remove(VelkoLine* handle) {
        std::shared_ptr<Line> last;  // freed after the lock is let go
        std::lock_guard<std::mutex> hold(lock_);
        const auto it = lines_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == lines_.end()) return;
        last = std::move(it->second);
        lines_.erase(it);
    }

  private:
    std::mutex lock_;
    uintptr_t next_ = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<Line>> lines_;
};

Handles& handles() {
    static Handles* all = new Handles;  // never destroyed: a host may call from its own exit
    return *all;
}

struct Call {
    VelkoSupplier supplier = nullptr;
    VelkoConsumer consumer = nullptr;
    VelkoProgress progress = nullptr;
    void* context = nullptr;
    // A deletion asks for code n once n codes are deleted: its progress comes with that ask.
    bool progressOnSupply = false;
    bool continueOnRefusal = false;

    // Articles refused before they were sent, and what was wrong with the last one.
    int32_t index = 0;  // of the caller's next article
    int32_t refusedByRules = 0;
    bool stoppedByRules = false;
    bool resetSent = false;  // the device acknowledged a reset request
    std::unordered_set<uint64_t> codes;
    std::string detail;

    // Whether VELKOLineCancel asked the call to stop; asked once, the call stops there.
    const std::atomic<bool>* cancel = nullptr;
    bool stoppedByCancel = false;
    bool cancelled() {
        if (!stoppedByCancel && cancel && cancel->load()) stoppedByCancel = true;
        return stoppedByCancel;
    }
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

std::string codeOf(const ArticleRecord& record) {
    return std::string(record.code, strnlen(record.code, sizeof record.code));
}

// The caller's next article that the device can take as it stands. One that breaks the rules
// is counted as refused and never sent; the list goes on after it or ends there, as the
// caller asked.
int32_t VELKO_CALL supplyChecked(const char*, int32_t, ArticleRecord* record, uint32_t) {
    Call& call = *current;
    for (;;) {
        const int32_t index = call.index;
        if (call.cancelled() || call.supplier(call.context, index, record) != 1) return 0;
        ++call.index;
        std::string problem = recordProblem(*record);
        if (problem.empty() && !call.codes.insert(codeNumber(codeOf(*record))).second)
            problem = "code " + codeOf(*record) + " came earlier in the list";
        if (problem.empty()) return 1;
        ++call.refusedByRules;
        call.detail = "article " + std::to_string(index) + ": " + problem + "; it was not sent";
        if (call.progress) call.progress(call.context, index + 1);
        if (!call.continueOnRefusal) {
            call.stoppedByRules = true;
            return 0;
        }
    }
}

// The caller's next code to delete. One that is no code is counted as refused and never sent;
// the deletion goes on after it or ends there, as the caller asked.
int32_t VELKO_CALL supplyCode(const char*, int32_t, ArticleRecord* record, uint32_t) {
    Call& call = *current;
    for (;;) {
        const int32_t index = call.index;
        if (call.progress && index > 0) call.progress(call.context, index);
        if (call.cancelled() || call.supplier(call.context, index, record) != 1) return 0;
        ++call.index;
        const size_t length = strnlen(record->code, sizeof record->code);
        const std::string code(record->code, length);
        const std::string problem =
            length == sizeof record->code ? "has no terminating NUL" : codeProblem(code);
        if (problem.empty()) {
            call.detail = "the device refused to delete code " + code;
            return 1;
        }
        ++call.refusedByRules;
        call.detail =
            "code " + std::to_string(index) + " '" + code + "' " + problem +
            (call.continueOnRefusal ? "; it was not sent" : "; nothing was deleted from there on");
        if (!call.continueOnRefusal) {
            call.stoppedByRules = true;
            return 0;
        }
    }
}

int32_t VELKO_CALL consumeNext(const char*, int32_t index, ArticleRecord* record, uint32_t) {
    if (current->cancelled()) return 0;
    const int32_t more = current->consumer(current->context, index, record);
    if (current->progress) current->progress(current->context, index + 1);
    return more;
}

int32_t VELKO_CALL uploaded(const char*, int32_t, const ArticleRecord* record, uint32_t,
                            int32_t outcome, int32_t accepted, int32_t refused) {
    Call& call = *current;
    if (outcome != 1) {
        call.detail = "article " + std::to_string(call.index - 1) + ": the device refused code " +
                      codeOf(*record);
    }
    if (call.progress) call.progress(call.context, accepted + refused + call.refusedByRules);
    return 1;
}

// The words for a failed job: what the call's own checks found, what the device answered, why
// the line would not open, or else the generic text of the code.
std::string detailOf(int32_t rc, const Call& call, const VELKOComm& link) {
    if (rc == VELKO_ERR_ABORT && call.stoppedByCancel)
        return "cancelled (VELKOLineCancel): stopped at the next article, the device's session "
               "ended; what was done before stays done";
    if (rc == VELKO_ERR_FORMAT && call.stoppedByRules) return call.detail;
    if (rc == VELKO_ERR_READ && !link.refusal().empty()) {
        return (call.detail.empty() ? "the device refused the request" : call.detail) +
               " (answered '" + link.refusal() + "')";
    }
    if (rc == VELKO_ERR_OPEN && !link.openFailure().empty()) return link.openFailure();
    if (call.resetSent) {
        return std::string(
                   "the device took the reset request but its answer never came: the "
                   "counters may be zeroed; ") +
               resultMessage(rc);
    }
    return resultMessage(rc);
}

// What every job checks first; then `job` runs on the handle's link, with `call` current, a
// session text of its own and the port closed afterwards.
template <class Job>
int32_t runOnLine(VelkoLine* handle, uint32_t deviceNumber, const char* callbackMissing, Call& call,
                  Job job) {
    const std::shared_ptr<Line> line = handles().find(handle);
    if (!line) return VELKO_ERR_HANDLE;
    int32_t rc = VELKO_OK;
    if (callbackMissing) {
        call.detail = callbackMissing;
        rc = VELKO_ERR_FORMAT;
    } else if (deviceNumber > 99) {
        call.detail = "device number " + std::to_string(deviceNumber) + " is above 99";
        rc = VELKO_ERR_ADDRESS;
    } else {
        // Turned away by the gate, the call leaves the outcome of the one that runs alone.
        During during(call);
        return line->gate.run([&](VELKOComm& link) {
            line->cancelled = false;
            call.cancel = &line->cancelled;
            ReplyString sessionText;
            int32_t result = job(link, uint8_t(deviceNumber), sessionText);
            if (call.stoppedByCancel && (result == VELKO_OK || result == VELKO_ERR_ABORT))
                result = VELKO_ERR_ABORT;
            else if (result == VELKO_OK && call.stoppedByRules)
                result = VELKO_ERR_FORMAT;
            line->finish(result, detailOf(result, call, link));
            return result;
        });
    }
    line->finish(rc, call.detail);
    return rc;
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

// Copies `text` into the caller's buffer of `size` bytes, cut to fit, always terminated.
void copyOut(const std::string& text, char* out, uint32_t size) {
    if (!out || size == 0) return;
    const size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace
}  // namespace velko

using velko::VELKOComm;

extern "C" {

VelkoLine* VELKO_CALL VELKOLineOpen(const char* name) {
    if (!name || !*name) return nullptr;
    try {
        return velko::handles().add(std::make_shared<velko::Line>(velko::platformForLine(name)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void VELKO_CALL VELKOLineClose(VelkoLine* line) {
    velko::handles().remove(line);
}

int32_t VELKO_CALL VELKOLineSetTrace(VelkoLine* handle, const char* file) {
    const auto line = velko::handles().find(handle);
    if (!line) return VELKO_ERR_HANDLE;
    if (file && std::strlen(file) > 128) {
        line->finish(VELKO_ERR_FORMAT, "a trace file name may have at most 128 characters");
        return VELKO_ERR_FORMAT;
    }
    // Through the gate: a job that runs keeps the sink it started with.
    std::string detail;
    const int32_t rc = line->gate.run([&](VELKOComm& link) {
        link.setTraceSink(nullptr);
        line->trace.reset();
        if (!file || !*file) return int32_t(VELKO_OK);
        auto trace = std::make_unique<velko::TraceLog>(file, 0);
        if (!trace->isOpen() && !trace->openFile()) {
            detail = std::string("the trace file ") + file + " cannot be opened for writing";
            return int32_t(VELKO_ERR_OPEN);
        }
        line->trace = std::move(trace);
        link.setTraceSink(line->trace.get());
        return int32_t(VELKO_OK);
    });
    if (rc == VELKO_ERR_OPEN && detail.empty()) return rc;  // busy: a call runs on the handle
    line->finish(rc, detail);
    return rc;
}

int32_t VELKO_CALL VELKOLineSendArticles(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                         uint32_t options, VelkoSupplier supplier, void* context,
                                         VelkoProgress progress, VelkoCounts* given) {
    velko::Counts counts(given);
    velko::Call call;
    call.supplier = supplier;
    call.progress = progress;
    call.context = context;
    call.continueOnRefusal = options & VELKO_CONTINUE_ON_REFUSAL;
    const int32_t rc = velko::runOnLine(
        line, deviceNumber, supplier ? nullptr : "no supplier was given", call,
        [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
            return link.sendArticles(1, baud, call.continueOnRefusal ? 1 : 0,
                                     options & VELKO_SKIP_FIRST_PREPARATION ? 1 : 0,
                                     options & VELKO_SKIP_SECOND_PREPARATION ? 1 : 0, device,
                                     sessionText, velko::supplyChecked, velko::uploaded, 0,
                                     counts->accepted, counts->refused);
        });
    counts->refused += call.refusedByRules;
    return rc;
}

int32_t VELKO_CALL VELKOLineReceiveArticles(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                            VelkoConsumer consumer, void* context,
                                            VelkoProgress progress, VelkoCounts* given) {
    velko::Counts counts(given);
    velko::Call call;
    call.consumer = consumer;
    call.progress = progress;
    call.context = context;
    return velko::runOnLine(line, deviceNumber, consumer ? nullptr : "no consumer was given", call,
                            [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
                                return link.receiveArticles(1, baud, device, sessionText,
                                                            velko::consumeNext, 0,
                                                            counts->received);
                            });
}

int32_t VELKO_CALL VELKOLineDeleteArticlesEx(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                             uint32_t options, VelkoSupplier supplier,
                                             void* context, VelkoProgress progress,
                                             VelkoCounts* given) {
    velko::Counts counts(given);
    velko::Call call;
    call.supplier = supplier;
    call.progress = progress;
    call.context = context;
    call.continueOnRefusal = options & VELKO_CONTINUE_ON_REFUSAL;
    const int32_t rc = velko::runOnLine(
        line, deviceNumber, supplier ? nullptr : "no supplier was given", call,
        [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
            return link.deleteArticles(1, baud, device, sessionText, velko::supplyCode, 0,
                                       counts->deleted,
                                       call.continueOnRefusal ? &counts->refused : nullptr);
        });
    counts->refused += call.refusedByRules;
    return rc;
}

int32_t VELKO_CALL VELKOLineDeleteArticles(VelkoLine* line, uint32_t baud, uint32_t deviceNumber,
                                           VelkoSupplier supplier, void* context,
                                           VelkoProgress progress, VelkoCounts* counts) {
    return VELKOLineDeleteArticlesEx(line, baud, deviceNumber, 0, supplier, context, progress,
                                     counts);
}

int32_t VELKO_CALL VELKOLineZeroPLUCounters(VelkoLine* line, uint32_t baud, uint32_t deviceNumber) {
    velko::Call call;
    return velko::runOnLine(line, deviceNumber, nullptr, call,
                            [&](VELKOComm& link, uint8_t device, velko::ReplyString& sessionText) {
                                return link.zeroCounters(1, baud, device, sessionText, nullptr,
                                                         &call.resetSent);
                            });
}

int32_t VELKO_CALL VELKOLineCancel(VelkoLine* handle) {
    const auto line = velko::handles().find(handle);
    if (!line) return VELKO_ERR_HANDLE;
    line->cancelled = true;
    return VELKO_OK;
}

int32_t VELKO_CALL VELKOLineFailure(VelkoLine* handle, char* text, uint32_t size) {
    const auto line = velko::handles().find(handle);
    if (!line) {
        velko::copyOut("the handle is not open", text, size);
        return VELKO_ERR_HANDLE;
    }
    std::lock_guard<std::mutex> hold(line->outcomeLock);
    velko::copyOut(line->lastDetail, text, size);
    return line->lastResult;
}

int32_t VELKO_CALL VELKOCheckArticle(const ArticleRecord* record, char* reason, uint32_t size) {
    const std::string problem = record ? velko::recordProblem(*record) : "no record was given";
    velko::copyOut(problem, reason, size);
    return problem.empty() ? VELKO_OK : VELKO_ERR_FORMAT;
}

const char* VELKO_CALL VELKOVersion(void) {
    return VELKO_VERSION_STRING;
}

const char* VELKO_CALL VELKOResultMessage(int32_t rc) {
    return velko::resultMessage(rc);
}

}  // extern "C"
