// The Windows implementation: the system's own code page 1250 tables.
#include <windows.h>

#include "files/text_codec.h"

namespace velko::files {
namespace {

constexpr UINT kHostCodePage = 1250;

class Win32Codec : public TextCodec {
  public:
    bool toHost(const std::string& utf8, std::string& host) override {
        host.clear();
        if (utf8.empty()) return true;
        const std::wstring wide = widen(CP_UTF8, MB_ERR_INVALID_CHARS, utf8);
        if (wide.empty()) return false;
        // No best fit: 'é' must be refused, not quietly sent as 'e'.
        BOOL lossy = FALSE;
        const int n = WideCharToMultiByte(kHostCodePage, WC_NO_BEST_FIT_CHARS, wide.data(),
                                          int(wide.size()), nullptr, 0, nullptr, &lossy);
        if (n <= 0 || lossy) return false;
        host.resize(size_t(n));
        WideCharToMultiByte(kHostCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()),
                            &host[0], n, nullptr, &lossy);
        return !lossy;
    }

    std::string toUtf8(const std::string& host) override {
        // Byte by byte: the code page's unassigned bytes come back from Windows as C1 controls,
        // and become U+FFFD here as they do with iconv.
        std::string out;
        for (const char byte : host) {
            const std::wstring wide = widen(kHostCodePage, 0, std::string(1, byte));
            const bool unassigned = static_cast<unsigned char>(byte) >= 0x80 &&
                                    (wide.size() != 1 || (wide[0] >= 0x80 && wide[0] < 0xA0));
            if (unassigned) {
                out += "\xEF\xBF\xBD";
                continue;
            }
            char utf8[4];
            const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8,
                                              sizeof utf8, nullptr, nullptr);
            out.append(utf8, size_t(n > 0 ? n : 0));
        }
        return out;
    }

  private:
    static std::wstring widen(UINT codePage, DWORD flags, const std::string& text) {
        const int n =
            MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), nullptr, 0);
        if (n <= 0) return std::wstring();
        std::wstring wide(size_t(n), L'\0');
        MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), &wide[0], n);
        return wide;
    }
};

}  // namespace

std::unique_ptr<TextCodec> makeTextCodec() {
    return std::make_unique<Win32Codec>();
}

}  // namespace velko::files
