#include "serve/windows_service.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "http/host.h"

namespace velko::serve {
namespace {

const wchar_t kName[] = L"velko";

ServeOptions serviceOptions;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
int serviceExit = 0;

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return L"";
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &out[0], n);
    return out;
}

int failed(const char* what) {
    std::fprintf(stderr, "velko serve: %s (Windows error %lu)\n", what, GetLastError());
    return 1;
}

void report(DWORD state, DWORD exitCode = NO_ERROR) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 60000 : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        // A running job ends its session after the article on the line; that takes a while.
        report(SERVICE_STOP_PENDING);
        http::requestStop();
    }
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(kName, onControl, nullptr);
    if (!statusHandle) return;
    report(SERVICE_RUNNING);
    serviceExit = runServe(serviceOptions);
    report(SERVICE_STOPPED, DWORD(serviceExit));
}

}  // namespace

int installWindowsService(const ServeOptions& options) {
    wchar_t self[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return failed("cannot find this program");
    std::error_code error;
    const std::wstring config = std::filesystem::absolute(wide(options.config), error).wstring();
    std::wstring command =
        L"\"" + std::wstring(self) + L"\" serve --windows-service --config \"" + config + L"\"";
    if (!options.listen.empty()) command += L" --listen " + wide(options.listen);
    if (!options.data.empty()) command += L" --data \"" + wide(options.data) + L"\"";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) return failed("cannot reach the service manager; run as an administrator");
    SC_HANDLE service =
        CreateServiceW(manager, kName, L"velko serve", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        const int rc = failed("cannot install the service \"velko\"");
        CloseServiceHandle(manager);
        return rc;
    }
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(
        L"The shop's VELKO devices over HTTP: a web page, an API, a job log, the close of day")};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::printf(
        "velko serve: installed as the service \"velko\" (starts with Windows); start it "
        "now with: sc start velko\n");
    return 0;
}

int uninstallWindowsService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return failed("cannot reach the service manager; run as an administrator");
    SC_HANDLE service = OpenServiceW(manager, kName, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS);
    if (!service) {
        CloseServiceHandle(manager);
        return failed("there is no service \"velko\"");
    }
    SERVICE_STATUS now{};
    ControlService(service, SERVICE_CONTROL_STOP, &now);
    const bool removed = DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!removed) return failed("cannot remove the service \"velko\"");
    std::printf("velko serve: the service \"velko\" is removed\n");
    return 0;
}

int runAsWindowsService(const ServeOptions& options) {
    serviceOptions = options;
    // A service has no console: what it would say goes to a log beside its configuration
    // (whose name the installation made absolute).
    const std::wstring log = wide(options.config) + L".log";
    if (FILE* out = _wfopen(log.c_str(), L"a")) {
        setvbuf(out, nullptr, _IONBF, 0);
        http::sayInto(out);
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kName), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return failed("--windows-service is for the service manager; run without it");
    return serviceExit;
}

}  // namespace velko::serve
