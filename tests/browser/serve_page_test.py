#!/usr/bin/env python3
"""The staff page of velko serve, driven in headless Chromium as a person at the counter would.

    serve_page_test.py VELKO OUTDIR [--web-root DIR] [--lang pl,en]

For each language (Polish, then English), in a browser that prefers it: `VELKO serve
--simulate 2` starts on a free port with a fresh data folder, and through the page only: the
page speaks the browser's language; a wrong token is turned away; the printed token signs in
and is remembered; a price list with a faulty code is refused with the fault worded in the
language; a Windows-1250 price list is checked and previewed (added, changed with the old and
new price, deleted, counted), and the preview is no device's last job; it is uploaded to every
device; one device lowers a price and the promotion labels list every article's price in the
language, the reduction set apart with its lowest price and rule, saved as CSV for Excel, its
price history drawn as a step line per device; the day is closed after the confirmation, the reports are opened and saved as CSV, the
sales chart is drawn; the job history lists every job and filters by device, state, day and
starter. Then jobs are queued and the service is stopped and started again on the same data
folder and port: the page reconnects by itself, the history still has every job, the jobs the
stop cut off are worded and stay on their device's card until an upload succeeds. A reload
signs in from the remembered token; signing out forgets it. No visible text of the page is in
the other language's words. Screenshots of each view at desktop (1600x1000) and tablet
(1024x768, 768x1024) sizes go to OUTDIR as serve-LANG-SIZE-VIEW.png; a failure says what was
expected and saves serve-LANG-failure.png.

The page is waited on through its own signals (body[data-ready], body[data-last-event],
body[data-history], body[data-labels], body[data-price-history]) and read in one script per look,
so a redraw between finding an element and reading it cannot fail a run.
"""

import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    # Debian's python3-selenium is installed for the system interpreter; a python3 found first
    # on PATH (a virtual environment, pyenv) may not see it.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and \
            os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("serve_page_test: python3-selenium is missing (apt-get install python3-selenium)")

# Four articles with Polish letters that Windows-1250 and UTF-8 write differently. The file is
# written in Windows-1250 as shop back offices export it: the page must send its bytes untouched
# for the names to come back whole. The first two are on a new simulated device already, the
# first at 4.50 (the file raises it); the last two are new to it.
ARTICLES = [
    ("5900001000017", "CHLEB ŻYTNI", "4,99"),
    ("5900001000024", "BUŁKA KAJZERKA", "0,65"),
    ("5900001000090", "ŹRÓDLANA WODA 1,5L", "2,19"),
    ("5900001000106", "PĄCZEK Z RÓŻĄ", "2,49"),
]
NEW = ARTICLES[2:]
# A new simulated device holds eight articles: the sync would delete the six the file lacks.
DELETED = 6
# The price change as each language writes it.
PRICE_CHANGE = {"pl": ("4,50 zł", "4,99 zł"), "en": ("4.50 zł", "4.99 zł")}
# After the upload one device lowers BUŁKA's price: the one reduction the labels must show.
REDUCED = (ARTICLES[1][0], ARTICLES[1][1], "0,59")


def money(text, lang):
    """A price of the file ("4,99") as the page writes it in the language."""
    return f"{text if lang == 'pl' else text.replace(',', '.')} zł"

VIEWS = {"devices": "#devices-view", "pricelist": "#pricelist-view", "history": "#history-view",
         "labels": "#labels-view", "prices": "#price-chart", "reports": "#reports-view"}
SIZES = {"desktop": (1600, 1000), "tablet-landscape": (1024, 768), "tablet-portrait": (768, 1024)}


class Failure(Exception):
    pass


