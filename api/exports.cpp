// The library's exported functions: each runs one job on the library's single link object and
// leaves the port closed.
#include "api/exclusive_link.h"
#include "api/export_jobs.h"
#include "device/plu.h"
#include "velko/velko.h"

namespace velko {
namespace {

// Built while the library loads, in this order within this one file (objects in different
// files would be built in whatever order the linker chose): the link first, then the code
// type's record.
VELKOComm theLink;
ExclusiveLink theGate(theLink);
[[maybe_unused]] const RuntimeType* const pluType = Plu::registerType();

}  // namespace
}  // namespace velko

using velko::VELKOComm;

extern "C" {

int32_t VELKO_CALL VELKODeleteArticles(int32_t port, uint32_t baud, uint32_t deviceNumber,
                                       ArticleSupplier supplier, uint32_t userValue) {
    return velko::theGate.run([&](VELKOComm& link) {
        return velko::exportedDelete(link, port, baud, deviceNumber, supplier, userValue);
    });
}

int32_t VELKO_CALL VELKOReceiveArticles(int32_t port, uint32_t baud, uint32_t deviceNumber,
                                        ArticleConsumer consumer, uint32_t userValue) {
    return velko::theGate.run([&](VELKOComm& link) {
        return velko::exportedReceive(link, port, baud, deviceNumber, consumer, userValue);
    });
}

int32_t VELKO_CALL VELKOSendArticles(int32_t port, uint32_t baud, uint32_t skipSecondPreparation,
                                     uint32_t deviceNumber, ArticleSupplier supplier,
                                     uint32_t userValue) {
    return velko::theGate.run([&](VELKOComm& link) {
        return velko::exportedSend(link, port, baud, skipSecondPreparation, deviceNumber, supplier,
                                   userValue);
    });
}

int32_t VELKO_CALL VELKOZeroPLUCounters(int32_t port, uint32_t baud, uint32_t deviceNumber) {
    return velko::theGate.run(
        [&](VELKOComm& link) { return velko::exportedZero(link, port, baud, deviceNumber); });
}

}  // extern "C"
