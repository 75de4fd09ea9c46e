// Durable replacement of a file on Windows: the file flushed to disk, then moved into place
// with write-through, which returns only once the new name is on disk as well. Names are UTF-8
// and go to the wide calls, so that they may hold letters the ANSI code page lacks.
#include <windows.h>

#include <algorithm>

#include "files/article_file.h"

namespace velko::files {
namespace {

// Empty when `utf8` is not valid UTF-8.
std::wstring widened(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()),
                                      nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), &wide[0], n);
    return wide;
}

// In UTF-8 like the rest of the tool's messages: the ANSI form of a message in a language
// with letters beyond ASCII would come out garbled on the console.
std::string messageOf(DWORD code) {
    wchar_t text[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text / sizeof text[0], nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L'.')) --n;
    char utf8[1024];
    const int size =
        n ? WideCharToMultiByte(CP_UTF8, 0, text, int(n), utf8, sizeof utf8, nullptr, nullptr) : 0;
    return size > 0 ? std::string(utf8, size_t(size)) : "error " + std::to_string(code);
}

}  // namespace

std::string writeFileAtomically(const std::string& path, const std::string& text, bool keepExisting,
                                std::string& error) {
    const std::wstring temporary = widened(path + ".part");
    const HANDLE file = temporary.empty()
                            ? INVALID_HANDLE_VALUE
                            : CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool good = file != INVALID_HANDLE_VALUE;
    for (size_t done = 0; good && done < text.size();) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<size_t>(text.size() - done, 1u << 20));
        good = WriteFile(file, text.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    good = good && FlushFileBuffers(file);
    DWORD failure = good ? 0 : temporary.empty() ? DWORD(ERROR_INVALID_NAME) : GetLastError();
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file) && good) {
        failure = GetLastError();
        good = false;
    }
    std::string target = path;
    // Without MOVEFILE_REPLACE_EXISTING an existing file is never replaced, so two reports of
    // the same second both survive.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (keepExisting ? 0 : MOVEFILE_REPLACE_EXISTING);
    for (int n = 2; good && !MoveFileExW(temporary.c_str(), widened(target).c_str(), flags); ++n) {
        failure = GetLastError();
        const bool taken = failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS;
        if (!keepExisting || !taken || n > 999) good = false;
        target = withSuffix(path, "-" + std::to_string(n));
    }
    if (!good) {
        error = path + ": " + messageOf(failure);
        if (!temporary.empty()) DeleteFileW(temporary.c_str());
        return "";
    }
    return target;
}

}  // namespace velko::files
