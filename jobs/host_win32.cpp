#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "jobs/host.h"

namespace velko::jobs {

// Every serial port a driver has made, USB adapters and virtual ports included, is a value
// under this key, its data the port's name.
std::vector<std::string> systemSerialLines() {
    std::vector<std::string> lines;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return lines;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[256];
        DWORD nameLength = 256, type = 0, dataBytes = sizeof data - sizeof(wchar_t);
        const LONG rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataBytes);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataBytes / sizeof(wchar_t)] = L'\0';
        char text[256];
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, data, -1, text, sizeof text, nullptr, nullptr);
        if (n > 1) lines.emplace_back(text);
    }
    RegCloseKey(key);
    // COM2 before COM10; names without a number after the letters keep their own order.
    auto number = [](const std::string& line) {
        const size_t digits = line.find_first_of("0123456789");
        return digits == std::string::npos ? 0L : std::strtol(line.c_str() + digits, nullptr, 10);
    };
    std::sort(lines.begin(), lines.end(), [&](const std::string& a, const std::string& b) {
        const std::string pa = a.substr(0, a.find_first_of("0123456789"));
        const std::string pb = b.substr(0, b.find_first_of("0123456789"));
        return pa != pb ? pa < pb : number(a) < number(b);
    });
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

std::tm localTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

}  // namespace velko::jobs
