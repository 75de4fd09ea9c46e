"""Article exchange with VELKO retail devices, over the library's extended C API (ctypes).

    from decimal import Decimal
    import velko

    with velko.Line("/dev/ttyUSB0") as line:          # or "COM3", "tcp://10.0.0.7:4001"
        line.upload([velko.Article("5900001000017", "CHLEB ŻYTNI", Decimal("4.50"))])
        for article in line.download():
            print(article.code, article.name, article.quantity, article.value)

Every article is checked before anything is sent: a wrong value raises ValueError and a value
of the wrong type TypeError, naming the field, the value and the article's index in the list.
The device's own rules (no ';' in a name, none of the nine characters the device uses for
Polish letters, only characters it can show) are the library's, asked through
VELKOCheckArticle, and its reason is in the message.

A job that fails raises VelkoError, as the subclass for its result code (ReadError for a
refusal, OpenError for a line that would not open, ...): `code` is the library's result code,
`counts` what the job did, `detail` what went wrong in words when the library knows more than
the code says (which article the device refused and what it answered).

The library is $VELKO_LIBRARY when set, else the one packaged with this package (in its folder
or its lib/ folder; on Windows lib/x86/ or lib/x64/ to match the interpreter), else whatever the
loader finds by name.

Closing a Line (or leaving its `with` block) ends its downloads first: each one's device
session is ended properly and the line released. An iterator of such a download, resumed
afterwards, raises VelkoError with code ERR_HANDLE; so does every call on a closed Line.
"""

import collections
import contextlib
import ctypes
import decimal
import os
import re
import sys
import threading
from dataclasses import dataclass
from decimal import Decimal
from typing import Callable, Iterable, Iterator, List, Optional

__all__ = ["Article", "Counts", "Line", "VelkoError", "AbortError", "OpenError", "SendError",
           "ReadError", "FormatError", "CrcError", "PortError", "AddressError", "HandleError",
           "library", "library_version"]


def _own_version() -> str:
    """The version this package was built with; in a checkout, the header's."""
    try:
        from ._version import version
        return version
    except ImportError:
        pass
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                          "include", "velko", "velko.h")
    try:
        with open(header, encoding="utf-8") as f:
            found = re.search(r'^#define VELKO_VERSION_STRING "([^"]+)"', f.read(), re.M)
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


__version__ = _own_version()

OK, ABORT, ERR_OPEN, ERR_HANDLE = 0, 1, 2, 9
CONTINUE_ON_REFUSAL, SKIP_FIRST_PREPARATION, SKIP_SECOND_PREPARATION = 1, 2, 4


class _Record(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("code", ctypes.c_char * 15),
        ("name", ctypes.c_char * 19),
        ("price", ctypes.c_int32),
        ("flag", ctypes.c_uint8),
        ("group", ctypes.c_int8),
        ("quantityCounter", ctypes.c_int32),
        ("valueCounter", ctypes.c_int32),
    ]


assert ctypes.sizeof(_Record) == 48


class _Counts(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32) for name in ("accepted", "refused", "received", "deleted")]


# The library's callbacks are cdecl on every platform.
_Supplier = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32,
                             ctypes.POINTER(_Record))
_Consumer = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32,
                             ctypes.POINTER(_Record))
_Progress = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32)


_FILE = "VELKO_DLL.dll" if sys.platform == "win32" else "libvelko.so.1"


def _packaged() -> List[str]:
    """Where a library packaged with this package may lie, in the order tried."""
    here = os.path.dirname(os.path.abspath(__file__))
    folders = [here, os.path.join(here, "lib")]
    if sys.platform == "win32":
        # A 32-bit interpreter cannot load a 64-bit DLL, nor the other way round.
        folders.insert(1, os.path.join(here, "lib", "x64" if sys.maxsize > 2 ** 32 else "x86"))
    return [os.path.join(folder, _FILE) for folder in folders]


