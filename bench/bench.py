#!/usr/bin/env python3
"""Benchmarks of the bootstrapper against curl, unzip and sh, on 127.0.0.1.

    bench.py --program PATH [--quick] [--runs N] [--download-mib N] ...

Each comparison runs its two sides alternately in one invocation (so a load
that comes and goes hits both alike) and prints the median of --runs runs of
each side and their ratio.  Archives are stored (uncompressed) zips of random
data, made once per invocation in a temporary folder that is removed at the
end, as are the nginx server, the per-run HOMEs and everything unpacked.

Comparisons:
  download   download route end to end (terminal window) vs curl + unzip + sh
  cache      cache hit: large vs small archive, vs the bundle's in-place entry;
             bytes nginx sent per hit (its access log, $body_bytes_sent)
  transfer   the transfer alone (transfer_bench: URL session + Download
             reports, no unpacking) vs `curl -s -o /dev/null`
  rss        peak resident set (VmHWM) of the bootstrapper itself on the
             download route, small vs large archive
  cancel     from SIGINT (or the window's close box) to the end of a run
             whose server answers nothing
  console    bundle's in-place entry via the bootstrapper vs `sh ENTRY`

The GTK window's figures (transfer, peak memory, cancel) run on an Xvfb display
of the script's own when Xvfb is installed (--gtk requires them, --no-gtk
skips them).
"""
import argparse
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from nginx_server import NginxServer  # noqa: E402
from fault_server import FaultServer  # noqa: E402
from test_window import VirtualDisplay, send_close_box  # noqa: E402

MIB = 1 << 20
ENTRY = "ZavirirazUdaDad"
CHUNK = 4 * MIB
RUN_TIMEOUT = 300
# The GTK window module, loaded from beside the program when a display may open.
GTK_MODULE = "bootstrapper-gtk.so"
# Only a hang exceeds this: the wait for a request or for a window.
NO_HANG = 30.0

# The install agent: exits at once.  With BENCH_RSS_FILE set it first walks up
# from its parent to the bootstrapper process (the program may start it through
# `sh -c`) and writes that process's peak resident set, as the kernel counts it.
AGENT = b"""\
if [ -n "$BENCH_RSS_FILE" ]; then
  p=$PPID
  while [ "${p:-0}" -gt 1 ]; do
    name=$(cat /proc/$p/comm 2>/dev/null)
    if [ "$name" = bootstrapper ]; then
      grep '^VmHWM' /proc/$p/status > "$BENCH_RSS_FILE"
      break
    fi
    p=$(sed -n 's/^PPid:[[:space:]]*//p' /proc/$p/status)
  done
fi
exit 0
"""


def make_archive(path, size):
    """A stored zip with `install` first and `payload.bin` of size random bytes."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        info = zipfile.ZipInfo("install", date_time=(2024, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        archive.writestr(info, AGENT)
        info = zipfile.ZipInfo("payload.bin", date_time=(2024, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        with archive.open(info, "w", force_zip64=size >= 2 ** 31) as out:
            left = size
            while left:
                n = min(CHUNK, left)
                out.write(os.urandom(n))
                left -= n


def base_environment(home, tmpdir, display=None):
    """A private HOME and TMPDIR, no proxies; no display (the terminal window)
    unless `display` names one (the GTK window on X11)."""
    env = {k: os.environ[k] for k in ("PATH", "LANG", "LC_ALL") if k in os.environ}
    env.update(HOME=home, TMPDIR=tmpdir)
    if display:
        env.update(DISPLAY=display, GDK_BACKEND="x11", NO_AT_BRIDGE="1")
    return env


def wait_blocking(process, limit):
    """process's status, waited for in waitpid (no polling); killed after `limit` seconds."""
    watchdog = threading.Timer(limit, process.kill)
    watchdog.start()
    try:
        return process.wait()
    finally:
        watchdog.cancel()


