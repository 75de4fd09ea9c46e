#include "jobs/scan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include "device/floor.h"
#include "files/i18n.h"  // _ and N_ are macros
#include "jobs/host.h"
#include "jobs/jobs.h"
#include "jobs/outcome.h"
#include "jobs/progress.h"
#include "link/platform.h"
#include "link/velko_comm.h"
#include "trace/trace_log.h"

namespace velko::jobs {

using namespace velko::files;  // a job is made of the files' parts

bool isTcp(const std::string& line) {
    return line.compare(0, 6, "tcp://") == 0;
}

namespace {

// A device server sets its serial port's rate itself: one rate is as good as any.
std::vector<uint32_t> ratesFor(const std::string& line, const std::vector<uint32_t>& bauds) {
    return isTcp(line) ? std::vector<uint32_t>{bauds.front()} : bauds;
}

// Up to ten digits: no more than a 32-bit rate needs, and nothing std::stoll cannot take.
bool wholeNumber(const std::string& text, long long max, long long& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoll(text);
    return value <= max;
}

}  // namespace

double unansweredMs(uint32_t baud, uint32_t answerWaitMs) {
    return Floor(baud).wireMs(4 + 4 + 2) + VELKOComm::unansweredWaitMs(answerWaitMs);
}

double worstCaseSeconds(const std::string& line, const ScanRequest& request) {
    double ms = 0;
    for (uint32_t baud : ratesFor(line, request.bauds))
        ms += double(request.devices.size()) * unansweredMs(baud, request.answerWaitMs);
    return ms / 1000;
}

LineScan scanLine(const std::string& line, const ScanRequest& request, const std::string& traceName,
                  Progress& progress, size_t row, const std::atomic<bool>* stop) {
    LineScan result;
    const auto platform = platformForLine(line);
    VELKOComm link(*platform);
    TraceLog trace(traceName.c_str(), TraceLog::UTF8_NAME);
    if (!traceName.empty()) link.setTraceSink(&trace);
    link.setFirstAnswerWait(request.answerWaitMs);
    const std::vector<uint32_t> rates = ratesFor(line, request.bauds);
    result.planned = long(rates.size() * request.devices.size());
    long done = 0;
    for (uint32_t baud : rates) {
        for (size_t i = 0; i < request.devices.size(); ++i) {
            if (stop && stop->load()) {
                result.interrupted = true;
                progress.finish(row, _("interrupted"));
                return result;
            }
            const int device = request.devices[i];
            ReplyString session;
            const int32_t rc = link.initInLineMode(1, baud, uint8_t(device), session);
            // Whoever heard the address may be in line now, also when its answer came late or
            // garbled: every address is followed by the end bytes.
            if (link.isOpen()) link.endInLineMode();
            progress.update(row, ++done, result.planned);
            if (rc == VELKO_ERR_OPEN) {
                const std::string why = link.openFailure();
                if (why.rfind("the port does not take ", 0) == 0) {
                    result.notes.push_back(why);
                    done += long(request.devices.size() - i - 1);
                    break;
                }
                result.failure = why.empty() ? resultLine(rc) : why;
                result.busy = why.find("held by another program") != std::string::npos;
                progress.finish(row, result.busy ? _("busy") : _("not opened"));
                return result;
            }
            result.opened = true;
            ++result.addressed;
            if (rc == VELKO_OK) {
                result.finds.push_back({baud, device, session});
                if (!request.all) {
                    progress.finish(row, formatted(_("device %d at %u baud"), device, baud));
                    return result;
                }
            } else if (rc == VELKO_ERR_SEND && session.empty()) {
                // The line takes no more bytes (an adapter pulled out): the rest would fail
                // the same way.
                result.failure = resultLine(rc);
                progress.finish(row, resultName(rc));
                return result;
            } else if (rc != VELKO_ERR_READ) {
                // Something answered, but not as a device does: noise, or a device whose
                // answer was damaged on the way. Worth a look, not a find.
                if (result.unclearCount++ == 0)
                    result.unclear =
                        formatted(_("at %u baud, device %d answered but not clearly (%s)"), baud,
                                  device, resultName(rc));
            }
        }
    }
    progress.finish(row, result.finds.empty() ? _("nothing answered")
                                              : formatted(_("%zu found"), result.finds.size()));
    return result;
}

std::vector<uint32_t> defaultScanBauds() {
    return {9600, 19200, 38400, 57600, 115200, 4800, 2400};
}

bool parseDeviceList(const std::string& text, std::vector<int>& devices, std::string& error) {
    devices.clear();
    error = formatted(_("'%s' is not a list of device numbers 0 to 99 (such as 0-99 or 1,5,7)"),
                      text.c_str());
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        const std::string item = text.substr(from, comma - from);
        const size_t dash = item.find('-');
        long long first = 0, last = 0;
        if (!wholeNumber(item.substr(0, dash), 99, first)) return false;
        last = first;
        if (dash != std::string::npos && !wholeNumber(item.substr(dash + 1), 99, last))
            return false;
        if (last < first) return false;
        for (long long n = first; n <= last; ++n) {
            if (std::find(devices.begin(), devices.end(), int(n)) == devices.end())
                devices.push_back(int(n));
        }
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    error.clear();
    return true;
}

bool parseBaudList(const std::vector<std::string>& texts, std::vector<uint32_t>& bauds,
                   std::string& error) {
    bauds.clear();
    for (const std::string& text : texts) {
        long long value = 0;
        if (!wholeNumber(text, 0xFFFFFFFFLL, value) || value == 0) {
            error = formatted(_("'%s' is not a baud rate (a whole number above 0)"), text.c_str());
            return false;
        }
        if (std::find(bauds.begin(), bauds.end(), uint32_t(value)) == bauds.end())
            bauds.push_back(uint32_t(value));
    }
    return true;
}

}  // namespace velko::jobs
