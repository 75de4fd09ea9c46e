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
#include "http/tokens.h"

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

std::string narrow(const std::wstring& text) {
    if (text.empty()) return "";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

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
// Its ACL is read entry by entry, as Windows checks access: a denial before a grant wins, and
// an entry that only passes on to what the folder holds does not count. Every local user is
// in Everyone, Authenticated Users and Users, so an entry for any of them is one for all.
bool othersMayRead(const std::wstring& file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    BYTE groups[3][SECURITY_MAX_SID_SIZE];
    const WELL_KNOWN_SID_TYPE types[3] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid};
    for (int g = 0; g < 3; ++g) {
        DWORD size = sizeof groups[g];
        CreateWellKnownSid(types[g], nullptr, groups[g], &size);
    }
    const ACCESS_MASK reading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    bool readable = dacl == nullptr;  // no DACL: everyone may do everything
    bool denied = false;
    for (DWORD i = 0; dacl && !readable && !denied && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        // An allowing and a denying entry are laid out alike: header, rights, SID.
        const auto* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if (!(entry->Mask & reading)) continue;
        PSID sid = const_cast<DWORD*>(&entry->SidStart);
        for (auto& group : groups) {
            if (!EqualSid(sid, group)) continue;
            (ace->AceType == ACCESS_DENIED_ACE_TYPE ? denied : readable) = true;
            break;
        }
    }
    LocalFree(descriptor);
    return readable;
}

// TEXT as a TOML basic string.
std::string tomlString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// What a service whose configuration does not exist yet writes there: the service cannot start
// without the shop's devices, so they are left for the administrator to name; the token's
// secret is this computer's own, and the data is kept beside the configuration.
std::string exampleConfiguration(const std::filesystem::path& folder) {
    std::string text =
        R"(# velko serve, the Windows service "velko". SERVICE.md in the documentation describes every
# key. Name the shop's devices below, then start the service (as an administrator):
#     sc start velko
# After a change: sc stop velko, then sc start velko. What the service says goes to
# velko.toml.log beside this file.

listen = "127.0.0.1:8640"        # this computer only; the Start menu's "Velko staff page" opens it
data = @DATA@  # the job log velko.db and the reports

# Every request but the health check, the API description and the page's own files needs this
# secret ("Authorization: Bearer SECRET"; the staff page asks for it), made for this computer.
# Only SYSTEM, Administrators and the service may read this folder: keep it so.
[[token]]
name = "office"
secret = "@SECRET@"
role = "operate"                 # "operate" may change devices, "read" only looks

# The service does not start until a device is named. `velko scan` (with the service stopped,
# so that the two do not share a line) tells which device number and rate answer on which line.
# [[device]]
# name = "till-1"                # letters, digits, '-' and '_'
# line = "COM3"                  # a COM port, or tcp://HOST:PORT for a serial device server
# number = 1                     # the device number set on the device
# baud = 9600
# group = "front"                # optional

# Close the day on a schedule: save each device's report, then zero its counters.
# [[close_day]]
# at = "22:30"                   # local time
# devices = ["front"]            # device names or groups

# Report to the chain's head office through its MQTT broker (mqtt:// only: reach it through a
# VPN or a TLS tunnel). The broker's login is this shop's store name.
# [head_office]
# broker = "mqtt://broker.example.com:1883"
# store = "shop-17"
# username = "shop-17"
# password = "..."
)";
    text.replace(text.find("@SECRET@"), 8, http::newSecret());
    text.replace(text.find("@DATA@"), 6, tomlString(narrow(folder.wstring())));
    // Windows' own line ends, for Notepad and for whoever edits it.
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// The first start of a service installed before its configuration exists (the Windows
// installer leaves %ProgramData%\velko to the service, so that nothing of it is the
// installer's to replace or remove): the folder is made the service's, SYSTEM's and the
// administrators' alone before anything secret is in it, and the example is written. The
// service made the folder, so it owns it and may set its permissions; the installer could not,
// as the account does not exist before the service does. What happened is said in `said`,
// for the log that is not open yet.
void firstStart(const std::filesystem::path& config, std::string& said) {
    std::error_code error;
    if (std::filesystem::exists(config, error)) return;
    const std::filesystem::path folder = config.parent_path();
    std::filesystem::create_directories(folder, error);
    const std::wstring sid = accountSid();
    if (sid.empty() || !keepPrivate(folder, sid)) {
        char line[512];
        std::snprintf(line, sizeof line,
                      "velko serve: warning: cannot limit %s to SYSTEM, Administrators and "
                      "the service (Windows error %lu)\n",
                      narrow(folder.wstring()).c_str(), GetLastError());
        said += line;
    }
    // CREATE_NEW: a configuration that appeared meanwhile is never overwritten.
    HANDLE file = CreateFileW(config.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = exampleConfiguration(folder);
    DWORD written = 0;
    const bool done = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
                      written == text.size();
    CloseHandle(file);
    if (!done) {
        DeleteFileW(config.c_str());
        return;
    }
    said += "velko serve: wrote an example configuration to " + narrow(config.wstring()) +
            ": name the shop's devices in it, then start the service again (sc start velko)\n";
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
    std::string said;
    firstStart(std::filesystem::path(wide(options.config)), said);
    // A service has no console: what it would say goes to a log beside its configuration
    // (whose name the installation made absolute).
    const std::wstring log = wide(options.config) + L".log";
    if (FILE* out = _wfopen(log.c_str(), L"a")) {
        setvbuf(out, nullptr, _IONBF, 0);
        http::sayInto(out);
    }
    std::fputs(said.c_str(), http::errors());
    // Checked at every start: the folder's permissions may have been widened since, or set by
    // someone else before the service ever ran.
    if (othersMayRead(wide(options.config))) {
        const std::string folder =
            narrow(std::filesystem::path(wide(options.config)).parent_path().wstring());
        std::fprintf(http::errors(),
                     "velko serve: warning: every local user may read %s and the secrets in it; "
                     "limit its folder to SYSTEM, Administrators and the service: icacls \"%s\" "
                     "/inheritance:r /grant:r SYSTEM:(OI)(CI)F Administrators:(OI)(CI)F "
                     "\"NT SERVICE\\velko\":(OI)(CI)M\n",
                     options.config.c_str(), folder.c_str());
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kName), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return failed("--windows-service is for the service manager; run without it");
    return serviceExit;
}

}  // namespace velko::serve
