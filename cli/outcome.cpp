#include "cli/outcome.h"

#include <cmath>

#include "velko/velko.h"

namespace velko::cli {
namespace {

struct Result {
    const char* name;
    const char* meaning;
    const char* check;
};

const Result kResults[] = {
    {"VELKO_OK", "done", ""},
    {"VELKO_ERR_ABORT", "the download was stopped before the device's list ended", ""},
    {"VELKO_ERR_OPEN", "the serial port could not be opened or set up",
     "check the path, that no other program holds the port, and that the baud rate is one the "
     "port supports"},
    {"VELKO_ERR_SEND",
     "a frame could not be written, or the device did not acknowledge it after 10 attempts",
     "check the cable, the baud rate and the device number"},
    {"VELKO_ERR_READ",
     "the device did not answer within 20 s (30 s for a counter reset), or refused the request",
     "check the cable, the baud rate and the device number"},
    {"VELKO_ERR_FORMAT", "the device sent a reply that could not be read",
     "check the baud rate and that the device is a VELKO device"},
    {"VELKO_ERR_CRC", "a frame from the device arrived damaged",
     "check the cable and the baud rate; a long or unshielded cable picks up noise"},
    {"VELKO_ERR_PORT", "the port number must be 1 or 2", "check --line"},
    {"VELKO_ERR_ADDRESS", "the device number must be 0 to 99", "check --device or PATH@N"},
};

}  // namespace

const char* resultName(int32_t rc) {
    return rc >= 0 && rc <= 8 ? kResults[rc].name : "VELKO_ERR_UNKNOWN";
}

std::string resultLine(int32_t rc) {
    if (rc < 0 || rc > 8) return "VELKO_ERR_UNKNOWN: result code " + std::to_string(rc);
    const Result& r = kResults[rc];
    std::string line = std::string(r.name) + ": " + r.meaning;
    if (*r.check) line += std::string("; ") + r.check;
    return line;
}

std::string exitStatusHelp() {
    std::string text =
        "Exit status:\n"
        "   0  done\n"
        "   2  the command line is wrong\n"
        "   3  an article file is unreadable or has faults: nothing was sent\n"
        "   4  the device refused an article, or did not delete a code\n"
        "   5  close-day: the report could not be saved; the counters were not touched\n"
        "   6  the device did not confirm zeroing its counters (they may not be zeroed)\n"
        "   7  the output file could not be written\n"
        "   9  several lines failed, for different causes\n";
    for (int32_t rc = 1; rc <= 8; ++rc) {
        text += "  " + std::to_string(EXIT_RESULT_BASE + rc) + "  " + kResults[rc].name + ": " +
                kResults[rc].meaning + "\n";
    }
    return text;
}

std::string formatDuration(double seconds) {
    const long s = std::lround(seconds < 0 ? 0 : seconds);
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

}  // namespace velko::cli
