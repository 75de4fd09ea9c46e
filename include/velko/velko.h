/* VELKO_DLL: article exchange with a VELKO retail device on a serial port. */
#ifndef VELKO_VELKO_H
#define VELKO_VELKO_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header; VELKOVersion() tells the version of the library loaded. The one
   place the project's version is set: the build, the packages and the bindings take it from
   here. */
#define VELKO_VERSION_MAJOR 1
#define VELKO_VERSION_MINOR 9
#define VELKO_VERSION_PATCH 0
#define VELKO_VERSION_STRING "1.9.0"

#if defined(_WIN32)
#define VELKO_CALL __cdecl
#define VELKO_API
#elif defined(__GNUC__)
#define VELKO_CALL
#define VELKO_API __attribute__((visibility("default")))
#else
#define VELKO_CALL
#define VELKO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: every export returns one of these; 0 is success. */
enum {
    VELKO_OK = 0,          /* success */
    VELKO_ERR_ABORT = 1,   /* the consumer stopped a download, or VELKOLineCancel a call */
    VELKO_ERR_OPEN = 2,    /* the port could not be opened or set up, or the library is busy */
    VELKO_ERR_SEND = 3,    /* a write failed or a frame was never acknowledged */
    VELKO_ERR_READ = 4,    /* a read failed or timed out, or the device refused the request */
    VELKO_ERR_FORMAT = 5,  /* a malformed frame or reply, or a malformed request: a missing
                              callback, an article the device cannot take as it stands */
    VELKO_ERR_CRC = 6,     /* a received frame failed its CRC check */
    VELKO_ERR_PORT = 7,    /* port number outside 1..2 */
    VELKO_ERR_ADDRESS = 8, /* device number above 99 */
    VELKO_ERR_HANDLE = 9   /* extended API: the handle is not open (null, closed or unknown) */
};

#pragma pack(push, 1)
/* One article as it crosses the library boundary: 48 bytes, packed, little-endian. */
typedef struct ArticleRecord {
    char code[15];           /* up to 14 characters and a NUL; a download gives 14 digits */
    char name[19];           /* up to 18 Windows-1250 characters and a NUL */
    int32_t price;           /* hundredths */
    uint8_t flag;            /* 0 or 1; any non-zero value uploads as 1 */
    int8_t group;            /* device group number minus 1 */
    int32_t quantityCounter; /* thousandths */
    int32_t valueCounter;    /* hundredths */
} ArticleRecord;
#pragma pack(pop)

/* The layout is part of the interface: checked by every compiler, C89 and C++98 included
   (where a failed check is an array of negative size). */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define VELKO_STATIC_ASSERT(check, name) static_assert(check, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VELKO_STATIC_ASSERT(check, name) _Static_assert(check, #name)
#else
#define VELKO_STATIC_ASSERT(check, name) typedef char velko_check_##name[(check) ? 1 : -1]
#endif
VELKO_STATIC_ASSERT(sizeof(ArticleRecord) == 48, record_is_48_bytes);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, code) == 0, code_at_0);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, name) == 15, name_at_15);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, price) == 34, price_at_34);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, flag) == 38, flag_at_38);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, group) == 39, group_at_39);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, quantityCounter) == 40, quantity_at_40);
VELKO_STATIC_ASSERT(offsetof(ArticleRecord, valueCounter) == 44, value_at_44);
#undef VELKO_STATIC_ASSERT

/* Fills *record with the next article (or names the next code to delete); returns 1 while it
   supplied one, anything else to end the list. */
typedef int32_t(VELKO_CALL* ArticleSupplier)(const char* sessionText, int32_t index,
                                             ArticleRecord* record, uint32_t userValue);

/* Receives one downloaded article, valid only during the call; returns 1 to ask for the next. */
typedef int32_t(VELKO_CALL* ArticleConsumer)(const char* sessionText, int32_t index,
                                             ArticleRecord* record, uint32_t userValue);

/* Deletes from the device every code that supplier names. A null supplier: VELKO_ERR_FORMAT. */
VELKO_API int32_t VELKO_CALL VELKODeleteArticles(int32_t port, uint32_t baud, uint32_t deviceNumber,
                                                 ArticleSupplier supplier, uint32_t userValue);

