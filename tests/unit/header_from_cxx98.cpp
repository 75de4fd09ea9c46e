// The public header compiles as C++98, as old Windows compilers see it.
#include "velko/velko.h"

extern "C" int32_t VELKO_CALL velkoConsumeFromCxx98(const char*, int32_t, ArticleRecord* record,
                                                    uint32_t) {
    return record->flag;
}
