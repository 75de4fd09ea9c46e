// A Windows host for the DLL's tests: loads VELKO_DLL.dll as an application would, resolves
// the exports by ordinal and by name, runs one scenario and prints what happened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../common/article_scenario.h"
#include "velko/velko.h"

namespace {

HMODULE dll;
int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

template <class F>
F resolve(WORD ordinal, const char* name) {
    FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
    FARPROC byName = GetProcAddress(dll, name);
    char what[128];
    std::snprintf(what, sizeof what, "%s resolves by ordinal %u and by name to one function", name,
                  unsigned(ordinal));
    check(byOrdinal != nullptr && byOrdinal == byName, what);
    return reinterpret_cast<F>(reinterpret_cast<void*>(byOrdinal));
}

void expectResult(int32_t got, int32_t want, const char* what) {
    char line[160];
    std::snprintf(line, sizeof line, "%s returns %d (want %d)", what, int(got), int(want));
    check(got == want, line);
}

int zeroScenario() {
    auto zero =
        resolve<int32_t(VELKO_CALL*)(int32_t, uint32_t, uint32_t)>(4, "VELKOZeroPLUCounters");
    if (!zero) return 1;
    expectResult(zero(0, 9600, 1), VELKO_ERR_PORT, "port 0");
    expectResult(zero(1, 9600, 356), VELKO_ERR_ADDRESS, "device 356 (low byte 100)");
    expectResult(zero(1, 9600, 1), VELKO_OK, "zeroing the counters of device 1 on COM1");
    // The port was closed: the next call opens it again.
    expectResult(zero(1, 9600, 257), VELKO_OK, "again, device 257 (low byte 1)");
    expectResult(zero(2, 9600, 1), VELKO_ERR_OPEN, "COM2, which does not exist");
    return 0;
}

// The counter reset against a device that misbehaves: `want` is the code it must end with.
int faultScenario(int32_t want) {
    auto zero =
        resolve<int32_t(VELKO_CALL*)(int32_t, uint32_t, uint32_t)>(4, "VELKOZeroPLUCounters");
    if (!zero) return 1;
    expectResult(zero(1, 9600, 1), want, "zeroing the counters of a faulty device");
    return 0;
}

// The extended API by ordinal and name: handles on COM names in both forms, an upload with
// counts and progress, a download, and a port that does not exist.
int32_t VELKO_CALL supplyTwo(void* context, int32_t index, ArticleRecord* record) {
    if (index >= 2) return 0;
    std::memset(record, 0, sizeof *record);
    std::snprintf(record->code, sizeof record->code, "%d", 700 + index);
    std::snprintf(record->name, sizeof record->name,
                  "\xA3\xD3"
                  "D\x8F %d",
                  index);  // ŁÓDŹ
    record->price = 100 * (index + 1);
    ++*static_cast<int*>(context);
    return 1;
}
int32_t VELKO_CALL countArticle(void* context, int32_t, const ArticleRecord*) {
    ++*static_cast<int*>(context);
    return 1;
}

int extendedScenario() {
    auto open = resolve<VelkoLine*(VELKO_CALL*)(const char*)>(5, "VELKOLineOpen");
    auto close = resolve<void(VELKO_CALL*)(VelkoLine*)>(6, "VELKOLineClose");
    auto trace = resolve<int32_t(VELKO_CALL*)(VelkoLine*, const char*)>(7, "VELKOLineSetTrace");
    auto send = resolve<decltype(&VELKOLineSendArticles)>(8, "VELKOLineSendArticles");
    auto receive = resolve<decltype(&VELKOLineReceiveArticles)>(9, "VELKOLineReceiveArticles");
    resolve<decltype(&VELKOLineDeleteArticles)>(10, "VELKOLineDeleteArticles");
    resolve<decltype(&VELKOLineDeleteArticlesEx)>(17, "VELKOLineDeleteArticlesEx");
    auto zero = resolve<decltype(&VELKOLineZeroPLUCounters)>(11, "VELKOLineZeroPLUCounters");
    auto message = resolve<decltype(&VELKOResultMessage)>(12, "VELKOResultMessage");
    auto failure = resolve<decltype(&VELKOLineFailure)>(13, "VELKOLineFailure");
    auto checkArticle = resolve<decltype(&VELKOCheckArticle)>(14, "VELKOCheckArticle");
    auto version = resolve<decltype(&VELKOVersion)>(15, "VELKOVersion");
    if (!open || !close || !trace || !send || !receive || !zero || !message || !failure ||
        !checkArticle || !version)
        return 1;
    check(std::strcmp(version(), VELKO_VERSION_STRING) == 0, "VELKOVersion is the header's");
    ArticleRecord polish{};
    std::strcpy(polish.code, "42");
    std::strcpy(polish.name, "KAWA (250G)");
    char reason[128];
    expectResult(checkArticle(&polish, reason, sizeof reason), VELKO_ERR_FORMAT,
                 "a name with '(' is refused before it is sent");

    VelkoLine* com1 = open("COM1");
    VelkoLine* device = open("\\\\.\\COM1");
    VelkoLine* com2 = open("COM2");
    expectResult(zero(com1, 9600, 1), VELKO_OK, "zeroing the counters through a handle on COM1");
    expectResult(zero(device, 9600, 1), VELKO_OK, "the same through \\\\.\\COM1");
    expectResult(zero(com2, 9600, 1), VELKO_ERR_OPEN, "COM2, which does not exist");
    char detail[256];
    expectResult(failure(com2, detail, sizeof detail), VELKO_ERR_OPEN,
                 "the failure of the last call, in words");
    int supplied = 0, consumed = 0;
    VelkoCounts counts;
    expectResult(
        send(com1, 9600, 1, VELKO_SKIP_SECOND_PREPARATION, supplyTwo, &supplied, nullptr, &counts),
        VELKO_OK, "an upload of two articles");
    check(counts.accepted == 2 && counts.refused == 0 && supplied == 2, "two accepted");
    expectResult(receive(com1, 9600, 1, countArticle, &consumed, nullptr, &counts), VELKO_OK,
                 "a download");
    check(counts.received == consumed && consumed >= 2, "the download counts what it handed over");
    check(std::strncmp(message(VELKO_ERR_READ), "VELKO_ERR_READ: ", 16) == 0,
          "result messages name the code");
    close(com1);
    close(device);
    close(com2);
    return 0;
}

int articleScenario() {
    velko::test::LibraryFunctions f;
    f.deleteArticles = resolve<decltype(f.deleteArticles)>(1, "VELKODeleteArticles");
    f.receiveArticles = resolve<decltype(f.receiveArticles)>(2, "VELKOReceiveArticles");
    f.sendArticles = resolve<decltype(f.sendArticles)>(3, "VELKOSendArticles");
    f.zeroCounters = resolve<decltype(f.zeroCounters)>(4, "VELKOZeroPLUCounters");
    if (!f.deleteArticles || !f.receiveArticles || !f.sendArticles || !f.zeroCounters) return 1;
    velko::test::runArticleScenario(f, check);
    return 0;
}

int versionScenario() {
    char path[MAX_PATH];
    GetModuleFileNameA(dll, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    std::string data(size, '\0');
    if (!size || !GetFileVersionInfoA(path, 0, size, &data[0])) {
        check(false, "the DLL has a version resource");
        return 1;
    }
    struct {
        WORD language;
        WORD codePage;
    } * translation;
    UINT len = 0;
    VerQueryValueA(&data[0], "\\VarFileInfo\\Translation", (void**)&translation, &len);
    check(len >= 4 && translation->language == 0x0415 && translation->codePage == 1200,
          "language Polish (0x0415), code page 1200");
    VS_FIXEDFILEINFO* fixed = nullptr;
    VerQueryValueA(&data[0], "\\", (void**)&fixed, &len);
    // The resource repeats the header's version, the project's one version.
    const DWORD major = VELKO_VERSION_MAJOR << 16 | VELKO_VERSION_MINOR;
    const DWORD minor = DWORD(VELKO_VERSION_PATCH) << 16;
    check(fixed && fixed->dwFileVersionMS == major && fixed->dwFileVersionLS == minor &&
              fixed->dwProductVersionMS == major && fixed->dwProductVersionLS == minor,
          "file and product version " VELKO_VERSION_STRING ".0, as the header's");
    const char* const expected[][2] = {
        {"FileDescription", "VELKO_DL Dynamic Link Library"},
        {"FileVersion", "1, 9, 0, 0"},
        {"InternalName", "VELKO_DL"},
        {"OriginalFilename", "VELKO_DL.dll"},
        {"ProductName", " VELKO_DL Dynamic Link Library"},
        {"ProductVersion", "1, 9, 0, 0"},
    };
    for (const auto& e : expected) {
        std::string key = std::string("\\StringFileInfo\\041504b0\\") + e[0];
        char* value = nullptr;
        len = 0;
        VerQueryValueA(&data[0], key.c_str(), (void**)&value, &len);
        std::string line = std::string(e[0]) + " is \"" + e[1] + "\"";
        if (value) line += std::string(" (found \"") + value + "\")";
        check(value && std::strcmp(value, e[1]) == 0, line.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: velko_host zero|articles|version|extended|fault-CODE\n");
        return 2;
    }
    dll = LoadLibraryA("VELKO_DLL.dll");
    check(dll != nullptr, "LoadLibrary VELKO_DLL.dll");
    if (!dll) return 1;
    const std::string scenario = argv[1];
    int rc = 2;
    if (scenario == "zero") rc = zeroScenario();
    if (scenario == "version") rc = versionScenario();
    if (scenario == "articles") rc = articleScenario();
    if (scenario == "extended") rc = extendedScenario();
    if (scenario.compare(0, 6, "fault-") == 0) rc = faultScenario(std::atoi(scenario.c_str() + 6));
    FreeLibrary(dll);
    std::printf("%d failed\n", failures);
    return rc != 0 || failures != 0 ? 1 : 0;
}
