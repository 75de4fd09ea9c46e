#!/usr/bin/env python3
"""The staff page of velko serve, driven in headless Chromium as a person at the counter would.

    serve_page_test.py VELKO OUTDIR [--web-root DIR]

Starts `VELKO serve --simulate 2` on a free port with a fresh data folder, then, through the
page only: a wrong token is turned away, the printed token signs in, a Windows-1250 price list
is chosen, checked and previewed, uploaded to all devices and followed until both jobs are done,
the day is closed on all devices after the confirmation, both reports are listed, one is opened
(its Polish names intact) and saved as CSV, and the sales chart is drawn. Screenshots at desktop
and tablet sizes go to OUTDIR as serve-*.png; a failure says what was expected and saves
serve-failure.png.
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
    from selenium.common.exceptions import (ElementClickInterceptedException,
                                            NoSuchElementException,
                                            StaleElementReferenceException, TimeoutException,
                                            WebDriverException)
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    # Debian's python3-selenium is installed for the system interpreter; a python3 found first
    # on PATH (a virtual environment, pyenv) may not see it.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and \
            os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("serve_page_test: python3-selenium is missing (apt-get install python3-selenium)")

# Four articles with Polish letters that Windows-1250 and UTF-8 write differently. The file is
# written in Windows-1250 as shop back offices export it: the page must send its bytes untouched
# for the names to come back whole. The first two are on a new simulated device already, as the
# file has them; the last two are new to it.
ARTICLES = [
    ("5900001000017", "CHLEB ŻYTNI", "4,50"),
    ("5900001000024", "BUŁKA KAJZERKA", "0,65"),
    ("5900001000090", "ŹRÓDLANA WODA 1,5L", "2,19"),
    ("5900001000106", "PĄCZEK Z RÓŻĄ", "2,49"),
]
NEW = ARTICLES[2:]


class Failure(Exception):
    pass


class ServiceProcess:
    """velko serve with --simulate, its announced address and token read from standard output."""

    def __init__(self, velko, data, log_path, web_root=None):
        command = [velko, "serve", "--simulate", "2", "--listen", "127.0.0.1:0", "--data", data]
        if web_root:
            command += ["--web-root", web_root]
        self.log = open(log_path, "w", encoding="utf-8")
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

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class Page:
    def __init__(self, driver, outdir):
        self.d = driver
        self.outdir = outdir

    # The page redraws lists as events arrive: an element found a moment ago may be gone, and
    # the condition is simply tried again.
    TRANSIENT = (NoSuchElementException, StaleElementReferenceException,
                 ElementClickInterceptedException)

    def wait(self, what, condition, timeout=20):
        try:
            return WebDriverWait(self.d, timeout, poll_frequency=0.2,
                                 ignored_exceptions=self.TRANSIENT).until(lambda _: condition())
        except TimeoutException:
            raise Failure(f"expected {what} within {timeout} s") from None

    def one(self, css):
        return self.d.find_element(By.CSS_SELECTOR, css)

    def all(self, css):
        return self.d.find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        found = self.all(css)
        return found[0].text if found else ""

    def click(self, css):
        def attempt():
            element = self.one(css)
            self.d.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
            if not (element.is_displayed() and element.is_enabled()):
                return False
            element.click()
            return True
        self.wait(f"{css} to be there and enabled to click", attempt)

    def size(self, width, height):
        self.d.set_window_size(width, height)
        self.wait(f"the window to be {width} wide",
                  lambda: abs(self.d.execute_script("return window.innerWidth") - width) < 40)

    def shot(self, name, css=None):
        if css:
            self.d.execute_script("arguments[0].scrollIntoView({block: 'start'})", self.one(css))
        else:
            self.d.execute_script("window.scrollTo(0, 0)")
        # Scrolling is synchronous, but the sticky header repaints on the next frame.
        self.d.execute_script("return new Promise(r => requestAnimationFrame(() => r()))")
        self.d.save_screenshot(os.path.join(self.outdir, f"serve-{name}.png"))

    def jobs(self, kind):
        """The newest batch's jobs of a kind, as (device, state, detail) tuples."""
        batch = self.all("#progress .batch")
        if not batch:
            return []
        rows = batch[0].find_elements(By.CSS_SELECTOR, f"li[data-test=job][data-kind='{kind}']")
        return [(r.get_attribute("data-device"), r.get_attribute("data-state"), r.text)
                for r in rows]

    def wait_jobs_done(self, kind, devices, timeout):
        def finished():
            jobs = self.jobs(kind)
            if sorted(j[0] for j in jobs) != sorted(devices):
                return False
            bad = [j for j in jobs if j[1] in ("failed", "interrupted", "cancelled")]
            if bad:
                raise Failure(f"expected every {kind} job to be done, got {bad}")
            return all(j[1] == "done" for j in jobs)
        self.wait(f"{kind} jobs on {devices} to show done", finished, timeout)


