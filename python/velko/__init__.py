"""Article exchange with VELKO retail devices, over the library's extended C API (ctypes).

    from decimal import Decimal
    import velko

    with velko.Line("/dev/ttyUSB0") as line:          # or "COM3", "tcp://10.0.0.7:4001"
        line.upload([velko.Article("5900001000017", "CHLEB ŻYTNI", Decimal("4.50"))])
        for article in line.download():
            print(article.code, article.name, article.quantity, article.value)
"""

import ctypes
import os
import queue
import sys
import threading
from dataclasses import dataclass
from decimal import Decimal
from typing import Callable, Iterable, Iterator, List, Optional

__all__ = ["Article", "Counts", "Line", "VelkoError", "library"]

OK, ABORT = 0, 1
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


def _load() -> ctypes.CDLL:
    name = os.environ.get("VELKO_LIBRARY") or (
        "VELKO_DLL.dll" if sys.platform == "win32" else "libvelko.so.1")
    lib = ctypes.CDLL(name)
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
    lib.VELKOResultMessage.restype = ctypes.c_char_p
    lib.VELKOResultMessage.argtypes = [ctypes.c_int32]
    return lib


_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library: $VELKO_LIBRARY, else libvelko.so.1 or VELKO_DLL.dll."""
    global _library
    if _library is None:
        _library = _load()
    return _library


class VelkoError(Exception):
    """A job ended with a result code other than VELKO_OK."""

    def __init__(self, code: int, counts: Optional["Counts"] = None):
        self.code = code
        self.counts = counts
        super().__init__(library().VELKOResultMessage(code).decode("ascii"))


@dataclass
class Article:
    """One article. code: 1 to 14 digits; name: up to 18 characters (printable ASCII and the
    Polish letters); price and value in money, quantity in units with three decimals; group:
    the device's group number."""
    code: str
    name: str
    price: Decimal
    flag: int = 0
    group: int = 1
    quantity: Decimal = Decimal("0.000")
    value: Decimal = Decimal("0.00")

    def _record(self) -> _Record:
        r = _Record()
        r.code = self.code.encode("ascii")
        r.name = self.name.encode("cp1250")
        r.price = int((Decimal(self.price) * 100).to_integral_exact())
        r.flag = 1 if self.flag else 0
        r.group = self.group - 1
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


class Line:
    """A device on a line: a device path, a COM name or tcp://HOST:PORT. Each Line has a link
    of its own; two Lines may run at once from two threads."""

    def __init__(self, line: str, baud: int = 9600, device: int = 1,
                 trace: Optional[str] = None):
        self._lib = library()
        self._handle = self._lib.VELKOLineOpen(line.encode())
        if not self._handle:
            raise ValueError(f"not a line: {line!r}")
        self.baud, self.device = baud, device
        if trace:
            self._check(self._lib.VELKOLineSetTrace(self._handle, trace.encode()))

    def close(self) -> None:
        if self._handle:
            self._lib.VELKOLineClose(self._handle)
            self._handle = None

    def __enter__(self) -> "Line":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _check(self, rc: int, counts: Optional[_Counts] = None) -> None:
        if rc != OK:
            raise VelkoError(rc, _counts(counts) if counts is not None else None)

    @staticmethod
    def _progress(report: Optional[Callable[[int], None]]):
        return _Progress(lambda _context, done: report(done)) if report else _Progress()

    def upload(self, articles: Iterable[Article], continue_on_refusal: bool = False,
               skip_second_preparation: bool = False,
               progress: Optional[Callable[[int], None]] = None) -> Counts:
        """Uploads the articles; the counts, or VelkoError (a refusal ends the upload with
        VELKO_ERR_READ unless continue_on_refusal)."""
        records = [a._record() for a in articles]

        def supply(_context, index, record):
            if index >= len(records):
                return 0
            record[0] = records[index]
            return 1

        options = (CONTINUE_ON_REFUSAL if continue_on_refusal else 0) | (
            SKIP_SECOND_PREPARATION if skip_second_preparation else 0)
        counts = _Counts()
        rc = self._lib.VELKOLineSendArticles(self._handle, self.baud, self.device, options,
                                             _Supplier(supply), None, self._progress(progress),
                                             ctypes.byref(counts))
        self._check(rc, counts)
        return _counts(counts)

    def download(self) -> Iterator[Article]:
        """The device's articles with their counters, one by one as they arrive. Leaving the
        loop early ends the download."""
        items: "queue.Queue" = queue.Queue(maxsize=64)
        stop = threading.Event()
        done = object()

        def consume(_context, _index, record):
            if stop.is_set():
                return 0
            items.put(Article._from(record[0]))
            return 1

        def run():
            rc = self._lib.VELKOLineReceiveArticles(self._handle, self.baud, self.device,
                                                    _Consumer(consume), None, _Progress(), None)
            items.put((done, rc))

        worker = threading.Thread(target=run, daemon=True)
        worker.start()
        try:
            while True:
                item = items.get()
                if isinstance(item, tuple) and item[0] is done:
                    if item[1] not in (OK, ABORT) or (item[1] == ABORT and not stop.is_set()):
                        raise VelkoError(item[1])
                    return
                yield item
        finally:
            stop.set()
            while worker.is_alive():  # let the job end; drain what it still hands over
                try:
                    items.get(timeout=0.1)
                except queue.Empty:
                    pass
            worker.join()

    def delete(self, codes: Iterable[str]) -> int:
        """Deletes the articles by code; how many were deleted, or VelkoError."""
        records = [Article(code, "", Decimal(0))._record() for code in codes]

        def supply(_context, index, record):
            if index >= len(records):
                return 0
            record[0] = records[index]
            return 1

        counts = _Counts()
        rc = self._lib.VELKOLineDeleteArticles(self._handle, self.baud, self.device,
                                               _Supplier(supply), None, _Progress(),
                                               ctypes.byref(counts))
        self._check(rc, counts)
        return counts.deleted

    def zero_counters(self) -> None:
        self._check(self._lib.VELKOLineZeroPLUCounters(self._handle, self.baud, self.device))
