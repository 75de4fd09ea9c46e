/* A host built the way a Visual Studio C project builds one: compiled in clang-cl mode and linked
   by lld-link against VELKO_DLL.lib (on x86 under /SAFESEH), with no C runtime at all. Every export
   is called by name through the import library, never looked up at run time, so a symbol the
   library lacks fails the link and a name the DLL lacks fails the load. Run under Wine with COM1
   on a simulated device that starts empty; prints one line per check and exits with 1 if any
   failed. */
#include "velko/velko.h"

/* No Windows SDK: the three kernel32 calls the host needs, declared as the SDK declares them. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

/* The compiler may turn a record copy or a cleared buffer into these calls; without a C runtime
   they are the host's own. */
void* __cdecl memset(void* to, int value, size_t size);
void* __cdecl memcpy(void* to, const void* from, size_t size);
void* __cdecl memset(void* to, int value, size_t size) {
    volatile unsigned char* p = (volatile unsigned char*)to;
    while (size--) *p++ = (unsigned char)value;
    return to;
}
void* __cdecl memcpy(void* to, const void* from, size_t size) {
    volatile unsigned char* p = (volatile unsigned char*)to;
    const unsigned char* q = (const unsigned char*)from;
    while (size--) *p++ = *q++;
    return to;
}

static int failures;

static size_t length(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

static void say(const char* text) {
    unsigned long written = 0;
    WriteFile(GetStdHandle((unsigned long)-11 /* STD_OUTPUT_HANDLE */), text,
              (unsigned long)length(text), &written, 0);
}

static void sayNumber(long value) {
    char digits[16];
    char* p = digits + sizeof digits;
    unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
    *--p = '\0';
    do {
        *--p = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    say(p);
}

static void check(int ok, const char* what) {
    say(ok ? "ok: " : "FAILED: ");
    say(what);
    say("\r\n");
    if (!ok) ++failures;
}

static void expectResult(int32_t got, int32_t want, const char* what) {
    say(got == want ? "ok: " : "FAILED: ");
    say(what);
    say(" returns ");
    sayNumber(got);
    if (got != want) {
        say(", not ");
        sayNumber(want);
        ++failures;
    }
    say("\r\n");
}

static int startsWith(const char* text, const char* prefix) {
    while (*prefix)
        if (*text++ != *prefix++) return 0;
    return 1;
}

static int contains(const char* text, const char* part) {
    for (; *text; ++text)
        if (startsWith(text, part)) return 1;
    return 0;
}

static void fill(ArticleRecord* r, const char* code, const char* name, int32_t price, uint8_t flag,
                 int8_t group) {
    size_t i;
    memset(r, 0, sizeof *r);
    for (i = 0; code[i]; ++i) r->code[i] = code[i];
    for (i = 0; name[i]; ++i) r->name[i] = name[i];
    r->price = price;
    r->flag = flag;
    r->group = group;
}

/* Three articles as the device gives them back: 14-digit codes, upper-case Windows-1250 names
   ("ŁÓDŹ KOŃ", "ĆMA ĘŚ", "ŻÓŁW PĄCZEK"), flags of 0 or 1, counters at zero, in the order the
   device lists them, by code; so the download must equal the upload byte for byte. */
static ArticleRecord articles[3];

static void makeArticles(void) {
    fill(&articles[0], "00000000001234", "\xA3\xD3\x44\x8F KO\xD1", -1999, 0, -1);
    fill(&articles[1], "12345678901234", "\xC6MA \xCA\x8C", 2147483647, 1, 127);
    fill(&articles[2], "59000010000170", "\xAF\xD3\xA3W P\xA5\x43ZEK", 450, 1, 4);
}

/* Byte for byte, but for the name bytes after its NUL, which carry no meaning. */
static int same(const ArticleRecord* a, const ArticleRecord* b) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    const size_t nameEnd = offsetof(ArticleRecord, name) + length(a->name) + 1;
    size_t i;
    for (i = 0; i < sizeof *a; ++i)
        if ((i < nameEnd || i >= offsetof(ArticleRecord, price)) && x[i] != y[i]) return 0;
    return 1;
}

static int32_t VELKO_CALL supplyArticles(const char* sessionText, int32_t index,
                                         ArticleRecord* record, uint32_t userValue) {
    (void)sessionText;
    if (userValue != 0x1250 || index < 0 || index >= 3) return 0;
    *record = articles[index];
    return 1;
}

static void sayBytes(const ArticleRecord* r) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char* p = (const unsigned char*)r;
    char text[3 * sizeof *r + 3];
    size_t i;
    for (i = 0; i < sizeof *r; ++i) {
        text[3 * i] = ' ';
        text[3 * i + 1] = hex[p[i] >> 4];
        text[3 * i + 2] = hex[p[i] & 15];
    }
    text[3 * sizeof *r] = '\r';
    text[3 * sizeof *r + 1] = '\n';
    text[3 * sizeof *r + 2] = '\0';
    say(text);
}