def write_price_list(folder):
    path = os.path.join(folder, "cennik.csv")
    lines = ["kod;nazwa;cena;flaga;grupa"] + [f"{c};{n};{p};0;1" for c, n, p in ARTICLES]
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("cp1250"))
    return path


def scenario(page, service, price_list, downloads):
    d = page.d
    page.size(1280, 900)
    d.get(service.url)

    # A wrong token is turned away with a message that says so.
    page.wait("the token form", lambda: page.one("#token").is_displayed())
    page.shot("desktop-login")
    page.one("#token").send_keys("not-the-token-0000")
    page.click("#login")
    page.wait("a 401 message under the token form",
              lambda: "401" in page.text("#login-message") and page.one("#app").get_attribute("hidden") is not None)

    # The printed token signs in: two devices, an operate role, a live event stream.
    page.one("#token").send_keys(service.token)
    page.click("#login")
    # Read inside the wait: the list may be redrawn between finding an element and reading it.
    devices = page.wait("two devices listed", lambda: (lambda names: names if len(names) == 2 else None)(
        sorted(e.get_attribute("data-device") for e in page.all("#devices [data-test=device]"))))
    page.wait("the role to read 'operate'", lambda: page.text("#role") == "operate")
    page.wait("the event stream to be live",
              lambda: page.one("#live").get_attribute("data-live") == "1")
    page.wait("each device in a known state", lambda: all(
        e.get_attribute("data-state") in ("idle", "busy", "unreachable")
        for e in page.all("#devices [data-test=device]")))

    # The Windows-1250 file is checked as soon as it is chosen.
    page.one("#file").send_keys(price_list)
    page.wait(f"the check to count {len(ARTICLES)} articles and find no fault",
              lambda: f"{len(ARTICLES)} articles" in page.text("[data-test=check-ok]"))
    Select(page.one("#target")).select_by_value("group:all")

    # A preview of the sync on every device, without changing any.
    page.click("#preview")
    page.wait("a preview for each device", lambda: sorted(
        e.get_attribute("data-device") for e in page.all("#preview-result .preview-device")) == devices,
        timeout=90)
    previews = page.wait("the previews read", lambda: [
        (section.find_element(By.CSS_SELECTOR, "[data-test=preview-summary]").text,
         [row.text for row in section.find_elements(By.CSS_SELECTOR, "tbody tr")
          if row.text.startswith("added")], section.text)
        for section in page.all("#preview-result .preview-device")])
    for summary, added, text in previews:
        if not summary.startswith(f"{len(NEW)} added") or \
                any(not any(name in row for row in added) for _, name, _ in NEW):
            raise Failure(f"expected the preview to add {[n for _, n, _ in NEW]}, got:\n{text}")

    # The upload to all devices, followed live until both are done.
    Select(page.one("#mode")).select_by_value("upload")
    page.click("#send")
    page.wait("two upload jobs listed", lambda: len(page.jobs("upload")) == 2)
    page.wait_jobs_done("upload", devices, timeout=120)
    page.wait("each device's last job to show the upload done", lambda: all(
        "Upload" in e.text and "done" in e.text for e in page.all("#devices [data-test=last-job]")))
    page.shot("desktop-devices")
    page.shot("desktop-pricelist", "#pricelist-title")

    # The close of day on all devices, after the confirmation that counters will be zeroed.
    page.click("#close-day")
    page.wait("the confirmation dialog", lambda: page.one("#confirm").get_attribute("open") is not None)
    if "zeroed" not in page.text("#confirm-text"):
        raise Failure(f"expected the confirmation to say counters are zeroed, got: {page.text('#confirm-text')}")
    page.shot("desktop-confirm")
    page.click("#confirm-ok")
    page.wait_jobs_done("close-day", devices, timeout=120)

    # Both reports listed; one opened as a table with its names as the file had them.
    page.wait("a report of each device", lambda: sorted(
        {r.find_element(By.CSS_SELECTOR, "td:nth-child(2)").text
         for r in page.all("#reports tr[data-test=report]")}) == devices)
    page.click("#reports tr[data-test=report] button.open-report")
    page.wait("the opened report to list articles",
              lambda: len(page.all("#report-table tbody tr")) >= 1)
    report = page.text("#report-table")
    for _, name, _ in ARTICLES:
        if name not in report:
            raise Failure(f"expected the report to show {name!r}, got:\n{report}")
    page.shot("desktop-reports", "#reports-title")

    # The report as CSV for Polish Excel: ';' between fields, saved through the page.
    page.click("#reports tr[data-test=report] button.download-report")
    saved = page.wait("the report's CSV in the download folder", lambda: [
        f for f in os.listdir(downloads) if f.endswith(".csv")], timeout=20)
    with open(os.path.join(downloads, saved[0]), "rb") as f:
        csv = f.read()
    if b";" not in csv:
        raise Failure(f"expected the Excel CSV to separate fields with ';', got: {csv[:200]!r}")

    # Sales: turnover per day and the best sellers, drawn as SVG.
    page.wait("the sales chart with at least one bar or point",
              lambda: len(page.all("#sales-chart svg .bar, #sales-chart svg .point")) >= 1)
    page.shot("desktop-sales", "#sales-title")

    # The same page on a tablet at the counter: one column, nothing wider than the screen.
    page.size(800, 1100)
    page.wait("one column at tablet width", lambda: d.execute_script(
        "return getComputedStyle(document.getElementById('app')).gridTemplateColumns.split(' ').length") == 1)
    overflow = d.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
    if overflow > 0:
        raise Failure(f"expected nothing wider than the tablet's screen, the page is {overflow}px wider")
    page.shot("tablet-devices")
    page.shot("tablet-reports", "#reports-title")
    page.shot("tablet-sales", "#sales-title")