class ServiceProcess:
    """velko serve with --simulate, its announced address and token read from standard output."""

    def __init__(self, velko, data, log_path, web_root=None, listen="127.0.0.1:0"):
        command = [velko, "serve", "--simulate", "2", "--listen", listen, "--data", data]
        if web_root:
            command += ["--web-root", web_root]
        self.log = open(log_path, "a", encoding="utf-8")
        self.log.write("$ " + " ".join(command) + "\n")
        self.log.flush()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.log,
                                        stdin=subprocess.DEVNULL, text=True, encoding="utf-8",
                                        errors="replace")
        self.lines = queue.Queue()
        # Standard output is drained for the whole run: a full pipe would stall the service.
        threading.Thread(target=self._drain, daemon=True).start()
        self.url, self.token = self._announcements(timeout=30)

    def _drain(self):
        for line in self.process.stdout:
            self.log.write(line)
            self.log.flush()
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def _announcements(self, timeout):
        url = token = None
        deadline = time.monotonic() + timeout
        while url is None or token is None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("expected the service to print 'velko serve: listening on "
                              "http://HOST:PORT/' and 'velko serve: token (operate): TOKEN' "
                              f"within {timeout} s")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise Failure(f"the service ended (status {self.process.wait()}) before it "
                              "announced its address and token")
            m = re.match(r"velko serve: listening on (http://\S+?)/?$", line)
            if m:
                url = m.group(1) + "/"
            m = re.match(r"velko serve: token \(operate\): (\S+)", line)
            if m:
                token = m.group(1)
        return url, token

    @property
    def listen(self):
        return re.match(r"http://([^/]+)/", self.url).group(1)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


# Read in one go inside the page: what a look at the page needs, as plain data.
SNAPSHOT = """
const all = (css, root = document) => [...root.querySelectorAll(css)];
const visible = el => !!el && el.checkVisibility();
const batch = document.querySelector('#progress .batch');
const data = (css, key) => document.querySelector(css)?.dataset[key] || '';
return {
  ready: data('body', 'ready'),
  lastEvent: data('body', 'lastEvent'),
  history: data('body', 'history'),
  lang: document.documentElement.lang,
  live: data('#live', 'live'),
  signedIn: document.querySelector('#app')?.hidden === false,
  loginMessage: visible(document.querySelector('#login-message')) ?
    document.querySelector('#login-message').textContent : '',
  role: data('#role', 'role'),
  devices: all('#devices [data-test=device]').map(d => ({
    name: d.dataset.device, state: d.dataset.state,
    stateText: d.querySelector('[data-test=device-state]')?.textContent,
    lastKind: d.querySelector('[data-test=last-job]')?.dataset.kind,
    lastState: d.querySelector('[data-test=last-job]')?.dataset.state,
    failed: all('[data-test=failed-job]', d).map(f => ({
      kind: f.dataset.kind, state: f.dataset.state, text: f.innerText})),
  })),
  batch: batch ? all('li[data-test=job]', batch).map(j => ({
    device: j.dataset.device, kind: j.dataset.kind, state: j.dataset.state, text: j.innerText})) : [],
  checkOk: document.querySelector('[data-test=check-ok]')?.dataset.articles ?? null,
  faults: all('#check-result [data-test=fault]').map(f => ({code: f.dataset.code, text: f.innerText})),
  previews: all('#preview-result .preview-device').map(p => ({
    device: p.dataset.device, added: p.dataset.added, changed: p.dataset.changed,
    deleted: p.dataset.deleted, failed: p.dataset.failed || '',
    summary: p.querySelector('[data-test=preview-summary]')?.textContent ?? '',
    rows: all('tr[data-test=difference]', p).map(r => ({what: r.dataset.what, text: r.innerText})),
  })),
  reports: all('#reports tr[data-test=report]').map(r => r.dataset.device),
  reportTable: document.querySelector('#report-table')?.innerText ?? '',
  reportHead: document.querySelector('#report-view p')?.innerText ?? '',
  jobs: all('#history tr[data-test=history-job]').map(r => ({
    id: Number(r.dataset.id), device: r.dataset.device, kind: r.dataset.kind,
    state: r.dataset.state, text: r.innerText})),
  byOptions: all('#history-by option').map(o => o.value).filter(Boolean),
  chartMarks: all('#sales-chart svg .bar, #sales-chart svg .point').length,
  labels: data('body', 'labels'),
  priceHistory: data('body', 'priceHistory'),
  labelRows: all('#labels tr[data-test=label]').map(r => ({
    code: r.dataset.code, device: r.dataset.device, reduction: r.dataset.reduction,
    price: r.querySelector('td.price')?.innerText.trim(), lowest: r.querySelector('td.lowest')?.innerText.trim(),
    since: r.querySelector('td.reduction')?.innerText.trim(), rule: r.querySelector('td.rule')?.innerText.trim(),
    background: getComputedStyle(r.cells[1]).backgroundColor})),
  priceLines: all('#price-chart svg path.step').map(p => ({device: p.dataset.device, d: p.getAttribute('d')})),
  priceCaption: document.querySelector('#price-chart figcaption')?.textContent ?? '',
  stored: {local: localStorage.getItem('velko.token'), session: sessionStorage.getItem('velko.token')},
};
"""