static ArticleRecord received[4];
static int receivedCount;

static int keep(int32_t index, const ArticleRecord* record) {
    if (index != receivedCount || receivedCount >= 4) return 0;
    received[receivedCount++] = *record;
    return 1;
}

static int32_t VELKO_CALL consumeArticle(const char* sessionText, int32_t index,
                                         ArticleRecord* record, uint32_t userValue) {
    (void)sessionText;
    return userValue == 7 && keep(index, record);
}

static int32_t VELKO_CALL consumeOnLine(void* context, int32_t index, const ArticleRecord* record) {
    return context == (void*)&receivedCount && keep(index, record);
}

/* The extended deletion names the first two codes, the classic one the third. */
static int32_t VELKO_CALL supplyTwoCodes(void* context, int32_t index, ArticleRecord* record) {
    (void)context;
    if (index < 0 || index >= 2) return 0;
    *record = articles[index];
    return 1;
}

static int32_t VELKO_CALL supplyThirdCode(const char* sessionText, int32_t index,
                                          ArticleRecord* record, uint32_t userValue) {
    (void)sessionText;
    (void)userValue;
    if (index != 0) return 0;
    *record = articles[2];
    return 1;
}

/* An article the device cannot take: its name holds ';'. */
static int32_t VELKO_CALL supplyRefused(void* context, int32_t index, ArticleRecord* record) {
    (void)context;
    if (index != 0) return 0;
    fill(record, "77", "KAWA;MLEKO", 100, 0, 0);
    return 1;
}

static int progressCalls;
static void VELKO_CALL countProgress(void* context, int32_t done) {
    (void)context;
    (void)done;
    ++progressCalls;
}

static void withoutADevice(void) {
    ArticleRecord bad;
    char reason[128];
    char detail[256];
    VelkoLine* com2;

    check(startsWith(VELKOVersion(), VELKO_VERSION_STRING) &&
              length(VELKOVersion()) == length(VELKO_VERSION_STRING),
          "VELKOVersion() is the header's " VELKO_VERSION_STRING);
    check(startsWith(VELKOResultMessage(VELKO_ERR_OPEN), "VELKO_ERR_OPEN"),
          "VELKOResultMessage names the code");
    expectResult(VELKOCheckArticle(&articles[0], reason, sizeof reason), VELKO_OK,
                 "VELKOCheckArticle on a Polish name");
    fill(&bad, "42", "KAWA (250G)", 100, 0, 0);
    reason[0] = '\0';
    expectResult(VELKOCheckArticle(&bad, reason, sizeof reason), VELKO_ERR_FORMAT,
                 "VELKOCheckArticle on a name with '('");
    check(reason[0] != '\0', "and says why");
    expectResult(VELKOLineSetTrace(0, 0), VELKO_ERR_HANDLE, "VELKOLineSetTrace on no handle");

    expectResult(VELKOZeroPLUCounters(2, 9600, 1), VELKO_ERR_OPEN,
                 "VELKOZeroPLUCounters on COM2, which does not exist");
    com2 = VELKOLineOpen("COM2");
    check(com2 != 0, "VELKOLineOpen(\"COM2\") gives a handle");
    expectResult(VELKOLineCancel(com2), VELKO_OK, "VELKOLineCancel with no call running");
    expectResult(VELKOLineZeroPLUCounters(com2, 9600, 1), VELKO_ERR_OPEN,
                 "VELKOLineZeroPLUCounters on COM2, not cancelled by the cancel before it");
    detail[0] = '\0';
    expectResult(VELKOLineFailure(com2, detail, sizeof detail), VELKO_ERR_OPEN, "VELKOLineFailure");
    say("   COM2: ");
    say(detail);
    say("\r\n");
    check(contains(detail, "COM2"), "the failure names the port");
    VELKOLineClose(com2);
    expectResult(VELKOLineCancel(com2), VELKO_ERR_HANDLE, "VELKOLineCancel on a closed handle");
}

