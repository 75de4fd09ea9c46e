#include "jobs/outcome.h"

#include <cmath>

#include "device/results.h"
#include "velko/velko.h"

namespace velko::cli {

const char* resultName(int32_t rc) {
    return resultText(rc).name;
}

std::string resultLine(int32_t rc) {
    return resultMessage(rc);
}

std::string formatDuration(double seconds) {
    const long s = std::lround(seconds < 0 ? 0 : seconds);
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

}  // namespace velko::cli