def timed(command, env, stderr_path, cwd=None, stdout=subprocess.DEVNULL):
    """Seconds command took; raises when it fails.

    The wait blocks in waitpid: subprocess's own time-out polls with sleeps
    that double up to 50 ms, which would round a 9 ms run up to 16 ms. A
    watchdog kills a run that hangs instead."""
    with open(stderr_path, "wb") as err:
        start = time.perf_counter()
        process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout, stderr=err)
        returncode = wait_blocking(process, RUN_TIMEOUT)
        elapsed = time.perf_counter() - start
    if returncode != 0:
        raise RuntimeError("%s ended with status %d:\n%s" % (command, returncode, tail_of(stderr_path)))
    return elapsed


def check_window(stderr_path, display):
    """Raises when a run meant for the GTK window showed the terminal window
    (on standard error, starting with its status line) instead."""
    if display:
        with open(stderr_path, "rb") as f:
            if f.read().startswith(b"Downloading"):
                raise RuntimeError("the terminal window, not GTK, on %s:\n%s" % (display, tail_of(stderr_path)))


def tail_of(path):
    with open(path, "rb") as f:
        return f.read()[-2000:].decode("utf-8", "replace")


def make_bundle(parent, name, program, resources):
    contents = os.path.join(parent, name + ".app", "Contents")
    macos, res = os.path.join(contents, "MacOS"), os.path.join(contents, "Resources")
    os.makedirs(macos)
    os.makedirs(res)
    shutil.copy2(program, os.path.join(macos, "bootstrapper"))
    module = os.path.join(os.path.dirname(program), GTK_MODULE)
    if os.path.exists(module):  # the GTK window, found beside the program
        shutil.copy2(module, os.path.join(macos, GTK_MODULE))
    for file_name, data in resources.items():
        with open(os.path.join(res, file_name), "wb") as f:
            f.write(data)
    return os.path.join(macos, "bootstrapper"), res


