/* The public header compiles as plain C, with its layout checks. */
#include "velko/velko.h"

static int32_t VELKO_CALL consume(const char* sessionText, int32_t index, ArticleRecord* record,
                                  uint32_t userValue) {
    (void)sessionText;
    (void)index;
    (void)userValue;
    return record->flag;
}

ArticleConsumer velkoHeaderFromC = consume;