def _open_library() -> ctypes.CDLL:
    named = os.environ.get("VELKO_LIBRARY")
    if named:  # asked for by name: no other library will do
        return ctypes.CDLL(named)
    failures = []
    for path in _packaged():
        if os.path.isfile(path):
            try:
                return ctypes.CDLL(path)
            except OSError as e:  # a library for another machine, say: the next may do
                failures.append(f"{path}: {e}")
    try:
        return ctypes.CDLL(_FILE)
    except OSError as e:
        failures.append(f"{_FILE}: {e}")
        raise OSError("the VELKO library could not be loaded (set VELKO_LIBRARY to its "
                      "path): " + "; ".join(failures)) from None


def _load() -> ctypes.CDLL:
    lib = _open_library()
    lib.VELKOLineOpen.restype = ctypes.c_void_p
    lib.VELKOLineOpen.argtypes = [ctypes.c_char_p]
    lib.VELKOLineClose.argtypes = [ctypes.c_void_p]
    lib.VELKOLineSetTrace.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    jobs = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32]
    lib.VELKOLineSendArticles.argtypes = jobs + [ctypes.c_uint32, _Supplier, ctypes.c_void_p,
                                                 _Progress, ctypes.POINTER(_Counts)]
    lib.VELKOLineReceiveArticles.argtypes = jobs + [_Consumer, ctypes.c_void_p, _Progress,
                                                    ctypes.POINTER(_Counts)]
    lib.VELKOLineDeleteArticles.argtypes = jobs + [_Supplier, ctypes.c_void_p, _Progress,
                                                   ctypes.POINTER(_Counts)]
    lib.VELKOLineZeroPLUCounters.argtypes = jobs
    lib.VELKOLineFailure.restype = ctypes.c_int32
    lib.VELKOLineFailure.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
    lib.VELKOCheckArticle.restype = ctypes.c_int32
    lib.VELKOCheckArticle.argtypes = [ctypes.POINTER(_Record), ctypes.c_char_p, ctypes.c_uint32]
    lib.VELKOResultMessage.restype = ctypes.c_char_p
    lib.VELKOResultMessage.argtypes = [ctypes.c_int32]
    lib.VELKOVersion.restype = ctypes.c_char_p
    lib.VELKOVersion.argtypes = []
    if hasattr(lib, "VELKOLineCancel"):  # libraries before 1.9.0 have no cancel
        lib.VELKOLineCancel.restype = ctypes.c_int32
        lib.VELKOLineCancel.argtypes = [ctypes.c_void_p]
    if hasattr(lib, "VELKOLineDeleteArticlesEx"):  # nor a deletion that goes on
        lib.VELKOLineDeleteArticlesEx.argtypes = jobs + [ctypes.c_uint32, _Supplier,
                                                         ctypes.c_void_p, _Progress,
                                                         ctypes.POINTER(_Counts)]
    return lib


_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library: $VELKO_LIBRARY, else the one packaged with this package, else
    libvelko.so.1 or VELKO_DLL.dll from the loader's path."""
    global _library
    if _library is None:
        _library = _load()
    return _library


def library_version() -> str:
    """The version of the library loaded, which should be __version__."""
    return library().VELKOVersion().decode("ascii")


class VelkoError(Exception):
    """A job ended with a result code other than VELKO_OK; raised as the subclass for that code
    (ReadError, OpenError, ...), and a caller may make one for any code. `code`: that result
    code; `counts`: what the job did, when it counts; `detail`: what went wrong in words, when
    the library knows more than the code says, else None. str() gives the code's name with the
    detail, or the code's message when there is none."""

    def __init__(self, code: int, counts: Optional["Counts"] = None,
                 detail: Optional[str] = None):
        self.code = code
        self.counts = counts
        message = library().VELKOResultMessage(code).decode("ascii")
        # The library falls back to the code's own message when it knows nothing more.
        self.detail = detail if detail and detail != message else None
        if self.detail:
            message = message.split(":", 1)[0] + ": " + self.detail
        super().__init__(message)


class AbortError(VelkoError):
    """VELKO_ERR_ABORT: the download was stopped by its consumer, or Line.cancel() a call."""


