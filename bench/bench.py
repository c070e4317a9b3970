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
  rss        peak resident set (VmHWM) of the bootstrapper itself on the
             download route, small vs large archive
  console    bundle's in-place entry via the bootstrapper vs `sh ENTRY`
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from nginx_server import NginxServer  # noqa: E402

MIB = 1 << 20
ENTRY = "ZavirirazUdaDad"
CHUNK = 4 * MIB
RUN_TIMEOUT = 300

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


def base_environment(home, tmpdir):
    """No display (the terminal window), a private HOME and TMPDIR, no proxies."""
    env = {k: os.environ[k] for k in ("PATH", "LANG", "LC_ALL") if k in os.environ}
    env.update(HOME=home, TMPDIR=tmpdir)
    return env


def timed(command, env, stderr_path, cwd=None):
    """Seconds command took; raises when it fails."""
    with open(stderr_path, "wb") as err:
        start = time.perf_counter()
        result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=err, timeout=RUN_TIMEOUT)
        elapsed = time.perf_counter() - start
    if result.returncode != 0:
        with open(stderr_path, "rb") as f:
            tail = f.read()[-2000:].decode("utf-8", "replace")
        raise RuntimeError("%s ended with status %d:\n%s" % (command, result.returncode, tail))
    return elapsed


def make_bundle(parent, name, program, resources):
    contents = os.path.join(parent, name + ".app", "Contents")
    macos, res = os.path.join(contents, "MacOS"), os.path.join(contents, "Resources")
    os.makedirs(macos)
    os.makedirs(res)
    shutil.copy2(program, os.path.join(macos, "bootstrapper"))
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
            home, tmp = self.fresh("home"), self.fresh("tmp")
            try:
                return timed([program], base_environment(home, tmp), self.path("dl-bootstrap.err"))
            finally:
                shutil.rmtree(home), shutil.rmtree(tmp)

        def tools():
            home, tmp = self.fresh("home"), self.fresh("tmp")
            script = ('curl -s -o "$TMPDIR/a.zip" "$1" && unzip -qq -o "$TMPDIR/a.zip" -d "$TMPDIR/agent" '
                      '&& sh "$TMPDIR/agent/install" -installbundle "$2/bundle.zip"')
            try:
                return timed(["sh", "-c", script, "sh", url, res], base_environment(home, tmp),
                             self.path("dl-tools.err"))
            finally:
                shutil.rmtree(home), shutil.rmtree(tmp)

        (a, b), _ = self.alternate([bootstrap, tools])
        self.rows.append(("1. download route, terminal window, %d MiB" % mib, "ratio <= 1.05",
                          "bootstrapper", a, "curl + unzip + sh", b, fmt_ratio(a / b), ""))

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
    def rss(self, server):
        sizes = (self.options.rss_small_mib, self.options.rss_large_mib)
        peaks = {}
        for mib in sizes:
            url = server.url(self.archive(mib))
            program, _ = make_bundle(self.path("rss-%d" % mib), "Rss", self.options.program,
                                     {"installAgentURL.txt": url.encode()})
            values = []
            for _ in range(self.options.runs):
                home, tmp = self.fresh("home"), self.fresh("tmp")
                out = self.path("rss.txt")
                if os.path.exists(out):
                    os.remove(out)
                env = base_environment(home, tmp)
                env["BENCH_RSS_FILE"] = out
                timed([program], env, self.path("rss.err"))
                shutil.rmtree(home), shutil.rmtree(tmp)
                with open(out) as f:
                    values.append(int(f.read().split()[1]))  # "VmHWM:   1234 kB"
            peaks[mib] = statistics.median(values)
        small, large = sizes
        self.rows.append(("4a. peak RSS, download route, terminal, %d MiB" % large, "<= 16 MiB",
                          "VmHWM", peaks[large] / 1024.0, "", None, "%.1f MiB" % (peaks[large] / 1024.0), "MiB"))
        self.rows.append(("4b. peak RSS %d MiB vs %d MiB archive" % (large, small), "within 10%",
                          "%d MiB" % large, peaks[large] / 1024.0, "%d MiB" % small, peaks[small] / 1024.0,
                          fmt_ratio(peaks[large] / peaks[small]), "MiB"))

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


def print_table(rows, options):
    print("| comparison | goal | measured (median of %d) | ratio / difference |" % options.runs)
    print("|---|---|---|---|")
    for name, goal, a_label, a, b_label, b, ratio, extra in rows:
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
    parser.add_argument("--only", action="append", choices=("download", "cache", "rss", "console"),
                        help="run only these comparisons (repeatable)")
    options = parser.parse_args()
    quick = options.quick
    for attr, full, small in (("download_mib", 512, 64), ("cache_large_mib", 1024, 64),
                              ("rss_small_mib", 64, 16), ("rss_large_mib", 1024, 64)):
        if getattr(options, attr) is None:
            setattr(options, attr, small if quick else full)
    if options.runs < 5:
        parser.error("--runs: at least 5 runs give a median worth reporting")
    options.program = os.path.abspath(options.program)
    only = set(options.only or ("download", "cache", "rss", "console"))

    log("machine: " + machine())
    started = time.perf_counter()
    work = tempfile.mkdtemp(prefix="bootstrap-bench-")
    try:
        bench = Bench(options, work)
        if "console" in only:
            log("console route")
            bench.console()
        if only & {"download", "cache", "rss"}:
            with NginxServer(bench.www, max_seconds=3600) as server:
                if "download" in only:
                    log("download route")
                    bench.download(server)
                if "cache" in only:
                    log("cache hit")
                    bench.cache(server)
                if "rss" in only:
                    log("peak RSS")
                    bench.rss(server)
        print("machine: " + machine())
        print("sizes: download %d MiB, cache %d/%d MiB, rss %d/%d MiB%s; runs %d" % (
            options.download_mib, options.cache_large_mib, options.cache_small_mib, options.rss_small_mib,
            options.rss_large_mib, " (--quick)" if quick else "", options.runs))
        print()
        print_table(bench.rows, options)
        print()
        print("not measured yet: 2. transfer alone (URL session + Download reports vs curl -o /dev/null); "
              "5. cancel latency; GTK window figures (Xvfb)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    log("done in %.0f s" % (time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