# Every visible text node of the page, trimmed.
VISIBLE_TEXTS = """
const out = [];
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let node = walker.nextNode(); node; node = walker.nextNode()) {
  const text = node.textContent.trim();
  const parent = node.parentElement;
  if (!text || !parent || parent.closest('script, style')) continue;
  if (!parent.checkVisibility()) continue;
  out.push(text);
}
return out;
"""

# The page's own catalogues, from its module.
CATALOGUES = """
const done = arguments[arguments.length - 1];
import('./i18n.js').then(m => done(m.catalogues), e => done({error: String(e)}));
"""


class Page:
    def __init__(self, driver, outdir, language):
        self.d = driver
        self.outdir = outdir
        self.language = language

    def look(self):
        return self.d.execute_script(SNAPSHOT)

    def wait(self, what, condition, timeout=20):
        """Looks at the page until `condition(look)` gives something true, and returns it."""
        last = {}

        def attempt(_):
            last["look"] = look = self.look()
            return condition(look)
        try:
            return WebDriverWait(self.d, timeout, poll_frequency=0.2).until(attempt)
        except TimeoutException:
            raise Failure(f"expected {what} within {timeout} s; the page showed: "
                          f"{summary(last.get('look'))}") from None

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def click(self, css):
        """Clicks an element once it is there and enabled, found and clicked in one script."""
        def attempt(_):
            return self.js("""
                const el = document.querySelector(arguments[0]);
                if (!el || el.disabled || !el.checkVisibility()) return false;
                el.scrollIntoView({block: 'center'});
                el.click();
                return true;""", css)
        try:
            WebDriverWait(self.d, 20, poll_frequency=0.2).until(attempt)
        except TimeoutException:
            raise Failure(f"expected {css} to be there and enabled to click") from None

    def choose(self, css, value):
        """Sets a select or date field as a person would, which fires its change event."""
        self.js("""
            const el = document.querySelector(arguments[0]);
            el.value = arguments[1];
            el.dispatchEvent(new Event('change', {bubbles: true}));""", css, value)

    def type_token(self, token):
        field = self.d.find_element(By.CSS_SELECTOR, "#token")
        field.clear()
        field.send_keys(token)

    def size(self, width, height):
        self.d.set_window_size(width, height)
        try:
            WebDriverWait(self.d, 10, poll_frequency=0.1).until(
                lambda _: abs(self.js("return window.innerWidth") - width) < 40)
        except TimeoutException:
            raise Failure(f"expected the window to be {width} wide") from None

    def shot(self, name, css=None):
        if css:
            self.js("document.querySelector(arguments[0]).scrollIntoView({block: 'start'})", css)
        else:
            self.js("window.scrollTo(0, 0)")
        # Scrolling is synchronous, but the sticky header repaints on the next frame.
        self.d.execute_async_script(
            "const done = arguments[0]; requestAnimationFrame(() => requestAnimationFrame(done))")
        self.d.save_screenshot(os.path.join(self.outdir, f"serve-{self.language}-{name}.png"))


def summary(look):
    if not look:
        return "nothing"
    keep = {k: v for k, v in look.items() if v not in ("", [], None)}
    text = repr(keep)
    return text if len(text) < 1500 else text[:1500] + "…"


def write_price_list(folder, name, rows):
    path = os.path.join(folder, name)
    lines = ["kod;nazwa;cena;flaga;grupa"] + [f"{c};{n};{p};0;1" for c, n, p in rows]
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("cp1250"))
    return path


def jobs_done(page, kind, devices, timeout):
    """Waits until the newest batch's jobs of `kind` on `devices` are all done."""
    def finished(look):
        jobs = [j for j in look["batch"] if j["kind"] == kind]
        if sorted(j["device"] for j in jobs) != sorted(devices):
            return False
        bad = [j for j in jobs if j["state"] in ("failed", "interrupted", "cancelled")]
        if bad:
            raise Failure(f"expected every {kind} job to be done, got {bad}")
        return all(j["state"] == "done" for j in jobs)
    page.wait(f"{kind} jobs on {devices} to be done", finished, timeout)


