// A build without NLS speaks English alone.
#include "files/i18n.h"

namespace velko::files {

void startTranslations(const char*) {}

void speakEnglish() {}

}  // namespace velko::files