class Bench:
    def __init__(self, options, work):
        self.options = options
        self.work = work
        self.www = os.path.join(work, "www")
        os.makedirs(self.www)
        self.rows = []  # (name, goal, a label, a median, b label, b median, ratio text, extra)
        self.archives = {}
        self.display = None  # the Xvfb of the GTK figures, started on first use

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def archive(self, mib):
        """URL path of a stored archive of mib MiB of random data, made on first use."""
        name = "agent-%dm.zip" % mib
        if mib not in self.archives:
            start = time.perf_counter()
            make_archive(os.path.join(self.www, name), mib * MIB)
            log("made %s in %.1f s" % (name, time.perf_counter() - start))
            self.archives[mib] = name
        return name

    def fresh(self, label):
        """A new empty folder (HOME or TMPDIR of one run)."""
        folder = tempfile.mkdtemp(prefix=label + "-", dir=self.work)
        return folder

    def once(self, run):
        """run(home, tmpdir) in a fresh, empty HOME and TMPDIR, removed afterwards."""
        home, tmp = self.fresh("home"), self.fresh("tmp")
        try:
            return run(home, tmp)
        finally:
            shutil.rmtree(home), shutil.rmtree(tmp)

    def gtk_display(self):
        """The X display for the GTK window's figures, or None when they are skipped."""
        if self.options.gtk is False or (self.options.gtk is None and not shutil.which("Xvfb")):
            return None
        if self.display is None:
            self.display = VirtualDisplay()
            log("Xvfb on display " + self.display.name)
        return self.display.name

    def stop_display(self):
        if self.display is not None:
            self.display.stop()
            self.display = None

    def alternate(self, sides, prepare=None):
        """Runs each side (a function returning seconds) --runs times, alternately; medians in order."""
        samples = [[] for _ in sides]
        for i in range(self.options.runs):
            for j, side in enumerate(sides):
                samples[j].append(side())
        return [statistics.median(s) for s in samples], samples

    # (1) download route end to end, terminal window, vs curl + unzip + sh.
    def download(self, server):
        mib = self.options.download_mib
        name = self.archive(mib)
        url = server.url(name)
        program, res = make_bundle(self.path("dl"), "Dl", self.options.program, {"installAgentURL.txt": url.encode()})

        def bootstrap():
            return self.once(lambda home, tmp: timed([program], base_environment(home, tmp),
                                                     self.path("dl-bootstrap.err")))

        def tools():
            script = ('curl -s -o "$TMPDIR/a.zip" "$1" && unzip -qq -o "$TMPDIR/a.zip" -d "$TMPDIR/agent" '
                      '&& sh "$TMPDIR/agent/install" -installbundle "$2/bundle.zip"')
            return self.once(lambda home, tmp: timed(["sh", "-c", script, "sh", url, res],
                                                     base_environment(home, tmp), self.path("dl-tools.err")))

        (a, b), _ = self.alternate([bootstrap, tools])
        self.rows.append(("1. download route, terminal window, %d MiB" % mib, "ratio <= 1.05",
                          "bootstrapper", a, "curl + unzip + sh", b, fmt_ratio(a / b), ""))

    # (2) the transfer alone: the URL session driving the Download's reports,
    # each handed over to the main thread, nothing unpacked; vs curl.
    def transfer(self, server):
        mib = self.options.download_mib
        name = self.archive(mib)
        url = server.url(name)
        size = os.path.getsize(os.path.join(self.www, name))
        inside = {}  # window -> the program's own figure of each run (seconds)

        def transfer_bench(window, display):
            def run(home, tmp):
                out = self.path("transfer.out")
                with open(out, "wb") as f:
                    elapsed = timed([self.options.transfer_bench, url], base_environment(home, tmp, display),
                                    self.path("transfer.err"), stdout=f)
                check_window(self.path("transfer.err"), display)
                with open(out) as f:
                    fields = f.read().split()  # bytes N seconds S
                if int(fields[1]) != size:
                    raise RuntimeError("transfer_bench received %s of %d bytes" % (fields[1], size))
                inside.setdefault(window, []).append(float(fields[3]))
                return elapsed
            return lambda: self.once(run)

        def curl():
            return self.once(lambda home, tmp: timed(["curl", "-s", "-o", "/dev/null", url],
                                                     base_environment(home, tmp), self.path("curl.err")))

        # The session keeps the body in a file, as the unpacking needs it, and
        # removes it at the end: the same work done by curl, for reference.
        def curl_to_file():
            script = 'curl -s -o "$TMPDIR/body" "$1" && rm "$TMPDIR/body"'
            return self.once(lambda home, tmp: timed(["sh", "-c", script, "sh", url],
                                                     base_environment(home, tmp), self.path("curl-file.err")))

        windows = [("terminal window", None)]
        if self.gtk_display():
            windows.append(("GTK window (Xvfb)", self.gtk_display()))
        medians, _ = self.alternate([curl, curl_to_file] + [transfer_bench(w, d) for w, d in windows])
        for letter, (window, _), median in zip("ab", windows, medians[2:]):
            self.rows.append(("2%s. transfer alone, %s, %d MiB" % (letter, window, mib), "ratio <= 1.05",
                              "transfer_bench", median, "curl -o /dev/null", medians[0],
                              fmt_ratio(median / medians[0]),
                              "in-program %.1f ms; curl -o FILE + rm %.1f ms (ratio %s)" % (
                                  statistics.median(inside[window]) * 1000, medians[1] * 1000,
                                  fmt_ratio(median / medians[1]))))

    # (3) cache hit: large vs small archive, and vs the bundle's in-place entry.
    def cache(self, server):
        large, small = self.options.cache_large_mib, self.options.cache_small_mib
        results = {}
        for mib in (large, small):
            url = server.url(self.archive(mib))
            program, _ = make_bundle(self.path("cache-%d" % mib), "Cache", self.options.program,
                                     {"installAgentURL.txt": url.encode()})
            home = self.fresh("home-cache-%d" % mib)
            tmp = self.fresh("tmp-cache-%d" % mib)
            env = base_environment(home, tmp)
            timed([program], env, self.path("cache-fill.err"))  # fills the cache
            results[mib] = (program, env)
        entry_program, _ = make_bundle(self.path("entry"), "Entry", self.options.program, {ENTRY: AGENT})
        entry_env = base_environment(self.fresh("home-entry"), self.fresh("tmp-entry"))
        log_mark = access_log_lines(server)

        def hit(mib):
            program, env = results[mib]
            return lambda: timed([program], env, self.path("cache-hit.err"))

        (t_large, t_small, t_entry), _ = self.alternate(
            [hit(large), hit(small), lambda: timed([entry_program], entry_env, self.path("entry.err"))])
        time.sleep(0.5)  # nginx logs an abandoned request once it sees the connection close
        sent = bytes_sent(server, log_mark)
        per_hit = {mib: [b for path, b in sent if path.endswith(self.archives[mib])] for mib in (large, small)}
        bytes_text = ", ".join("%d MiB: max %s over %d hits" % (mib, fmt_bytes(max(v) if v else None), len(v))
                               for mib, v in per_hit.items())
        self.rows.append(("3a. cache hit, %d MiB vs %d MiB archive" % (large, small), "within 10%",
                          "%d MiB" % large, t_large, "%d MiB" % small, t_small, fmt_ratio(t_large / t_small), ""))
        self.rows.append(("3b. cache hit %d MiB vs bundle entry (%s)" % (large, ENTRY), "<= 20 ms more",
                          "cache hit", t_large, "bundle entry", t_entry,
                          "%+.1f ms" % ((t_large - t_entry) * 1000), ""))
        worst = max((b for v in per_hit.values() for b in v), default=None)
        self.rows.append(("3c. bytes nginx sent per cache hit", "<= 4 MiB", "", None, "", None,
                          fmt_bytes(worst), bytes_text))

    # (4) peak RSS of the bootstrapper itself on the download route.
    def peak_rss_kib(self, server, mib, display=None):
        """Median VmHWM (KiB) of the bootstrapper over --runs download-route runs."""
        url = server.url(self.archive(mib))
        program, _ = make_bundle(self.path("rss-%d-%s" % (mib, "gtk" if display else "terminal")), "Rss",
                                 self.options.program, {"installAgentURL.txt": url.encode()})
        out = self.path("rss.txt")

        def run(home, tmp):
            if os.path.exists(out):
                os.remove(out)
            env = base_environment(home, tmp, display)
            env["BENCH_RSS_FILE"] = out
            timed([program], env, self.path("rss.err"))
            check_window(self.path("rss.err"), display)
            with open(out) as f:
                return int(f.read().split()[1])  # "VmHWM:   1234 kB"

        return statistics.median(self.once(run) for _ in range(self.options.runs))

    def rss(self, server):
        sizes = (self.options.rss_small_mib, self.options.rss_large_mib)
        peaks = {mib: self.peak_rss_kib(server, mib) for mib in sizes}
        small, large = sizes
        self.rows.append(("4a. peak RSS, download route, terminal, %d MiB" % large, "<= 16 MiB",
                          "VmHWM", peaks[large] / 1024.0, "", None, "%.1f MiB" % (peaks[large] / 1024.0), "MiB"))
        self.rows.append(("4b. peak RSS %d MiB vs %d MiB archive" % (large, small), "within 10%",
                          "%d MiB" % large, peaks[large] / 1024.0, "%d MiB" % small, peaks[small] / 1024.0,
                          fmt_ratio(peaks[large] / peaks[small]), "MiB"))
        if self.gtk_display():
            gtk = self.peak_rss_kib(server, large, self.gtk_display()) / 1024.0
            self.rows.append(("4c. peak RSS, download route, GTK window (Xvfb), %d MiB" % large, "(no goal)",
                              "VmHWM", gtk, "", None, "%.1f MiB" % gtk, "MiB"))

    # (5) cancel latency: a server that reads the request and never answers;
    # from the signal (or the close box) until the run has ended.
    def cancel(self):
        with FaultServer("--max-seconds", "900") as server:
            url = "http://127.0.0.1:%d/agent.zip?silent" % server.port
            program, _ = make_bundle(self.path("cancel"), "Cancel", self.options.program,
                                     {"installAgentURL.txt": url.encode()})
            ends = [("5a", "terminal window, SIGINT", None, by_signal(signal.SIGINT))]
            display = self.gtk_display()
            if display:
                ends += [("5b", "GTK window (Xvfb), close box", display, by_close_box(display)),
                         ("5c", "GTK window (Xvfb), SIGTERM", display, by_signal(signal.SIGTERM))]

            def side(display, end):
                return lambda: self.once(lambda home, tmp: self.cancelled_run(
                    program, server, base_environment(home, tmp, display), end))

            medians, samples = self.alternate([side(display, end) for _, _, display, end in ends])
        for (number, what, _, _), median, runs in zip(ends, medians, samples):
            self.rows.append(("%s. cancel latency, %s" % (number, what), "<= 250 ms", "to the end", median,
                              "", None, "", "slowest %.1f ms" % (max(runs) * 1000)))

    def cancelled_run(self, program, server, env, end):
        """Seconds from end(process) (which returns when it acted) until the
        program, waiting for a silent server, has ended."""
        before = server.stats()["requests"]
        err = self.path("cancel.err")
        with open(err, "wb") as f:
            proc = subprocess.Popen([program], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=f)
        try:
            wait_for(lambda: server.stats()["requests"] > before, "the request at the server", proc, err)
            start = end(proc, err)
            status = wait_blocking(proc, NO_HANG)
            elapsed = time.perf_counter() - start
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if status < 0 and -status not in (signal.SIGINT, signal.SIGTERM):
            raise RuntimeError("%s died of signal %d:\n%s" % (program, -status, tail_of(err)))
        return elapsed

    # (6) console route overhead.
    def console(self):
        program, res = make_bundle(self.path("console"), "Console", self.options.program, {ENTRY: AGENT})
        env = base_environment(self.fresh("home-console"), self.fresh("tmp-console"))
        entry = os.path.join(res, ENTRY)
        (a, b), _ = self.alternate([
            lambda: timed([program], env, self.path("console.err")),
            lambda: timed(["sh", entry, "-installbundle", os.path.join(res, "bundle.zip")], env,
                          self.path("sh.err"))])
        self.rows.append(("6. console route (%s) vs sh ENTRY" % ENTRY, "<= 10 ms added", "bootstrapper", a,
                          "sh", b, "%+.1f ms" % ((a - b) * 1000), ""))