static void throughCom1(void) {
    VelkoLine* com1 = VELKOLineOpen("COM1");
    VelkoCounts counts;
    char detail[256];
    int i;

    expectResult(VELKOSendArticles(1, 9600, 0, 1, supplyArticles, 0x1250), VELKO_OK,
                 "VELKOSendArticles of three articles through COM1");

    receivedCount = 0;
    expectResult(VELKOLineReceiveArticles(com1, 9600, 1, consumeOnLine, &receivedCount,
                                          countProgress, &counts),
                 VELKO_OK, "VELKOLineReceiveArticles through COM1");
    check(receivedCount == 3 && counts.received == 3, "three articles came back");
    for (i = 0; i < receivedCount && i < 3; ++i) {
        check(same(&received[i], &articles[i]), "an article came back byte for byte");
        if (!same(&received[i], &articles[i])) {
            say("   sent:");
            sayBytes(&articles[i]);
            say("   got: ");
            sayBytes(&received[i]);
        }
    }

    progressCalls = 0;
    expectResult(VELKOLineDeleteArticles(com1, 9600, 1, supplyTwoCodes, 0, countProgress, &counts),
                 VELKO_OK, "VELKOLineDeleteArticles of two codes");
    check(counts.deleted == 2 && progressCalls == 2, "two deleted, progress told twice");
    expectResult(VELKOLineDeleteArticlesEx(com1, 9600, 1, VELKO_CONTINUE_ON_REFUSAL, supplyTwoCodes,
                                           0, 0, &counts),
                 VELKO_OK, "VELKOLineDeleteArticlesEx of the two, gone already, going on");
    check(counts.deleted == 0 && counts.refused == 2, "both refused by the device, counted");
    expectResult(VELKODeleteArticles(1, 9600, 1, supplyThirdCode, 0), VELKO_OK,
                 "VELKODeleteArticles of the third");

    expectResult(VELKOLineSendArticles(com1, 9600, 1, VELKO_SKIP_SECOND_PREPARATION, supplyRefused,
                                       0, 0, &counts),
                 VELKO_ERR_FORMAT, "VELKOLineSendArticles of a name with ';'");
    check(counts.refused == 1 && counts.accepted == 0, "refused before it was sent");
    detail[0] = '\0';
    expectResult(VELKOLineFailure(com1, detail, sizeof detail), VELKO_ERR_FORMAT,
                 "VELKOLineFailure after it");

    receivedCount = 0;
    expectResult(VELKOReceiveArticles(1, 9600, 1, consumeArticle, 7), VELKO_OK,
                 "VELKOReceiveArticles through COM1");
    check(receivedCount == 0, "the device holds no article");
    expectResult(VELKOZeroPLUCounters(1, 9600, 1), VELKO_OK, "VELKOZeroPLUCounters on COM1");
    VELKOLineClose(com1);
}

void __cdecl start(void) {
    makeArticles();
    withoutADevice();
    throughCom1();
    say(failures ? "FAILED\r\n" : "all passed\r\n");
    ExitProcess(failures ? 1 : 0);
}
