// The library's exported functions: each runs one job on the library's single link object and
// leaves the port closed.
#include "api/exclusive_link.h"
#include "velko/velko.h"

namespace velko {
namespace {

VELKOComm theLink;
ExclusiveLink theGate(theLink);

}  // namespace
}  // namespace velko

using velko::ReplyString;
using velko::VELKOComm;

extern "C" {

int32_t VELKO_CALL VELKOZeroPLUCounters(int32_t port, uint32_t baud, uint32_t deviceNumber) {
    return velko::theGate.run([&](VELKOComm& link) {
        ReplyString sessionText;
        return link.zeroCounters(port, baud, uint8_t(deviceNumber), sessionText);
    });
}

}  // extern "C"
