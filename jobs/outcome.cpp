#include "jobs/outcome.h"

#include <cmath>

#include "device/results.h"
#include "files/i18n.h"  // _ and N_ are macros
#include "velko/velko.h"

namespace velko::jobs {

using namespace velko::files;  // a job is made of the files' parts

const char* resultName(int32_t rc) {
    return resultText(rc).name;
}

namespace {

// The library's lines for its result codes, as it words them (and the tool shows them), here
// for the catalogue: the library itself translates nothing.
[[maybe_unused]] const char* const kResultLines[] = {
    N_("VELKO_OK: done"),
    N_("VELKO_ERR_ABORT: the download was stopped before the device's list ended"),
    N_("VELKO_ERR_OPEN: the serial port could not be opened or set up; check the path, that no "
       "other program holds the port, and that the baud rate is one the port supports"),
    N_("VELKO_ERR_SEND: a frame could not be written, or the device did not acknowledge it "
       "after 10 attempts; check the cable, the baud rate and the device number"),
    N_("VELKO_ERR_READ: the device did not answer within 20 s (30 s for a counter reset), or "
       "refused the request; check the cable, the baud rate and the device number"),
    N_("VELKO_ERR_FORMAT: a request the library would not send (a missing callback, an article "
       "the device cannot take) or a reply from the device that could not be read; check the "
       "articles, the baud rate and that the device is a VELKO device"),
    N_("VELKO_ERR_CRC: a frame from the device arrived damaged; check the cable and the baud "
       "rate; a long or unshielded cable picks up noise"),
    N_("VELKO_ERR_PORT: the port number must be 1 or 2"),
    N_("VELKO_ERR_ADDRESS: the device number must be 0 to 99; check the device number"),
    N_("VELKO_ERR_HANDLE: the line handle is not open: null, closed or never opened"),
    N_("VELKO_ERR_UNKNOWN: a result code this library does not return"),
};

}  // namespace

std::string resultLine(int32_t rc) {
    return _(resultMessage(rc));
}

std::string formatDuration(double seconds) {
    const long s = std::lround(seconds < 0 ? 0 : seconds);
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

const char* jobState(int outcome, bool programStopping) {
    if (outcome == OUTCOME_DONE) return "done";
    if (outcome == OUTCOME_INTERRUPTED) return programStopping ? "interrupted" : "cancelled";
    return "failed";
}

int32_t resultCodeOf(int outcome) {
    if (outcome == OUTCOME_DONE) return VELKO_OK;
    if (outcome > OUTCOME_RESULT_BASE && outcome < OUTCOME_INTERRUPTED)
        return outcome - OUTCOME_RESULT_BASE;
    return -1;
}

}  // namespace velko::jobs
