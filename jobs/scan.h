// velko scan: which device answers where. Every line is tried at every rate and number asked
// for, each address with a short wait for its answer, one thread per line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace velko::jobs {

struct ScanRequest {
    std::vector<std::string> lines;  // paths as --line takes them; empty: the system's lines
    std::vector<uint32_t> bauds;     // in the order tried
    std::vector<int> devices;        // in the order tried, each 0 to 99
    uint32_t answerWaitMs = 300;     // the wait for a device's answer to its address
    bool all = false;                // go on with a line after its first find
    bool quiet = false;
    std::string trace;  // a trace file; with several lines one per line, FILE-1, FILE-2...
};

struct ScanFind {
    uint32_t baud;
    int device;
    std::string session;
};

// What the search found on one line, and how far it went.
struct LineScan {
    std::vector<ScanFind> finds;
    long addressed = 0, planned = 0;
    bool opened = false;             // at least one address went out
    std::string failure;             // why the line was not scanned, or not to the end
    bool busy = false;               // another program holds it
    std::vector<std::string> notes;  // rates the port refused
    std::string unclear;             // the first answer that came but could not be read
    long unclearCount = 0;
    bool interrupted = false;
};

class Progress;

// Searches one line at `request`'s rates and numbers, reporting to `progress`'s `row`. It ends
// early when `stop` is set.
LineScan scanLine(const std::string& line, const ScanRequest& request, const std::string& traceName,
                  Progress& progress, size_t row, const std::atomic<bool>* stop = nullptr);

// The rates tried when none are named: the usual rate first, then from the faster to the
// slower.
std::vector<uint32_t> defaultScanBauds();

// "0-99", "1,5,7", "40-43,7": device numbers 0 to 99, in the order given, each once. False,
// with the reason in `error`, for anything else.
bool parseDeviceList(const std::string& text, std::vector<int>& devices, std::string& error);

// Rates given as "9600,19200" (or split already): whole numbers above 0, each once.
bool parseBaudList(const std::vector<std::string>& texts, std::vector<uint32_t>& bauds,
                   std::string& error);

// Whether `line` names a device server (tcp://HOST:PORT), whose rate is set at the server.
bool isTcp(const std::string& line);

// The most one address can cost when nobody answers: the wake-up, the address and the end
// bytes on the wire, and the wait for the answer.
double unansweredMs(uint32_t baud, uint32_t answerWaitMs);
// The longest a search of `line` can take, in seconds: every address unanswered.
double worstCaseSeconds(const std::string& line, const ScanRequest& request);

}  // namespace velko::jobs