class OpenError(VelkoError):
    """VELKO_ERR_OPEN: the line would not open, or another call ran on it."""


class SendError(VelkoError):
    """VELKO_ERR_SEND: a write failed or the device never acknowledged a frame."""


class ReadError(VelkoError):
    """VELKO_ERR_READ: a read failed or timed out, or the device refused the request."""


class FormatError(VelkoError):
    """VELKO_ERR_FORMAT: a malformed frame, reply or request."""


class CrcError(VelkoError):
    """VELKO_ERR_CRC: a frame from the device failed its check."""


class PortError(VelkoError):
    """VELKO_ERR_PORT: a port number the library does not serve."""


class AddressError(VelkoError):
    """VELKO_ERR_ADDRESS: a device number the device cannot have."""


class HandleError(VelkoError):
    """VELKO_ERR_HANDLE: the line is not open (closed, say)."""


_ERRORS = {1: AbortError, 2: OpenError, 3: SendError, 4: ReadError, 5: FormatError,
           6: CrcError, 7: PortError, 8: AddressError, 9: HandleError}


def _error(code: int, counts: Optional["Counts"] = None,
           detail: Optional[str] = None) -> VelkoError:
    """The error for a result code: its own class, or VelkoError for a code it has none."""
    return _ERRORS.get(code, VelkoError)(code, counts, detail)


_DETAIL_SIZE = 1024


def _failure(lib: ctypes.CDLL, handle, rc: int, counts: Optional[_Counts] = None) -> VelkoError:
    """The error for a call on `handle` that returned `rc`, with the library's detail."""
    text = ctypes.create_string_buffer(_DETAIL_SIZE)
    # A call turned away because another one ran on the handle leaves the other's outcome:
    # that detail is not this call's.
    last = lib.VELKOLineFailure(handle, text, _DETAIL_SIZE)
    detail = text.value.decode("utf-8", "replace") if last == rc else None
    return _error(rc, _counts(counts) if counts is not None else None, detail)


def _closed() -> VelkoError:
    return _error(ERR_HANDLE, detail="the line was closed")


_CODE = re.compile(r"[0-9]{1,14}")
_CENT = Decimal("0.01")
_LOWEST, _HIGHEST = Decimal(-2 ** 31).scaleb(-2), Decimal(2 ** 31 - 1).scaleb(-2)
# Exact whatever context the caller set: a price in range has at most 12 digits.
_EXACT = decimal.Context(prec=40)


def _code_bytes(code, where: str) -> bytes:
    if not isinstance(code, str):
        raise TypeError(f"{where}code {code!r} is of type {type(code).__name__}, "
                        "not a str of 1 to 14 digits")
    if not _CODE.fullmatch(code):
        raise ValueError(f"{where}code {code!r} is not 1 to 14 digits")
    return code.encode("ascii")


def _name_bytes(name, where: str) -> bytes:
    if not isinstance(name, str):
        raise TypeError(f"{where}name {name!r} is of type {type(name).__name__}, not a str")
    if not 1 <= len(name) <= 18:
        raise ValueError(f"{where}name {name!r} has {len(name)} characters, not 1 to 18")
    if "\0" in name:  # the record would end the name there
        raise ValueError(f"{where}name {name!r} holds a NUL character")
    try:
        return name.encode("cp1250")
    except UnicodeEncodeError as e:
        raise ValueError(f"{where}name {name!r}: {name[e.start]!r} is not in Windows-1250, "
                         "so the device cannot show it") from None


