// velko: talks to a VELKO device from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/posix_platform.h"
#include "link/velko_comm.h"

namespace {

const char* resultName(int32_t rc) {
    static const char* const names[] = {"VELKO_OK",       "VELKO_ERR_ABORT", "VELKO_ERR_OPEN",
                                        "VELKO_ERR_SEND", "VELKO_ERR_READ",  "VELKO_ERR_FORMAT",
                                        "VELKO_ERR_CRC",  "VELKO_ERR_PORT",  "VELKO_ERR_ADDRESS"};
    return rc >= 0 && rc <= 8 ? names[rc] : "unknown result";
}

const char* resultText(int32_t rc) {
    switch (rc) {
        case VELKO_OK:
            return "done";
        case VELKO_ERR_ABORT:
            return "stopped";
        case VELKO_ERR_OPEN:
            return "the port could not be opened (missing, or held by another program)";
        case VELKO_ERR_SEND:
            return "the device did not take what was sent";
        case VELKO_ERR_READ:
            return "no answer from the device in time, or the device refused";
        case VELKO_ERR_FORMAT:
            return "a malformed frame or reply";
        case VELKO_ERR_CRC:
            return "a damaged frame from the device (CRC)";
        case VELKO_ERR_PORT:
            return "port must be 1 or 2";
        case VELKO_ERR_ADDRESS:
            return "device number must be 0 to 99";
    }
    return "unknown result";
}

int usage() {
    std::fprintf(stderr,
                 "usage: velko zero-counters [--line PATH | --port N] [--device N] [--baud B]\n"
                 "                           [--trace FILE]\n"
                 "  --line PATH  the serial device to use (default: port 1, /dev/ttyS0)\n"
                 "  --port N     serial port 1 or 2 (/dev/ttyS0 or /dev/ttyS1)\n"
                 "  --device N   the device number, 0 to 99 (default 1)\n"
                 "  --baud B     the line speed (default 9600)\n"
                 "  --trace FILE append a time-stamped trace of every step to FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "zero-counters") != 0) return usage();
    int32_t port = 1;
    long device = 1;
    uint32_t baud = 9600;
    std::string line, traceFile;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--line") {
            line = value;
        } else if (arg == "--trace") {
            traceFile = value;
        } else if (arg == "--port") {
            port = int32_t(std::strtol(value, &end, 10));
        } else if (arg == "--device") {
            device = std::strtol(value, &end, 10);
        } else if (arg == "--baud") {
            baud = uint32_t(std::strtoul(value, &end, 10));
        } else {
            return usage();
        }
        if (end && *end) return usage();
    }
    if (device < 0 || device > 255) {
        std::fprintf(stderr, "velko: %s\n", resultText(VELKO_ERR_ADDRESS));
        return 1;
    }
    velko::PosixPlatform platform;
    if (!line.empty()) platform.mapPort(port, line);
    velko::VELKOComm link(platform);
    velko::TraceLog trace(traceFile.c_str(), 0);
    if (!traceFile.empty()) link.setTraceSink(&trace);
    velko::ReplyString sessionText;
    std::printf("Zeroing the PLU counters of device %ld on %s at %u baud...\n", device,
                platform.pathOf(port).c_str(), baud);
    const int32_t rc = link.zeroCounters(port, baud, uint8_t(device), sessionText);
    link.close();
    if (rc != VELKO_OK) {
        std::fprintf(stderr, "velko: %s (%s)\n", resultText(rc), resultName(rc));
        return 1;
    }
    std::printf("PLU counters zeroed.\n");
    return 0;
}
