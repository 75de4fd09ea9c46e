// The words the tool shows people, in their language: _() translates a message now, N_() only
// marks one for the catalogue (a table of templates worded later). Built without NLS (the
// Windows builds, which have no libintl) every message stays as written, in English.
//
// `_` and `N_` are macros: no header included beside it may use those names.
#pragma once

#include <string>

#ifdef VELKO_NLS
#include <libintl.h>
#else
#define gettext(text) ((const char*)(text))
#define ngettext(one, many, n) ((n) == 1 ? (const char*)(one) : (const char*)(many))
#endif

#define _(text) gettext(text)
#define N_(text) text

namespace velko::files {

// The catalogue's text domain: po/velko.pot, share/locale/LANG/LC_MESSAGES/velko.mo.
constexpr const char* kTextDomain = "velko";

// The locale from the environment and the tool's catalogue, found beside the program
// (`program` is argv[0]). A message language asked for (LC_ALL, LC_MESSAGES, LANG, LANGUAGE)
// is spoken even when the system has not generated that locale: the characters are then taken
// as UTF-8, which is what the tool writes anyway.
void startTranslations(const char* program);

// English from here on, whatever the environment asks: for what records its messages for
// others to read (the service's job log, head office), not for a person at this terminal.
void speakEnglish();

// printf into a std::string; `text` is usually a translated message.
#if defined(__clang__)
std::string formatted(const char* text, ...) __attribute__((format(printf, 1, 2)));
#else
std::string formatted(const char* text, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif

}  // namespace velko::files
