// The library's exported functions: each runs one job on the library's single link object and
// leaves the port closed.
#include "api/exclusive_link.h"
#include "api/export_jobs.h"
#include "velko/velko.h"

namespace velko {
namespace {

VELKOComm theLink;
ExclusiveLink theGate(theLink);

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
