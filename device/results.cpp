#include "device/results.h"

#include <string>

namespace velko {
namespace {

const ResultText kResults[] = {
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
    {"VELKO_ERR_FORMAT",
     "a request the library would not send (a missing callback, an article the device cannot "
     "take) or a reply from the device that could not be read",
     "check the articles, the baud rate and that the device is a VELKO device"},
    {"VELKO_ERR_CRC", "a frame from the device arrived damaged",
     "check the cable and the baud rate; a long or unshielded cable picks up noise"},
    {"VELKO_ERR_PORT", "the port number must be 1 or 2", ""},
    {"VELKO_ERR_ADDRESS", "the device number must be 0 to 99", "check the device number"},
    {"VELKO_ERR_HANDLE", "the line handle is not open: null, closed or never opened", ""},
};

constexpr size_t kKnown = sizeof kResults / sizeof kResults[0];
const ResultText kUnknown = {"VELKO_ERR_UNKNOWN", "a result code this library does not return", ""};

}  // namespace

const ResultText& resultText(int32_t rc) {
    return rc >= 0 && size_t(rc) < kKnown ? kResults[rc] : kUnknown;
}

const char* resultMessage(int32_t rc) {
    // Composed once, on first use (thread-safe), and kept for the life of the program.
    static const struct Lines {
        std::string text[kKnown + 1];
        Lines() {
            for (size_t i = 0; i <= kKnown; ++i) {
                const ResultText& r = i < kKnown ? kResults[i] : kUnknown;
                text[i] = std::string(r.name) + ": " + r.meaning;
                if (*r.check) text[i] += std::string("; ") + r.check;
            }
        }
    } lines;
    return lines.text[rc >= 0 && size_t(rc) < kKnown ? size_t(rc) : kKnown].c_str();
}

}  // namespace velko