/* Downloads every article with its two counters into consumer. A null consumer:
   VELKO_ERR_FORMAT. */
VELKO_API int32_t VELKO_CALL VELKOReceiveArticles(int32_t port, uint32_t baud,
                                                  uint32_t deviceNumber, ArticleConsumer consumer,
                                                  uint32_t userValue);

/* Uploads every article that supplier gives, stopping at the first refusal; a non-zero low byte
   of skipSecondPreparation leaves out the second preparatory command. A null supplier:
   VELKO_ERR_FORMAT. Names go out as given: a host may write the device's own characters for
   the Polish letters ('(' for Ę, and so on) on purpose. The extended upload checks every
   article first (VELKOCheckArticle). */
VELKO_API int32_t VELKO_CALL VELKOSendArticles(int32_t port, uint32_t baud,
                                               uint32_t skipSecondPreparation,
                                               uint32_t deviceNumber, ArticleSupplier supplier,
                                               uint32_t userValue);

/* Zeroes the device's PLU counters. */
VELKO_API int32_t VELKO_CALL VELKOZeroPLUCounters(int32_t port, uint32_t baud,
                                                  uint32_t deviceNumber);

/* ---- The extended API: a handle per line, any line, options, counts and progress. ----
   Each handle has a link of its own, so two lines run at once from two threads. One handle runs
   one call at a time: any call on it while another runs (from a callback or another thread),
   VELKOLineSetTrace included, is refused at once with VELKO_ERR_OPEN and changes nothing. A
   handle that is null, closed or was never handed out gives VELKO_ERR_HANDLE; the library never
   touches memory through it. The four functions above keep their own single link and behave as
   before. */

typedef struct VelkoLine VelkoLine;

/* Upload options, or-ed together; a deletion takes the first. */
enum {
    VELKO_CONTINUE_ON_REFUSAL = 1,    /* go on after an article refused (by the device or by
                                         the checks of VELKOCheckArticle) */
    VELKO_SKIP_FIRST_PREPARATION = 2, /* leave out "W38;1;1;" */
    VELKO_SKIP_SECOND_PREPARATION = 4 /* leave out "W38;2;1;" */
};

/* What a call did; every count is set to 0 before anything else. */
typedef struct VelkoCounts {
    int32_t accepted; /* upload: articles the device stored */
    int32_t refused;  /* upload, deletion going on: refused by the device or before sending */
    int32_t received; /* download: articles handed to the consumer */
    int32_t deleted;  /* deletion: codes the device deleted */
} VelkoCounts;

/* Callbacks of the extended API carry a pointer of the caller's, whatever the host's word size.
   A supplier fills *record and returns 1 while it has an article; a consumer returns 1 to ask
   for the next article. */
typedef int32_t(VELKO_CALL* VelkoSupplier)(void* context, int32_t index, ArticleRecord* record);
typedef int32_t(VELKO_CALL* VelkoConsumer)(void* context, int32_t index,
                                           const ArticleRecord* record);
/* Told after every article the device answered or the checks refused: how many so far. */
typedef void(VELKO_CALL* VelkoProgress)(void* context, int32_t done);

/* A handle on a line: a device path ("/dev/ttyUSB0"), a COM name ("COM3", "\\.\COM10") or
   "tcp://HOST:PORT" for a serial device server. Nothing is opened until a call runs;
   null for a null or empty name. */
VELKO_API VelkoLine* VELKO_CALL VELKOLineOpen(const char* line);
/* Ends the handle: later calls with it give VELKO_ERR_HANDLE, a second close does nothing. A
   call that runs on it meanwhile ends first; the handle's memory goes with it. */
VELKO_API void VELKO_CALL VELKOLineClose(VelkoLine* line);
/* Appends a time-stamped trace of every step of the handle's calls to `file`; null or ""
   stops it. VELKO_ERR_FORMAT for a name over 128 characters, VELKO_ERR_OPEN while a call runs
   on the handle or when the file cannot be opened for writing. */
VELKO_API int32_t VELKO_CALL VELKOLineSetTrace(VelkoLine* line, const char* file);