def _hundredths(price, where: str) -> int:
    # A float is refused: 4.1 is not 4.10 in binary, and guessing the amount meant is not ours.
    if isinstance(price, bool) or not isinstance(price, (Decimal, int, str)):
        raise TypeError(f"{where}price {price!r} is of type {type(price).__name__}, "
                        "not a Decimal, an int or a str")
    try:
        amount = Decimal(price)
    except decimal.InvalidOperation:
        raise ValueError(f"{where}price {price!r} is not an amount") from None
    if not amount.is_finite() or not _LOWEST <= amount <= _HIGHEST:
        raise ValueError(f"{where}price {price!r} is not from {_LOWEST} to {_HIGHEST}")
    cents = amount.quantize(_CENT, context=_EXACT)
    if cents != amount:
        raise ValueError(f"{where}price {price!r} has more than two decimals")
    return int(cents.scaleb(2, context=_EXACT))


def _whole(value, field: str, low: int, high: int, where: str, bool_ok: bool) -> int:
    if not isinstance(value, int) or (isinstance(value, bool) and not bool_ok):
        raise TypeError(f"{where}{field} {value!r} is of type {type(value).__name__}, "
                        "not an int")
    if not low <= value <= high:
        allowed = f"{low} or {high}" if high == low + 1 else f"from {low} to {high}"
        raise ValueError(f"{where}{field} {value!r} is not {allowed}")
    return int(value)


def _path(value, what: str) -> str:
    """A device path or a file name: a str, or an os.PathLike that gives one."""
    text = os.fspath(value) if isinstance(value, os.PathLike) else value
    if not isinstance(text, str):
        raise TypeError(f"{what} {value!r} is of type {type(value).__name__}, "
                        "not a str or an os.PathLike")
    if "\0" in text:  # the library would take the text up to it: another line, another file
        raise ValueError(f"{what} {value!r} holds a NUL character")
    return text


def _native(text: str, what: str) -> bytes:
    """A name as the library reads it: UTF-8, as the file system's on Linux; on Windows the
    ANSI code page, which the DLL's C strings are in (UTF-8 would name another file:
    'ślad.log' would become 'Å›lad.log')."""
    if sys.platform != "win32":
        return os.fsencode(text)
    try:
        return text.encode("mbcs", "strict")
    except UnicodeEncodeError as e:
        raise ValueError(f"{what} {text!r}: {text[e.start]!r} is not in this Windows' ANSI "
                         "code page, which the library's file names are in") from None


def _baud(value) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"baud {value!r} is of type {type(value).__name__}, not an int")
    if not 0 < value <= 0xFFFFFFFF:  # the library takes 32 bits: more would wrap
        raise ValueError(f"baud {value!r} is not a rate")
    return value


def _library_check(record: _Record, where: str) -> None:
    """The device's own rules, which the library keeps."""
    reason = ctypes.create_string_buffer(_DETAIL_SIZE)
    if library().VELKOCheckArticle(ctypes.byref(record), reason, _DETAIL_SIZE) != OK:
        raise ValueError(where + reason.value.decode("utf-8", "replace"))


@dataclass
class Article:
    """One article. code: a str of 1 to 14 digits; name: a str of 1 to 18 characters the device
    shows (printable ASCII and the Polish letters, without ';' and without $ ' ( ) [ \\ ] ^ _,
    which the device uses for Polish letters); price: a Decimal, an int or a str, with at most
    two decimals (a float is refused); flag: 0 or 1; group: 0 to 128. quantity (three decimals)
    and value come with a download and are not uploaded."""
    code: str
    name: str
    price: Decimal
    flag: int = 0
    group: int = 1
    quantity: Decimal = Decimal("0.000")
    value: Decimal = Decimal("0.00")

    def _record(self, where: str = "") -> _Record:
        """The record the library takes; ValueError or TypeError, prefixed by `where`, when the
        article cannot go to the device as it stands."""
        r = _Record()
        r.code = _code_bytes(self.code, where)
        r.name = _name_bytes(self.name, where)
        r.price = _hundredths(self.price, where)
        r.flag = _whole(self.flag, "flag", 0, 1, where, bool_ok=True)
        r.group = _whole(self.group, "group", 0, 128, where, bool_ok=False) - 1
        _library_check(r, where)
        return r

    @classmethod
    def _from(cls, r: _Record) -> "Article":
        return cls(code=r.code.decode("ascii").lstrip("0") or "0",
                   name=r.name.decode("cp1250"),
                   price=Decimal(r.price).scaleb(-2), flag=r.flag, group=r.group + 1,
                   quantity=Decimal(r.quantityCounter).scaleb(-3),
                   value=Decimal(r.valueCounter).scaleb(-2))


