#include "cli/host_os.h"

#include <atomic>
#include <cstdlib>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>  // CommandLineToArgvW
#else
#include <signal.h>
#include <unistd.h>
#endif
#include <string>

#include "files/i18n.h"  // _ and N_ are macros

namespace velko::cli {
namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> stopRequested{false};
// Worded before the handlers are set, in the reader's language; a handler only writes it.
std::string stopping;

std::string stoppingMessage() {
    return _("\nvelko: stopping after the article on the line; Ctrl-C again to quit at once\n");
}

// True for the first interrupt; the handlers quit on the second. Safe in a signal handler.
bool noteInterrupt() {
    stopRequested.store(true);
    return interrupts.fetch_add(1) == 0;
}

}  // namespace

bool interrupted() {
    return interrupts.load() > 0;
}

const std::atomic<bool>& interruption() {
    return stopRequested;
}

#ifdef _WIN32

namespace {
// The console keeps its settings after the tool ends: the user's are put back at exit.
UINT userCodePage = 0;
HANDLE progressConsole = INVALID_HANDLE_VALUE;
DWORD userMode = 0;
}  // namespace

void prepareConsole() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    DWORD mode = 0;
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (GetConsoleMode(err, &userMode)) {
        progressConsole = err;  // the progress display redraws itself with escape sequences
        SetConsoleMode(err, userMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    } else if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        return;  // no console at all
    }
    userCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);  // names and messages are UTF-8
    std::atexit([] {
        SetConsoleOutputCP(userCodePage);
        if (progressConsole != INVALID_HANDLE_VALUE) SetConsoleMode(progressConsole, userMode);
    });
}

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        // The count includes the terminating null.
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(size_t(n > 1 ? n : 1), '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &utf8[0], n, nullptr, nullptr);
        utf8.pop_back();
        arguments.push_back(std::move(utf8));
    }
    LocalFree(wide);
    return arguments;
}

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (!noteInterrupt()) ExitProcess(130);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), stopping.data(), DWORD(stopping.size()), &written,
              nullptr);
    return TRUE;
}

void catchInterrupts() {
    stopping = stoppingMessage();
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

#else

void prepareConsole() {}

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

void catchInterrupts() {
    stopping = stoppingMessage();
    struct sigaction action {};
    action.sa_handler = [](int) {
        if (!noteInterrupt()) _exit(130);
        (void)!write(STDERR_FILENO, stopping.data(), stopping.size());
    };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

#endif

}  // namespace velko::cli
