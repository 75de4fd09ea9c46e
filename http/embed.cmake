# Writes OUTPUT, a C++ file that holds every file of FILES (a ;-list) as bytes, found by its
# name through NAMESPACE::FUNCTION. Run as:
#   cmake -DOUTPUT=... -DFILES=... -DNAMESPACE=velko::serve -DFUNCTION=embeddedFile -P embed.cmake
set(arrays "")
set(entries "")
set(index 0)
foreach(file ${FILES})
    get_filename_component(name ${file} NAME)
    file(READ ${file} hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND arrays "const unsigned char file${index}[] = {${bytes} 0};\n")
    string(APPEND entries "    {\"${name}\", file${index}, sizeof file${index} - 1},\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Made by http/embed.cmake from the files it names; not to be edited.
#include <cstring>

#include \"http/embedded_files.h\"

namespace ${NAMESPACE} {
namespace {
using velko::http::EmbeddedFile;
${arrays}
const EmbeddedFile files[] = {
${entries}};
}  // namespace

const EmbeddedFile* ${FUNCTION}(const std::string& name) {
    for (const EmbeddedFile& f : files) {
        if (name == f.name) return &f;
    }
    return nullptr;
}

}  // namespace ${NAMESPACE}
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