@dataclass
class Counts:
    accepted: int = 0
    refused: int = 0
    received: int = 0
    deleted: int = 0


def _counts(c: _Counts) -> Counts:
    return Counts(c.accepted, c.refused, c.received, c.deleted)


def _records(items, what: str, record: Callable[[object, str], _Record]) -> List[_Record]:
    # A str is an iterable of one-digit codes: surely not what was meant.
    if isinstance(items, (str, bytes)):
        raise TypeError(f"{what} must be a list, not a {type(items).__name__}")
    return [record(item, f"{what}[{index}]: ") for index, item in enumerate(items)]


def _article_records(articles) -> List[_Record]:
    records = _records(articles, "articles", _article_record)
    # 000123 is 123: the device would keep only the last of the two.
    seen = {}
    for index, record in enumerate(records):
        earlier = seen.setdefault(int(record.code), index)
        if earlier != index:
            raise ValueError(f"articles[{index}]: code {record.code.decode()!r} is the code of "
                             f"articles[{earlier}] too: the device would keep only the last")
    return records


def _article_record(article, where: str) -> _Record:
    if not isinstance(article, Article):
        raise TypeError(f"{where}{article!r} is not a velko.Article")
    return article._record(where)


def _code_record(code, where: str) -> _Record:
    r = _Record()
    r.code = _code_bytes(code, where)
    r.name = b"X"  # the library's check asks for a name; only the code matters here
    _library_check(r, where)
    return r


class _Call:
    """One call into the library with Python callbacks. An exception raised in a callback
    (KeyboardInterrupt from Ctrl-C among them, which Python raises in the next Python code the
    call runs: a callback) cannot cross the library; it is kept, the job stops at the next
    article, and the call raises it once the library has returned."""

    def __init__(self, records: List[_Record],
                 progress: Optional[Callable[[int], None]] = None):
        self._records, self._report = records, progress
        self.failure: Optional[BaseException] = None
        # Kept alive for as long as the call runs.
        self.supplier = _Supplier(self._supply)
        self.progress = _Progress(self._progress) if progress else _Progress()

    def _supply(self, _context, index, record) -> int:
        try:
            if self.failure is not None or index >= len(self._records):
                return 0
            record[0] = self._records[index]
            return 1
        except BaseException as e:  # noqa: B902 (Ctrl-C included, raised after the call)
            self.failure = self.failure or e
            return 0

    def _progress(self, _context, done) -> None:
        try:
            if self.failure is None:
                self._report(done)
        except BaseException as e:  # noqa: B902
            self.failure = e

    def end(self) -> None:
        if self.failure is not None:
            raise self.failure


