// Head office's intake on any message: an input is a topic line, then the payload. Never a
// crash or a hang; a refusal is an answer like any other.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "hq/intake.h"

using namespace velko::hq;

namespace {

HqStore& store() {
    static HqStore* s = [] {
        char dir[] = "/dev/shm/velko-fuzz-hq-XXXXXX";
        char fallback[] = "/tmp/velko-fuzz-hq-XXXXXX";
        const char* data = mkdtemp(dir);
        if (!data) data = mkdtemp(fallback);
        auto* opened = new HqStore(std::string(data) + "/hq.db");
        // A presence, a device in the register and a promotion sent, so that the inputs reach
        // past the first checks.
        opened->enrol("shop-1", "till-1");
        opened->sent("p-1", "promotion", {{"shop-1", "till-1"}}, "2026-12-10T08:00:00Z");
        return opened;
    }();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t line = input.find('\n');
    const std::string topic = input.substr(0, line);
    const std::string payload = line == std::string::npos ? "" : input.substr(line + 1);
    try {
        take(store(), topic, payload, size % 2 == 0, 1 << 16);
    } catch (const Refused&) {
    }
    return 0;
}
