#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "files/i18n.h"

namespace velko::files {
namespace {

// Where the catalogues are: a build tree keeps them in locale/ beside the program; the package
// and the tarball in share/locale/ beside bin/.
std::string catalogueDir(const char* program) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) self = fs::absolute(program ? program : "", error);
    const fs::path dir = self.parent_path();
    for (const fs::path& candidate : {dir / "locale", dir.parent_path() / "share" / "locale"}) {
        if (fs::is_directory(candidate, error)) return candidate.string();
    }
    return (dir.parent_path() / "share" / "locale").string();
}

// The message locale the environment asks for, as setlocale reads it.
std::string askedMessageLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return "";
}

}  // namespace

void startTranslations(const char* program) {
    // Only the characters and the messages: numbers stay as C writes them, since the tool's
    // files and reports are read by programs as well as by people.
    if (!std::setlocale(LC_CTYPE, "")) std::setlocale(LC_CTYPE, "C.UTF-8");
    if (!std::setlocale(LC_MESSAGES, "")) {
        // The locale is not generated here (a fresh system has C.UTF-8 alone): the catalogue is
        // still there, and LANGUAGE names it to gettext, which heeds LANGUAGE under any message
        // locale but plain C.
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        std::string asked = askedMessageLocale();
        asked = asked.substr(0, asked.find_first_of(".@"));  // pl_PL.UTF-8 -> pl_PL
        const char* language = std::getenv("LANGUAGE");
        if (!asked.empty() && asked != "C" && asked != "POSIX" && !(language && *language))
            setenv("LANGUAGE", asked.c_str(), 1);
    }
    bindtextdomain(kTextDomain, catalogueDir(program).c_str());
    // The tool writes UTF-8 whatever the locale's characters: so do its translations.
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    textdomain(kTextDomain);
}

void speakEnglish() {
    std::setlocale(LC_MESSAGES, "C");
}

}  // namespace velko::files
