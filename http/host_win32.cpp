#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>

#include "http/host.h"

namespace velko::http {
namespace {

std::mutex stopMutex;
std::condition_variable stopAsked;
bool stopped = false;

BOOL WINAPI onConsoleEvent(DWORD) {
    requestStop();
    return TRUE;  // the stop ends the program, once the service has stopped
}

}  // namespace

void listenAlone(intptr_t socket) {
    const BOOL yes = TRUE;
    // Windows lets a second program bind a port in use unless the first asks to be alone.
    setsockopt(SOCKET(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
    setsockopt(SOCKET(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

int waitSocket(intptr_t socket, bool forWriting, int milliseconds) {
    WSAPOLLFD p{SOCKET(socket), short(forWriting ? POLLOUT : POLLIN), 0};
    const int n = WSAPoll(&p, 1, milliseconds);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

long receiveSome(intptr_t socket, char* into, size_t size) {
    return recv(SOCKET(socket), into, int(size), 0);
}

long sendSome(intptr_t socket, const char* from, size_t size) {
    return send(SOCKET(socket), from, int(size), 0);
}

bool socketAddress(intptr_t socket, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    int length = sizeof address;
    if ((peer ? getpeername : getsockname)(SOCKET(socket), reinterpret_cast<sockaddr*>(&address),
                                           &length) != 0)
        return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    }
    ip = text;
    return true;
}

void wakeConnection(intptr_t socket) {
    shutdown(SOCKET(socket), SD_RECEIVE);
}

void closeConnection(intptr_t socket) {
    shutdown(SOCKET(socket), SD_BOTH);
    closesocket(SOCKET(socket));
}

// The folder's permissions are the installer's to set, as Windows inherits them.
void privateFiles() {}

std::string hostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "";
}

std::tm utcTime(std::time_t when) {
    std::tm t{};
    gmtime_s(&t, &when);
    return t;
}

std::string freshDirectory(const std::string& prefix) {
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) return "";
    std::random_device source;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const auto dir = base / (prefix + std::to_string(source()));
        if (std::filesystem::create_directory(dir, error)) return dir.u8string();
    }
    return "";
}

DirectoryLock::DirectoryLock(const std::string& dir) {
    const std::wstring path = (std::filesystem::u8path(dir) / "velko.lock").wstring();
    // No sharing: a second opener fails for as long as this handle is open.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    held_ = h != INVALID_HANDLE_VALUE;
    handle_ = held_ ? intptr_t(h) : -1;
}

DirectoryLock::~DirectoryLock() {
    if (held_) CloseHandle(HANDLE(handle_));
}

void prepareStop() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void waitForStop() {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopAsked.wait(lock, [] { return stopped; });
}

void requestStop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopped = true;
    }
    stopAsked.notify_all();
}

}  // namespace velko::http