class _Download:
    """One download: a worker thread runs the library's call, which hands the articles to
    `consume`; they wait in a bounded buffer for the iterator. Either side waits on one
    condition, so nothing polls."""

    BUFFER = 64

    def __init__(self, lib: ctypes.CDLL, handle, baud: int, device: int):
        self._lib, self._handle, self._baud, self._device = lib, handle, baud, device
        self._ready = threading.Condition()
        self._items: "collections.deque[Article]" = collections.deque()
        self._stopped = False  # the iterator or close() wants no more articles
        self._closed = False   # ... because the line was closed
        self._result: Optional[BaseException] = None
        self._ended = False    # the library's call has returned
        self._consumer = _Consumer(self._consume)  # alive for as long as the call runs
        self._counts = _Counts()
        self._worker = threading.Thread(target=self._run, daemon=True,
                                        name="velko download")

    def start(self) -> None:
        self._worker.start()

    def _consume(self, _context, _index, record) -> int:
        try:
            article = Article._from(record[0])
        except Exception as e:  # ends the download; the iterator raises it
            with self._ready:
                self._result = e
            return 0
        with self._ready:
            while len(self._items) >= self.BUFFER and not self._stopped:
                self._ready.wait()
            if self._stopped:
                return 0  # the library ends the device's session and releases the line
            self._items.append(article)
            self._ready.notify_all()
            return 1

    def _run(self) -> None:
        rc = self._lib.VELKOLineReceiveArticles(self._handle, self._baud, self._device,
                                                self._consumer, None, _Progress(),
                                                ctypes.byref(self._counts))
        # Read here: close() waits for this thread before the handle goes.
        error = _failure(self._lib, self._handle, rc, self._counts) if rc != OK else None
        with self._ready:
            if self._result is None and error is not None:
                self._result = error
            self._ended = True
            self._ready.notify_all()

    def next(self) -> Optional[Article]:
        """The next article, None at the end of the list; raises when the download failed or
        the line was closed."""
        with self._ready:
            while not self._items and not self._ended and not self._closed:
                self._ready.wait()
            if self._closed:
                raise _closed()
            if self._items:
                article = self._items.popleft()
                self._ready.notify_all()
                return article
            if self._result is not None:
                raise self._result
            return None

    def end(self, closed: bool = False) -> None:
        """Stops the download and waits until the library's call has returned."""
        with self._ready:
            self._stopped = True
            self._closed = self._closed or closed
            self._ready.notify_all()
        if self._worker.ident is not None and self._worker is not threading.current_thread():
            self._worker.join()


