// Serial ports through the Windows serial communications calls, exactly as the device's
// line set-up prescribes; the one purge is of stale input as a session begins, no flush or
// error-clearing call anywhere.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "link/platform.h"
#include "link/tcp_port.h"
#include "link/win32_message.h"

namespace velko {

std::string systemMessage(unsigned long code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    if (message.empty()) return "system error " + std::to_string(code);
    if (message.size() > 1 && message[0] >= 'A' && message[0] <= 'Z' && message[1] >= 'a' &&
        message[1] <= 'z')
        message[0] = char(message[0] - 'A' + 'a');
    return message;
}

namespace {

static_assert(sizeof(DCB) == 28, "the DCB the device set-up describes is 28 bytes");

class Win32Port : public PortDevice {
  public:
    explicit Win32Port(HANDLE handle) : handle_(handle) {}
    ~Win32Port() override { CloseHandle(handle_); }

    bool applyLineSetup(const LineSetup& s) override {
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);  // every field the set-up does not name is zero
        dcb.DCBlength = s.dcbLength;
        dcb.BaudRate = s.baudRate;
        dcb.fBinary = s.fBinary;
        dcb.fParity = s.fParity;
        dcb.fOutxCtsFlow = s.fOutxCtsFlow;
        dcb.fOutxDsrFlow = s.fOutxDsrFlow;
        dcb.fDtrControl = s.fDtrControl;
        dcb.fDsrSensitivity = s.fDsrSensitivity;
        dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
        dcb.fOutX = s.fOutX;
        dcb.fInX = s.fInX;
        dcb.fErrorChar = s.fErrorChar;
        dcb.fNull = s.fNull;
        dcb.fRtsControl = s.fRtsControl;
        dcb.fAbortOnError = s.fAbortOnError;
        dcb.XonLim = s.xonLim;
        dcb.XoffLim = s.xoffLim;
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        return SetCommState(handle_, &dcb) != 0;
    }

    bool applyTimeouts(const Timeouts& t) override {
        COMMTIMEOUTS ct;
        ct.ReadIntervalTimeout = t.readInterval;
        ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
        ct.ReadTotalTimeoutConstant = t.readTotalConstant;
        ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
        ct.WriteTotalTimeoutConstant = t.writeTotalConstant;
        return SetCommTimeouts(handle_, &ct) != 0;
    }

    bool setQueueSizes(uint32_t input, uint32_t output) override {
        return SetupComm(handle_, input, output) != 0;
    }

    bool read(void* buf, uint32_t count, uint32_t* got) override {
        DWORD n = 0;
        const BOOL ok = ReadFile(handle_, buf, count, &n, nullptr);
        *got = n;
        return ok != 0;
    }

    bool write(const void* buf, uint32_t count, uint32_t* written) override {
        DWORD n = 0;
        const BOOL ok = WriteFile(handle_, buf, count, &n, nullptr);
        *written = n;
        return ok != 0;
    }

    bool discardInput() override { return PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT) != 0; }

  private:
    HANDLE handle_;
};

class Win32Platform : public Platform {
  public:
    Win32Platform() = default;
    // Port 1 opens `device` instead of com1.
    explicit Win32Platform(std::string device) : device_(std::move(device)) {}

    std::unique_ptr<PortDevice> openPort(int32_t port, std::string& why) override {
        char name[16];  // "com" and any 32-bit number
        std::snprintf(name, sizeof name, "com%d", int(port));
        const char* const path = port == 1 && !device_.empty() ? device_.c_str() : name;
        if (std::strncmp(path, "tcp://", 6) == 0) return openTcpPort(path + 6, why);
        // Named as people name it: "COM10", not the device namespace's "\\.\COM10".
        const std::string shown = std::strncmp(path, "\\\\.\\", 4) == 0 ? path + 4 : path;
        const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            switch (error) {
                case ERROR_FILE_NOT_FOUND:
                case ERROR_PATH_NOT_FOUND:
                    why = "no such port: " + shown;
                    break;
                case ERROR_ACCESS_DENIED:  // what a port open in another program answers
                case ERROR_SHARING_VIOLATION:
                    why = shown + " is held by another program";
                    break;
                default:
                    why = shown + ": " + systemMessage(error);
            }
            return nullptr;
        }
        // A file opens as well and would refuse the line set-up later: named here as what it
        // is. A handle of no type at all is of nothing (Wine's port whose device is gone).
        // Anything else may be a port (some drivers give theirs no type): the set-up decides.
        SetLastError(NO_ERROR);
        const DWORD type = GetFileType(h);
        const bool nothing = type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
        if (nothing || type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
            CloseHandle(h);
            why = nothing ? "no such port: " + shown : shown + " is not a serial device";
            return nullptr;
        }
        return std::unique_ptr<PortDevice>(new Win32Port(h));
    }
    void sleep(uint32_t ms) override { Sleep(ms); }
    uint32_t tickCount() override { return GetTickCount(); }

  private:
    std::string device_;
};

}  // namespace

std::unique_ptr<Platform> platformForLine(const std::string& line) {
    // "COM3" is reachable by its bare name only below COM10; the device namespace reaches all.
    const bool comName = line.size() > 3 && _strnicmp(line.c_str(), "COM", 3) == 0 &&
                         line.find_first_not_of("0123456789", 3) == std::string::npos;
    return std::unique_ptr<Platform>(new Win32Platform(comName ? "\\\\.\\" + line : line));
}

const char* firstPortName() {
    return "COM1";
}

Platform& systemPlatform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace velko