# The Bench methods in the order they run: (name, what the log says, whether
# they need nginx).  Those without nginx run first.
COMPARISONS = [
    ("console", "console route", False),
    ("cancel", "cancel latency", False),
    ("download", "download route", True),
    ("transfer", "transfer alone", True),
    ("cache", "cache hit", True),
    ("rss", "peak RSS", True),
]


def wait_for(condition, what, proc, stderr_path):
    """condition()'s first true value, polled while proc runs; raises after NO_HANG."""
    deadline = time.monotonic() + NO_HANG
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        if proc.poll() is not None:
            raise RuntimeError("ended (status %d) before %s:\n%s" % (proc.returncode, what, tail_of(stderr_path)))
        time.sleep(0.005)
    raise RuntimeError("no %s after %.0f s:\n%s" % (what, NO_HANG, tail_of(stderr_path)))


def by_signal(number):
    """Ends a run with a signal; the time it was sent."""
    def end(proc, _stderr_path):
        start = time.perf_counter()
        proc.send_signal(number)
        return start
    return end


def by_close_box(display):
    """Ends a run as the user does with the window's close box; the time the
    message left (after the window was found)."""
    def end(proc, stderr_path):
        window = wait_for(lambda: window_of(proc.pid, display), "window on " + display, proc, stderr_path)
        start = time.perf_counter()
        send_close_box(display, window)
        return start
    return end


