#include "serve/windows_service.h"

#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "http/host.h"

namespace velko::serve {
namespace {

const wchar_t kName[] = L"velko";
// The service's own virtual account: it may read the configuration's secrets, and no one else
// but the machine's administrators.
const wchar_t kAccount[] = L"NT SERVICE\\velko";

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

// The account's SID as text ("S-1-5-80-..."), once the service that makes it exists.
std::wstring accountSid() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    wchar_t* text = nullptr;
    if (!LookupAccountNameW(nullptr, kAccount, sid, &sidSize, domain, &domainSize, &use) ||
        !ConvertSidToStringSidW(sid, &text))
        return L"";
    std::wstring out(text);
    LocalFree(text);
    return out;
}

// Makes DIR (and what it will hold) the service's, the system's and the administrators' alone:
// the inherited permissions of %ProgramData% let every local user read it.
bool keepPrivate(const std::filesystem::path& dir, const std::wstring& sid) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    // Full control for SYSTEM and Administrators, change (not permissions) for the service.
    const std::wstring sddl =
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;" + sid + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    std::wstring path = dir.wstring();
    const bool done =
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
        SetNamedSecurityInfoW(&path[0], SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return done;
}

// Whether local users who are not administrators may read FILE: its secrets would be theirs.
bool othersMayRead(const std::wstring& file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool readable = dacl == nullptr;  // no DACL: everyone may do everything
    for (const wchar_t* group : {L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545"}) {
        PSID sid = nullptr;
        if (readable || !ConvertStringSidToSidW(group, &sid)) continue;
        TRUSTEEW trustee{};
        BuildTrusteeWithSidW(&trustee, sid);
        ACCESS_MASK rights = 0;
        readable = GetEffectiveRightsFromAclW(dacl, &trustee, &rights) == ERROR_SUCCESS &&
                   (rights & FILE_READ_DATA);
        LocalFree(sid);
    }
    LocalFree(descriptor);
    return readable;
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
                       command.c_str(), nullptr, nullptr, nullptr, kAccount, nullptr);
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
    std::vector<std::filesystem::path> dirs{std::filesystem::path(config).parent_path()};
    if (!options.data.empty()) dirs.push_back(std::filesystem::absolute(wide(options.data), error));
    const std::wstring sid = accountSid();
    for (const auto& dir : dirs) {
        if (sid.empty() || !keepPrivate(dir, sid))
            std::fprintf(stderr,
                         "velko serve: warning: cannot limit %ls to SYSTEM, Administrators and "
                         "the service (Windows error %lu); its secrets stay as readable as the "
                         "folder's permissions make them\n",
                         dir.c_str(), GetLastError());
    }
    std::printf(
        "velko serve: installed as the service \"velko\" (starts with Windows, runs as "
        "NT SERVICE\\velko); start it now with: sc start velko\n");
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
    if (othersMayRead(wide(options.config)))
        std::fprintf(http::errors(),
                     "velko serve: warning: every local user may read %s and the secrets in it; "
                     "reinstall the service (--install-service) to limit its folder\n",
                     options.config.c_str());
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kName), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return failed("--windows-service is for the service manager; run without it");
    return serviceExit;
}

}  // namespace velko::serve
