// A build without NLS speaks English alone.
#include "files/i18n.h"

namespace velko::cli {

void startTranslations(const char*) {}

void speakEnglish() {}

}  // namespace velko::cli