def words(catalogue):
    """Every text of a catalogue, plural forms included."""
    for value in catalogue.values():
        if isinstance(value, dict):
            yield from value.values()
        else:
            yield value


def check_language(page, catalogues, where):
    """No visible text of the page is a text of the other language that differs from this one's."""
    own = catalogues[page.language]
    other_name = "en" if page.language == "pl" else "pl"
    other = catalogues[other_name]
    foreign = {text for key, value in other.items() if value != own.get(key)
               for text in (value.values() if isinstance(value, dict) else [value])}
    foreign -= set(words(own))
    # A text with placeholders cannot appear as it stands; its fixed start can, and is looked for
    # when it is long enough to mean something.
    exact = {w.strip() for w in foreign if "{" not in w}
    found = sorted({text for text in page.js(VISIBLE_TEXTS) if text in exact})
    if found:
        raise Failure(f"expected no {other_name} text on the {page.language} page ({where}), "
                      f"found: {found}")


def scenario(page, velko, work, web_root, log_path, downloads):
    page.service = ServiceProcess(velko, os.path.join(work, "data"), log_path, web_root)
    try:
        run(page, velko, work, web_root, log_path, downloads)
    finally:
        page.service.stop()


def run(page, velko, work, web_root, log_path, downloads):
    d = page.d
    lang = page.language
    service = page.service
    faulty = write_price_list(work, "zly-cennik.csv", [("12a", "CHLEB", "4,50")])
    price_list = write_price_list(work, "cennik.csv", ARTICLES)
    page.size(*SIZES["desktop"])
    d.get(service.url)

    # The page speaks the language the browser prefers, before anyone signs in.
    look = page.wait("the token form", lambda look: not look["signedIn"] and look["lang"] and look)
    if look["lang"] != lang:
        raise Failure(f"expected the page in {lang} for a browser that prefers it, got {look['lang']}")
    catalogues = d.execute_async_script(CATALOGUES)
    if "error" in catalogues:
        raise Failure(f"expected the page's catalogues to load: {catalogues['error']}")
    t = catalogues[lang]
    check_language(page, catalogues, "the token form")

    # A wrong token is turned away with a message that says so.
    page.type_token("not-the-token-0000")
    page.click("#login")
    page.wait("a 401 message under the token form",
              lambda look: "401" in look["loginMessage"] and not look["signedIn"])

    # The printed token signs in, remembered on this device: two devices, an operate role, a
    # live event stream.
    page.type_token(service.token)
    page.js("document.querySelector('#remember').checked = true")
    page.click("#login")
    look = page.wait("the devices listed, the role known and the stream live", lambda look:
                     look["ready"] == "1" and len(look["devices"]) == 2 and
                     look["role"] == "operate" and look["live"] == "1" and look)
    devices = sorted(x["name"] for x in look["devices"])
    if look["stored"]["local"] != service.token:
        raise Failure(f"expected the ticked token in localStorage, storage holds {look['stored']}")
    for device in look["devices"]:
        if device["state"] not in ("idle", "busy", "unreachable"):
            raise Failure(f"expected each device in a known state, got {look['devices']}")
        if device["stateText"] != t[f"state.{device['state']}"]:
            raise Failure(f"expected the state worded {t['state.' + device['state']]!r}, "
                          f"got {device['stateText']!r}")

    # A file with a code that is no code is refused, the fault worded in the language with its
    # value, and nothing can be sent.
    d.find_element(By.CSS_SELECTOR, "#file").send_keys(faulty)
    look = page.wait("the faulty code to be reported", lambda look: look["faults"] and look)
    fault = look["faults"][0]
    if fault["code"] != "code_not_digits" or "12a" not in fault["text"] or \
            t["column.code"] not in fault["text"]:
        raise Failure(f"expected the fault to name the column and the code 12a, got {look['faults']}")

    # The Windows-1250 file is checked as soon as it is chosen.
    d.find_element(By.CSS_SELECTOR, "#file").send_keys(price_list)
    page.wait(f"the check to count {len(ARTICLES)} articles and find no fault",
              lambda look: look["checkOk"] == str(len(ARTICLES)))
    page.choose("#target", "group:all")

    # A preview of the sync on every device, without changing any: the new articles by name,
    # the raised price as old and new, the deletions counted.
    page.click("#preview")
    look = page.wait("a preview for each device", lambda look: sorted(
        p["device"] for p in look["previews"]) == devices and look, timeout=60)
    old, new = PRICE_CHANGE[lang]
    for p in look["previews"]:
        added = [r["text"] for r in p["rows"] if r["what"] == "added"]
        changed = [r["text"] for r in p["rows"] if r["what"] == "changed"]
        if p["failed"] or (p["added"], p["changed"], p["deleted"]) != (str(len(NEW)), "1", str(DELETED)) \
                or any(not any(name in row for row in added) for _, name, _ in NEW) \
                or not any(old in row and new in row and "CHLEB" in row for row in changed):
            raise Failure(f"expected the preview on {p['device']} to add {[n for _, n, _ in NEW]}, "
                          f"change CHLEB's price {old} → {new} and delete {DELETED}, got {p}")
    if any(x["lastKind"] for x in look["devices"]):
        raise Failure(f"expected a preview not to be a device's last job, got {look['devices']}")

    # The upload to all devices, followed live until both are done: the event stream, not
    # the slow poll behind it, brings the news.
    page.choose("#mode", "upload")
    heard = page.look()["lastEvent"]
    page.click("#send")
    jobs_done(page, "upload", devices, timeout=90)
    if page.look()["lastEvent"] == heard:
        raise Failure("expected the upload's progress to arrive as events, the last event id "
                      f"stayed {heard!r}")
    page.wait("each device's last job to be the upload, done", lambda look: all(
        x["lastKind"] == "upload" and x["lastState"] == "done" for x in look["devices"]))
    labels_csv = promotion_labels(page, devices, t, downloads)

    # The close of day on all devices, after the confirmation that counters will be zeroed.
    page.click("#close-day")
    confirm = page.js("return document.querySelector('#confirm').open && "
                      "document.querySelector('#confirm-text').textContent")
    if not confirm or t["close.confirmTitle"] != page.js(
            "return document.querySelector('#confirm-title').textContent"):
        raise Failure(f"expected the confirmation dialog in {lang}, got: {confirm!r}")
    page.shot("desktop-confirm")
    page.click("#confirm-ok")
    jobs_done(page, "close-day", devices, timeout=90)

    # Both reports listed; one opened with its names as the file had them and its value in zł.
    page.wait("a report of each device", lambda look: sorted(set(look["reports"])) == devices)
    page.click("#reports tr[data-test=report] button.open-report")
    look = page.wait("the opened report to list articles", lambda look: look["reportTable"] and look)
    for _, name, _ in ARTICLES:
        if name not in look["reportTable"]:
            raise Failure(f"expected the report to show {name!r}, got:\n{look['reportTable']}")
    if not re.search(r"\d,\d\d zł" if lang == "pl" else r"\d\.\d\d zł", look["reportHead"]):
        raise Failure(f"expected the report's value written as {lang} writes amounts, got "
                      f"{look['reportHead']!r}")

    # The report as CSV for Polish Excel: ';' between fields, saved through the page.
    page.click("#reports tr[data-test=report] button.download-report")
    saved = page.wait("the report's CSV in the download folder", lambda _: [
        f for f in os.listdir(downloads) if f.endswith(".csv") and f != labels_csv])
    with open(os.path.join(downloads, saved[0]), "rb") as f:
        if b";" not in f.read():
            raise Failure("expected the Excel CSV to separate fields with ';'")
    page.wait("the sales chart with at least one bar or point", lambda look: look["chartMarks"] >= 1)

    # The history: every job of both devices, the preview marked as one; filtered down to one
    # device, to one state, to today, and to the token that started them.
    look = page.wait("the history to list the previews, uploads and closes of day", lambda look: sorted(
        (j["device"], j["kind"]) for j in look["jobs"]) == sorted(
        [(dev, kind) for dev in devices for kind in ("sync", "upload", "close-day")] +
        [(devices[0], "upload")]) and look)
    preview_rows = [j for j in look["jobs"] if j["kind"] == "sync"]
    if any(t["kind.preview"] not in j["text"] for j in preview_rows):
        raise Failure(f"expected the previews named as such in the history, got {preview_rows}")
    starters = look["byOptions"]
    history_filters(page, devices, starters)
    check_language(page, catalogues, "every view filled")

    # The other language is a click away, and back.
    other = "en" if lang == "pl" else "pl"
    page.click(f"#lang [data-lang={other}]")
    title = page.js("return document.querySelector('#history-title').textContent")
    if title != catalogues[other]["history.title"]:
        raise Failure(f"expected the switch to {other} to reword the page, the history reads {title!r}")
    page.click(f"#lang [data-lang={lang}]")
    page.wait(f"the page back in {lang}", lambda look: look["lang"] == lang)

    screenshots(page)

    # Jobs queued on one device when the service stops: the one running ends after its article,
    # the others never start. Started again on the same data and port, the service has a new
    # token: the page finds it by itself and, turned away, asks for the token again. Signed in,
    # the history still has every job.
    path = f"/api/devices/{devices[0]}/upload"
    queued = page.d.execute_async_script("""
        const [path, body, done] = arguments;
        const send = () => fetch(path, {method: 'POST', body, headers: {
          Authorization: `Bearer ${localStorage.getItem('velko.token')}`, 'Content-Type': 'text/csv',
          'Idempotency-Key': crypto.getRandomValues(new Uint32Array(4)).join('-')}}).then(r => r.json());
        Promise.all([send(), send(), send()]).then(jobs => done(jobs.map(j => j.id)), e => done(String(e)));
        """, path, "kod;nazwa;cena\r\n5900001000017;CHLEB ŻYTNI;4,99\r\n")
    if not isinstance(queued, list):
        raise Failure(f"expected three uploads queued on {devices[0]}, got {queued}")
    before = max(j["id"] for j in page.look()["jobs"])
    listen = service.listen
    service.stop()
    page.wait("the page to notice the service is gone", lambda look: look["live"] == "0", timeout=30)
    service = ServiceProcess(velko, os.path.join(work, "data"), log_path, web_root, listen=listen)
    page.service = service
    page.wait("the token form with a 401 message once the page reaches the new service",
              lambda look: not look["signedIn"] and "401" in look["loginMessage"], timeout=60)
    page.type_token(service.token)
    page.js("document.querySelector('#remember').checked = true")
    page.click("#login")
    look = page.wait("the history read anew with the stopped jobs", lambda look:
                     look["ready"] == "1" and all(any(j["id"] == q and j["state"] in ("interrupted", "done")
                                                      for j in look["jobs"]) for q in queued) and look)
    if max(j["id"] for j in look["jobs"]) < before or not any(j["id"] == 1 for j in look["jobs"]):
        raise Failure(f"expected the history to keep the jobs from before the restart, got {look['jobs']}")
    stopped = [j for j in look["jobs"] if j["id"] in queued and j["state"] == "interrupted"]
    if not stopped:
        raise Failure(f"expected at least one of the queued uploads cut off by the stop, got {look['jobs']}")
    prefixes = [t[key].split("{device}")[0] for key in ("outcome.interrupted", "outcome.interruptedEarly")]
    if not all(any(p in j["text"] for p in prefixes) for j in stopped):
        raise Failure(f"expected the cut-off jobs worded as stopped by the service, got {stopped}")
    page.wait(f"the cut-off upload to stay on {devices[0]}'s card", lambda look: any(
        x["name"] == devices[0] and any(f["kind"] == "upload" and f["state"] == "interrupted"
                                        for f in x["failed"]) for x in look["devices"]))
    page.shot("desktop-devices-attention", VIEWS["devices"])

    # A reload signs in from the remembered token; an upload that succeeds clears the card.
    d.refresh()
    page.wait("the page signed in again from the remembered token",
              lambda look: look["ready"] == "1" and look["live"] == "1")
    page.js("document.querySelector('#file').value = ''")
    d.find_element(By.CSS_SELECTOR, "#file").send_keys(price_list)
    page.wait("the file checked again", lambda look: look["checkOk"] == str(len(ARTICLES)))
    page.choose("#mode", "upload")
    page.choose("#target", f"device:{devices[0]}")
    page.click("#send")
    jobs_done(page, "upload", [devices[0]], timeout=60)
    page.wait(f"{devices[0]}'s card clear of the cut-off upload", lambda look: all(
        not x["failed"] for x in look["devices"] if x["name"] == devices[0]))

    # Signing out forgets the token; signed in without "remember", it stays in this tab only.
    page.click("#logout")
    look = page.wait("the token form after signing out", lambda look: not look["signedIn"] and look)
    if look["stored"]["local"] or look["stored"]["session"]:
        raise Failure(f"expected signing out to forget the token, storage holds {look['stored']}")
    page.type_token(service.token)
    page.click("#login")
    look = page.wait("signed in for this tab", lambda look: look["ready"] == "1" and look)
    if look["stored"]["local"] or look["stored"]["session"] != service.token:
        raise Failure(f"expected an unticked token in sessionStorage only, storage holds {look['stored']}")