def main(argv):
    args = argv[1:]
    web_root = None
    if "--web-root" in args:
        i = args.index("--web-root")
        web_root = args[i + 1]
        del args[i:i + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    velko, outdir = os.path.abspath(args[0]), os.path.abspath(args[1])
    os.makedirs(outdir, exist_ok=True)
    for old in os.listdir(outdir):
        if old.startswith("serve-") and old.endswith(".png"):
            os.remove(os.path.join(outdir, old))

    work = tempfile.mkdtemp(prefix="velko-serve-page-")
    downloads = os.path.join(work, "downloads")
    os.makedirs(downloads)
    service = driver = None
    page = None
    status = 1
    try:
        price_list = write_price_list(work)
        service = ServiceProcess(velko, os.path.join(work, "data"),
                                 os.path.join(outdir, "serve-page-test.log"), web_root)

        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--lang=pl-PL", "--window-size=1280,900", "--hide-scrollbars"):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {
            "download.default_directory": downloads,
            "download.prompt_for_download": False,
        })
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                  options=options)
        page = Page(driver, outdir)
        scenario(page, service, price_list, downloads)
        print(f"serve_page_test: the page works; screenshots in {outdir}/serve-*.png")
        status = 0
    except (Failure, WebDriverException, OSError) as error:
        print(f"serve_page_test: FAILED: {error}", file=sys.stderr)
        if driver is not None:
            try:
                driver.save_screenshot(os.path.join(outdir, "serve-failure.png"))
                print(f"serve_page_test: the page as it was: {outdir}/serve-failure.png", file=sys.stderr)
                for entry in driver.get_log("browser"):
                    print(f"  browser {entry.get('level')}: {entry.get('message')}", file=sys.stderr)
            except WebDriverException:
                pass
        if service is not None:
            print(f"serve_page_test: the service's output: {outdir}/serve-page-test.log", file=sys.stderr)
    finally:
        if driver is not None:
            driver.quit()
        if service is not None:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
