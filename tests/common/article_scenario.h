// One end-to-end article scenario, run against the four library functions however they were
// reached: through the Windows DLL under Wine, or through the link over a Linux pty.
#pragma once

#include "velko/velko.h"

namespace velko::test {

struct LibraryFunctions {
    int32_t(VELKO_CALL* deleteArticles)(int32_t, uint32_t, uint32_t, ArticleSupplier, uint32_t);
    int32_t(VELKO_CALL* receiveArticles)(int32_t, uint32_t, uint32_t, ArticleConsumer, uint32_t);
    int32_t(VELKO_CALL* sendArticles)(int32_t, uint32_t, uint32_t, uint32_t, ArticleSupplier,
                                      uint32_t);
    int32_t(VELKO_CALL* zeroCounters)(int32_t, uint32_t, uint32_t);
};

// Expects the device on port 1 to start with the table in tests/common/scenario_table.txt.
// Reports each check through `check` and returns the number that failed.
int runArticleScenario(const LibraryFunctions& f, void (*check)(bool ok, const char* what));

}  // namespace velko::test