/* The jobs, as the four functions above but on the handle's line, with a device number of 0 to
   99 (not its low byte), options, counts (may be null) and progress (may be null). A null
   supplier or consumer is VELKO_ERR_FORMAT.
   The upload checks every article before sending it, as VELKOCheckArticle does, and also
   refuses a code that came earlier in the same list: such an article is counted as refused and
   never sent; the upload then goes on (VELKO_CONTINUE_ON_REFUSAL) or ends the session and
   returns VELKO_ERR_FORMAT. The deletion ends the same way at a code that is not 1 to 14
   digits, and at a code the device refuses (VELKO_ERR_READ), unless VELKOLineDeleteArticlesEx
   was given VELKO_CONTINUE_ON_REFUSAL: then both are counted as refused and it goes on. */
VELKO_API int32_t VELKO_CALL VELKOLineSendArticles(VelkoLine* line, uint32_t baud,
                                                   uint32_t deviceNumber, uint32_t options,
                                                   VelkoSupplier supplier, void* context,
                                                   VelkoProgress progress, VelkoCounts* counts);
VELKO_API int32_t VELKO_CALL VELKOLineReceiveArticles(VelkoLine* line, uint32_t baud,
                                                      uint32_t deviceNumber, VelkoConsumer consumer,
                                                      void* context, VelkoProgress progress,
                                                      VelkoCounts* counts);
VELKO_API int32_t VELKO_CALL VELKOLineDeleteArticles(VelkoLine* line, uint32_t baud,
                                                     uint32_t deviceNumber, VelkoSupplier supplier,
                                                     void* context, VelkoProgress progress,
                                                     VelkoCounts* counts);
VELKO_API int32_t VELKO_CALL VELKOLineDeleteArticlesEx(VelkoLine* line, uint32_t baud,
                                                       uint32_t deviceNumber, uint32_t options,
                                                       VelkoSupplier supplier, void* context,
                                                       VelkoProgress progress, VelkoCounts* counts);
VELKO_API int32_t VELKO_CALL VELKOLineZeroPLUCounters(VelkoLine* line, uint32_t baud,
                                                      uint32_t deviceNumber);

/* Asks the call running on the handle to stop at the next article, from any thread (a
   program's Cancel button, say): the device's session is ended as it should be, and the call
   returns VELKO_ERR_ABORT with its counts; what was done before stays done. A counter reset,
   one request, runs to its end. Returns VELKO_OK, also when no call runs (there is nothing to
   stop, and the next call is not affected), or VELKO_ERR_HANDLE for a handle that is not
   open. */
VELKO_API int32_t VELKO_CALL VELKOLineCancel(VelkoLine* line);

/* The outcome of the handle's last call in words, into `text` (`size` bytes, cut to fit and
   always terminated): which argument or article and field was wrong, what the device answered,
   why the line would not open. Empty after a call that succeeded. Returns that call's result
   code, or VELKO_ERR_HANDLE for a handle that is not open. A call refused because another ran
   leaves the outcome of the other. */
VELKO_API int32_t VELKO_CALL VELKOLineFailure(VelkoLine* line, char* text, uint32_t size);

/* Whether the device can take `record` as it stands: VELKO_OK, or VELKO_ERR_FORMAT with the
   reason in `reason` (`size` bytes, cut to fit; may be null). The rules: a code of 1 to 14
   digits, not all zeros; a name of 1 to 18 characters of printable ASCII and the 18 Polish
   letters in Windows-1250, without ';' and without the nine characters the device shows as
   Polish letters ($ ' ( ) [ \ ] ^ _); both fields terminated within the record; a flag of 0
   or 1; a group field of -1 to 127 (device groups 0 to 128). Any price is allowed; the record
   holds hundredths, so there are never more than two decimals. */
VELKO_API int32_t VELKO_CALL VELKOCheckArticle(const ArticleRecord* record, char* reason,
                                               uint32_t size);

/* The version of the library loaded, as "MAJOR.MINOR.PATCH" (VELKO_VERSION_STRING of the
   header it was built with); static storage. */
VELKO_API const char* VELKO_CALL VELKOVersion(void);

/* A result code in one line of English: its name, what it means and what to check. */
VELKO_API const char* VELKO_CALL VELKOResultMessage(int32_t rc);

#ifdef __cplusplus
}
#endif

#endif