def promotion_labels(page, devices, t, downloads):
    """The labels view after the upload and a reduction on one device; returns the CSV's name."""
    lang = page.language
    code, name, price = REDUCED
    queued = page.d.execute_async_script("""
        const [path, body, done] = arguments;
        fetch(path, {method: 'POST', body, headers: {
          Authorization: `Bearer ${localStorage.getItem('velko.token')}`, 'Content-Type': 'text/csv',
          'Idempotency-Key': crypto.getRandomValues(new Uint32Array(4)).join('-')}})
          .then(r => r.json()).then(j => done(j.id), e => done(String(e)));
        """, f"/api/devices/{devices[0]}/upload", f"kod;nazwa;cena\r\n{code};{name};{price}\r\n")
    if not isinstance(queued, int):
        raise Failure(f"expected the reduction's upload queued on {devices[0]}, got {queued!r}")

    # Every uploaded article on every device, its price in the language; the reduced one marked
    # and set apart, with the price before it as the lowest and the rule in staff's words.
    look = page.wait("the labels to list the uploaded articles with the reduction", lambda look: len(
        look["labelRows"]) == len(ARTICLES) * len(devices) and any(
        r["reduction"] for r in look["labelRows"]) and look, timeout=30)
    rows = {(r["device"], r["code"]): r for r in look["labelRows"]}
    for device in devices:
        for c, _, p in ARTICLES:
            r = rows.get((device, c))
            reduced = (device, c) == (devices[0], code)
            if not r or r["price"] != money(price if reduced else p, lang) or bool(r["reduction"]) != reduced:
                raise Failure(f"expected {c} on {device} at {money(price if reduced else p, lang)}"
                              f"{' reduced' if reduced else ''}, got {r}")
            if not reduced and r["rule"] != t["labels.rule.no_reduction"]:
                raise Failure(f"expected {c} on {device} worded {t['labels.rule.no_reduction']!r}, got {r}")
    r = rows[(devices[0], code)]
    forms = t["labels.rule.since_first_appeared"]
    forms = forms.values() if isinstance(forms, dict) else [forms]
    if r["lowest"] != money(ARTICLES[1][2], lang) or r["rule"] not in {f.replace("{n}", "30") for f in forms} \
            or not r["since"] or r["background"] == rows[(devices[1], code)]["background"]:
        raise Failure(f"expected the reduced {code} highlighted, its lowest {money(ARTICLES[1][2], lang)} "
                      f"since it went on sale under 30 days ago, got {r}")

    # The CSV for Excel, saved through the page with the token: the header row and Polish decimals.
    page.js("document.querySelector('#labels-excel').checked = true")
    before = set(os.listdir(downloads))
    page.click("#labels-csv")
    saved = page.wait("the labels' CSV in the download folder", lambda _: [
        f for f in set(os.listdir(downloads)) - before if f.endswith(".csv")])
    with open(os.path.join(downloads, saved[0]), encoding="utf-8-sig") as f:
        lines = f.read().splitlines()
    if not lines or lines[0].split(";")[:5] != ["device", "code", "name", "price", "lowest"] or \
            not any(line.startswith(f"{devices[0]};{code};") and ";0,59;0,65;" in line for line in lines):
        raise Failure(f"expected the CSV's header row and {code} at 0,59 after 0,65, got {lines[:4]}")

    # The reduced article's history: a step line per device, the reduction a step down.
    seen = look["priceHistory"]
    page.click(f"#labels tr[data-test=label][data-device='{devices[0]}'][data-code='{code}'] button.code-link")
    look = page.wait("the article's price chart", lambda look: look["priceHistory"] != seen and look)
    lines = {p["device"]: p["d"] for p in look["priceLines"]}
    if sorted(lines) != devices or "V" not in lines[devices[0]] or "V" in lines[devices[1]] or \
            look["priceCaption"] != t["prices.caption"]:
        raise Failure(f"expected a step line per device, one step down on {devices[0]}, and the caption "
                      f"in {lang}, got {look['priceLines']} {look['priceCaption']!r}")
    return saved[0]