def window_of(pid, display):
    """The id of a visible X window of process pid, or None."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], capture_output=True,
                           text=True, env=dict(os.environ, DISPLAY=display), timeout=NO_HANG).stdout.split()
    return int(found[0]) if found else None


def access_log_lines(server):
    try:
        with open(os.path.join(server.state, "access.log")) as f:
            return len(f.readlines())
    except OSError:
        return 0


def bytes_sent(server, skip):
    """(path, $body_bytes_sent) of each request logged after the first skip lines."""
    out = []
    with open(os.path.join(server.state, "access.log")) as f:
        for line in f.readlines()[skip:]:
            # combined: addr - user [time] "GET /path HTTP/1.1" status bytes "ref" "agent"
            try:
                request, rest = line.split('"', 2)[1], line.split('"', 2)[2]
                out.append((request.split()[1], int(rest.split()[1])))
            except (IndexError, ValueError):
                continue
    return out


def fmt_ratio(r):
    return "%.3f" % r


def fmt_bytes(n):
    if n is None:
        return "n/a"
    return "%d B (%.2f MiB)" % (n, n / MIB)


def fmt_value(v, unit):
    if v is None:
        return ""
    if unit == "MiB":
        return "%.1f MiB" % v
    return "%.1f ms" % (v * 1000)


def log(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def comparison_number(row):
    return int(re.match(r"\d+", row[0]).group())


def print_table(rows, options):
    print("| comparison | goal | measured (median of %d) | ratio / difference |" % options.runs)
    print("|---|---|---|---|")
    # In the comparisons' numbering, whatever order they ran in.
    for name, goal, a_label, a, b_label, b, ratio, extra in sorted(rows, key=comparison_number):
        unit = "MiB" if extra == "MiB" else ""
        parts = []
        if a is not None:
            parts.append("%s %s" % (a_label, fmt_value(a, unit)))
        if b is not None:
            parts.append("%s %s" % (b_label, fmt_value(b, unit)))
        if extra and extra != "MiB":
            parts.append(extra)
        print("| %s | %s | %s | %s |" % (name, goal, "; ".join(parts), ratio))


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            mem = f.readline().split()[1]
    except OSError:
        mem = "0"
    return "%d CPUs (%s), %.1f GiB memory, %s %s, load average %s" % (
        os.cpu_count(), model, int(mem) / 1024.0 / 1024.0, platform.system(), platform.release(),
        " ".join("%.2f" % x for x in os.getloadavg()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the bootstrapper to measure (a Release build)")
    parser.add_argument("--quick", action="store_true", help="small archives (64 MiB instead of 512 MiB / 1 GiB)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--download-mib", type=int)
    parser.add_argument("--cache-large-mib", type=int)
    parser.add_argument("--cache-small-mib", type=int, default=1)
    parser.add_argument("--rss-small-mib", type=int)
    parser.add_argument("--rss-large-mib", type=int)
    parser.add_argument("--only", action="append", choices=[name for name, _, _ in COMPARISONS],
                        help="run only these comparisons (repeatable)")
    parser.add_argument("--transfer-bench", help="the transfer alone's program (default: beside --program)")
    parser.add_argument("--gtk", action=argparse.BooleanOptionalAction,
                        help="the GTK window's figures on an Xvfb display of our own (default: when Xvfb is "
                             "installed)")
    options = parser.parse_args()
    quick = options.quick
    for attr, full, small in (("download_mib", 512, 64), ("cache_large_mib", 1024, 64),
                              ("rss_small_mib", 64, 16), ("rss_large_mib", 1024, 64)):
        if getattr(options, attr) is None:
            setattr(options, attr, small if quick else full)
    if options.runs < 5:
        parser.error("--runs: at least 5 runs give a median worth reporting")
    options.program = os.path.abspath(options.program)
    options.transfer_bench = os.path.abspath(
        options.transfer_bench or os.path.join(os.path.dirname(options.program), "transfer_bench"))
    only = set(options.only or [name for name, _, _ in COMPARISONS])

    log("machine: " + machine())
    started = time.perf_counter()
    work = tempfile.mkdtemp(prefix="bootstrap-bench-")
    bench = None
    try:
        bench = Bench(options, work)
        chosen = [c for c in COMPARISONS if c[0] in only]
        for name, what, served in chosen:
            if not served:
                log(what)
                getattr(bench, name)()
        if any(served for _, _, served in chosen):
            with NginxServer(bench.www, max_seconds=3600) as server:
                for name, what, served in chosen:
                    if served:
                        log(what)
                        getattr(bench, name)(server)
        print("machine: " + machine())
        print("sizes: download %d MiB, cache %d/%d MiB, rss %d/%d MiB%s; runs %d" % (
            options.download_mib, options.cache_large_mib, options.cache_small_mib, options.rss_small_mib,
            options.rss_large_mib, " (--quick)" if quick else "", options.runs))
        print()
        print_table(bench.rows, options)
        print("GTK window figures: " + ("on Xvfb" if bench.display else "skipped (no Xvfb, or --no-gtk)"))
    finally:
        if bench is not None:
            bench.stop_display()
        shutil.rmtree(work, ignore_errors=True)
    log("done in %.0f s" % (time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
