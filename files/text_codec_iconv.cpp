#include <errno.h>
#include <iconv.h>

#include <stdexcept>

#include "files/text_codec.h"

namespace velko::files {
namespace {

class IconvCodec : public TextCodec {
  public:
    IconvCodec()
        : toHost_(iconv_open("WINDOWS-1250", "UTF-8")),
          toUtf8_(iconv_open("UTF-8", "WINDOWS-1250")) {
        if (toHost_ == invalid() || toUtf8_ == invalid())
            throw std::runtime_error("this system's iconv has no Windows-1250 converter");
    }
    ~IconvCodec() override {
        iconv_close(toHost_);
        iconv_close(toUtf8_);
    }

    bool toHost(const std::string& utf8, std::string& host) override {
        return convert(toHost_, utf8, host, false);
    }

    std::string toUtf8(const std::string& host) override {
        std::string out;
        convert(toUtf8_, host, out, true);
        return out;
    }

  private:
    static iconv_t invalid() { return iconv_t(-1); }

    // Converts all of `in`; on a byte it cannot convert, either gives up or, with `replace`,
    // writes U+FFFD for it and goes on.
    static bool convert(iconv_t cd, const std::string& in, std::string& out, bool replace) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        out.clear();
        char* src = const_cast<char*>(in.data());
        size_t left = in.size();
        char buf[256];
        while (left > 0) {
            char* dst = buf;
            size_t room = sizeof buf;
            const size_t rc = iconv(cd, &src, &left, &dst, &room);
            out.append(buf, size_t(dst - buf));
            if (rc != size_t(-1) || errno == E2BIG) continue;
            if (!replace) return false;
            out += "\xEF\xBF\xBD";
            ++src;
            --left;
        }
        return true;
    }

    iconv_t toHost_, toUtf8_;
};

}  // namespace

std::unique_ptr<TextCodec> makeTextCodec() {
    return std::make_unique<IconvCodec>();
}

}  // namespace velko::files