def history_filters(page, devices, starters):
    def filtered(what, css, value, keep):
        seen = page.look()["history"]
        page.choose(css, value)
        look = page.wait(f"the history filtered {what}", lambda look: look["history"] != seen and look)
        if not look["jobs"] or not all(keep(j) for j in look["jobs"]):
            raise Failure(f"expected only jobs {what} in the history, got {look['jobs']}")
        seen = look["history"]
        page.choose(css, "")
        page.wait("the history unfiltered", lambda look: look["history"] != seen)

    filtered(f"of {devices[1]}", "#history-device", devices[1], lambda j: j["device"] == devices[1])
    filtered("done", "#history-state", "done", lambda j: j["state"] == "done")
    today = page.js("const d = new Date(); return new Date(d - d.getTimezoneOffset() * 60000)"
                    ".toISOString().slice(0, 10)")
    filtered("of today", "#history-day", today, lambda j: True)
    if not starters:
        raise Failure("expected the history to offer who started the jobs as a filter")
    filtered(f"started by {starters[0]}", "#history-by", starters[0],
             lambda j: j["kind"] in ("sync", "upload", "close-day"))


def screenshots(page):
    """Every view at each size; at tablet sizes nothing is wider than the screen."""
    for size, (width, height) in SIZES.items():
        page.size(width, height)
        overflow = page.js("return document.documentElement.scrollWidth - window.innerWidth")
        if overflow > 0:
            raise Failure(f"expected nothing wider than the {size} screen, the page is {overflow}px wider")
        for view, css in VIEWS.items():
            page.shot(f"{size}-{view}", css)
    page.size(*SIZES["desktop"])