class Line:
    """A device on a line: a device path (a str or an os.PathLike), a COM name or
    tcp://HOST:PORT; baud a positive int, device an int from 0 to 99. Each Line has a link
    of its own; two Lines may run at once from two threads. close() (or leaving the `with`
    block) ends the Line's downloads first; after it every call raises VelkoError with code
    ERR_HANDLE ("the line was closed")."""

    def __init__(self, line: "str | os.PathLike[str]", baud: int = 9600, device: int = 1,
                 trace: "Optional[str | os.PathLike[str]]" = None):
        # Every argument is checked before the handle exists, so a wrong one leaves nothing open.
        name = _native(_path(line, "line"), "line")
        self.baud, self.device = baud, device
        trace = _native(_path(trace, "trace"), "trace") if trace is not None else None
        self._lib = library()
        self._lock = threading.Lock()
        self._calls = threading.Lock()  # held by the call running on the line
        self._downloads: "set[_Download]" = set()
        self._handle = self._lib.VELKOLineOpen(name)
        if not self._handle:
            raise ValueError(f"not a line: {line!r}")
        if trace:
            rc = self._lib.VELKOLineSetTrace(self._handle, trace)
            if rc != OK:
                error = _failure(self._lib, self._handle, rc)
                self.close()
                raise error

    @property
    def baud(self) -> int:
        """The line's rate: a positive int (TypeError for any other type, even "9600")."""
        return self._baud

    @baud.setter
    def baud(self, value: int) -> None:
        self._baud = _baud(value)

    @property
    def device(self) -> int:
        """The device number, 0 to 99."""
        return self._device

    @device.setter
    def device(self, value: int) -> None:
        # The library takes 32 bits: 2**32 + 1 would reach device 1.
        self._device = _whole(value, "device", 0, 99, "", bool_ok=False)

    def close(self) -> None:
        """Ends the Line's downloads (each device session ended properly), then the handle.
        A second close does nothing."""
        with self._lock:
            handle, self._handle = self._handle, None
            downloads = list(self._downloads)
        for download in downloads:
            download.end(closed=True)
        if handle:
            self._lib.VELKOLineClose(handle)

    def cancel(self) -> None:
        """Stops the call running on the Line at its next article, from any thread: the
        device's session is ended as it should be, and the call raises AbortError with its
        counts (what was done before stays done). With no call running it does nothing, now
        or later; a counter reset runs to its end."""
        handle = self._handle
        if handle:
            self._lib.VELKOLineCancel(handle)

    def __enter__(self) -> "Line":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _open(self):
        handle = self._handle
        if not handle:
            raise _closed()
        return handle

    @contextlib.contextmanager
    def _turn(self):
        """One call at a time on a Line: another, from another thread or while a download is
        paused, is OpenError saying so (the library would say only that the port could not
        be opened)."""
        if not self._calls.acquire(blocking=False):
            raise _error(ERR_OPEN, detail="another call is running on this Line (one at a "
                                          "time; a Line for each thread runs them at once)")
        try:
            yield
        finally:
            self._calls.release()

    def _check(self, handle, rc: int, counts: Optional[_Counts] = None) -> None:
        if rc != OK:
            raise _failure(self._lib, handle, rc, counts)

    def upload(self, articles: Iterable[Article], continue_on_refusal: bool = False,
               skip_second_preparation: bool = False,
               progress: Optional[Callable[[int], None]] = None) -> Counts:
        """Uploads the articles; the counts, or VelkoError (a refusal ends the upload with
        VELKO_ERR_READ unless continue_on_refusal). Every article is checked before the upload
        starts, and every code against the earlier ones: ValueError or TypeError for the first
        that cannot go, nothing sent. `progress` is told how many articles the device has
        answered; an exception it raises, or Ctrl-C, ends the upload at the next article and
        is raised once the device's session has ended."""
        handle = self._open()
        records = _article_records(articles)
        options = (CONTINUE_ON_REFUSAL if continue_on_refusal else 0) | (
            SKIP_SECOND_PREPARATION if skip_second_preparation else 0)
        counts = _Counts()
        call = _Call(records, progress)
        with self._turn():
            rc = self._lib.VELKOLineSendArticles(handle, self.baud, self.device, options,
                                                 call.supplier, None, call.progress,
                                                 ctypes.byref(counts))
        call.end()
        self._check(handle, rc, counts)
        return _counts(counts)

    def download(self) -> Iterator[Article]:
        """The device's articles with their counters, one by one as they arrive. Leaving the
        loop early ends the download; so does closing the Line, after which the iterator
        raises VelkoError (ERR_HANDLE, "the line was closed")."""
        self._open()
        return self._articles()

    def _articles(self) -> Iterator[Article]:
        with self._turn():  # the download holds the line until it ends
            with self._lock:
                if not self._handle:
                    raise _closed()
                download = _Download(self._lib, self._handle, self.baud, self.device)
                self._downloads.add(download)
                download.start()
            try:
                while True:
                    article = download.next()
                    if article is None:
                        return
                    yield article
            finally:
                download.end()
                with self._lock:
                    self._downloads.discard(download)

    def delete(self, codes: Iterable[str], continue_on_refusal: bool = False) -> int:
        """Deletes the articles by code; how many were deleted, or VelkoError (a code the
        device refuses, one it does not hold, ends the deletion with VELKO_ERR_READ unless
        continue_on_refusal: then it is skipped, and the codes not deleted are those the
        device refused). Every code is checked first: ValueError or TypeError for the first
        that is not one, nothing sent. Ctrl-C ends the deletion at the next code, and is
        raised once the device's session has ended."""
        handle = self._open()
        records = _records(codes, "codes", _code_record)
        counts = _Counts()
        call = _Call(records)
        with self._turn():
            if continue_on_refusal:
                rc = self._lib.VELKOLineDeleteArticlesEx(handle, self.baud, self.device,
                                                         CONTINUE_ON_REFUSAL, call.supplier,
                                                         None, call.progress,
                                                         ctypes.byref(counts))
            else:
                rc = self._lib.VELKOLineDeleteArticles(handle, self.baud, self.device,
                                                       call.supplier, None, call.progress,
                                                       ctypes.byref(counts))
        call.end()
        self._check(handle, rc, counts)
        return counts.deleted

    def zero_counters(self) -> None:
        handle = self._open()
        with self._turn():
            rc = self._lib.VELKOLineZeroPLUCounters(handle, self.baud, self.device)
        self._check(handle, rc)
