// Text between the UTF-8 of files and terminals and the Windows-1250 of the library's records.
// One implementation per platform, like the serial line: iconv, or the Windows code page calls.
#pragma once

#include <memory>
#include <string>

namespace velko::files {

class TextCodec {
  public:
    virtual ~TextCodec() = default;
    // False when `utf8` is not valid UTF-8 or holds a character Windows-1250 does not have.
    virtual bool toHost(const std::string& utf8, std::string& host) = 0;
    // Every Windows-1250 byte has a UTF-8 form; bytes the code page leaves unassigned become
    // U+FFFD.
    virtual std::string toUtf8(const std::string& host) = 0;
};

// A codec for one thread at a time.
std::unique_ptr<TextCodec> makeTextCodec();

}  // namespace velko::files