def browser(language, downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 f"--lang={language}", "--window-size=1600,1000", "--hide-scrollbars"):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {
        "intl.accept_languages": language,
        "download.default_directory": downloads,
        "download.prompt_for_download": False,
        # The reports and the labels are both saved: a second download must not wait for a "yes".
        "profile.default_content_setting_values.automatic_downloads": 1,
    })
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                            options=options)


def one_language(language, velko, outdir, web_root):
    work = tempfile.mkdtemp(prefix=f"velko-serve-page-{language}-")
    downloads = os.path.join(work, "downloads")
    os.makedirs(downloads)
    log_path = os.path.join(outdir, f"serve-{language}-page-test.log")
    open(log_path, "w").close()
    driver = None
    started = time.monotonic()
    try:
        driver = browser(language, downloads)
        page = Page(driver, outdir, language)
        scenario(page, velko, work, web_root, log_path, downloads)
        print(f"serve_page_test: the page works in {language} "
              f"({time.monotonic() - started:.0f} s); screenshots in {outdir}/serve-{language}-*.png")
        return True
    except (Failure, WebDriverException, OSError) as error:
        print(f"serve_page_test: {language}: FAILED: {error}", file=sys.stderr)
        if driver is not None:
            try:
                driver.save_screenshot(os.path.join(outdir, f"serve-{language}-failure.png"))
                print(f"serve_page_test: the page as it was: {outdir}/serve-{language}-failure.png",
                      file=sys.stderr)
                for entry in driver.get_log("browser"):
                    print(f"  browser {entry.get('level')}: {entry.get('message')}", file=sys.stderr)
            except WebDriverException:
                pass
        print(f"serve_page_test: the service's output: {log_path}", file=sys.stderr)
        return False
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    args = argv[1:]
    options = {"--web-root": None, "--lang": "pl,en"}
    for name in options:
        if name in args:
            i = args.index(name)
            options[name] = args[i + 1]
            del args[i:i + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    velko, outdir = os.path.abspath(args[0]), os.path.abspath(args[1])
    web_root = os.path.abspath(options["--web-root"]) if options["--web-root"] else None
    os.makedirs(outdir, exist_ok=True)
    for old in os.listdir(outdir):
        if old.startswith("serve-") and old.endswith(".png"):
            os.remove(os.path.join(outdir, old))
    results = [one_language(language, velko, outdir, web_root)
               for language in options["--lang"].split(",")]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
