"""The integration tests' harness: the real program in a sandbox (HOME, TMPDIR, working folder) on bundles around a
copy of it, whose agents record how they were started; DownloadTestCase adds nginx and the fault server on a folder."""
import base64
import collections
import contextlib
import io
import os
import pathlib
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile

from fault_server import FaultServer
from nginx_server import NginxServer, free_port  # noqa: F401 (the tests' free port)

PROGRAM = os.environ.get("BOOTSTRAPPER", "")
GTK_MODULE = os.path.join(os.path.dirname(PROGRAM), "bootstrapper-gtk.so")
ENTRY, ARCHIVE, URL_FILE, KEY_FILE = "ZavirirazUdaDad", "InstallAgent.zip", "installAgentURL.txt", "installAgentKey.pub"
URL = b"http://127.0.0.1:9/installagent.zip\n"  # nothing listens on the discard port: fails at once
CACHE_DIR = os.path.join(".korvex", "app_installer_cache", os.environ.get("BOOTSTRAP_RELEASE_NAME", "T3016b"), "darx64")
VALIDATION_FILE, SERVER_LIFETIME, NOBODY = ".validatestring", "900", 65534
FAILED, NOT_SUCCESSFUL = b"Installation failed.", b"Application install was not successful."
TRANSPORT_FAILED = (b"Error during the download process.", b"See the log in Console app for more information.")
UNZIP_TOOL_FAILED, UNPACK_FAILED = b"Failed to unzip the install agent", b"Failed to unzip the installer."
UNZIP_FAILED = (UNZIP_TOOL_FAILED, b"Failed to initialize the install agent.", FAILED)
DOWNLOADING, INITIALIZING, AGENT_SAYS = b"Downloading", b"Initializing the installer", b"install agent ran"
NO_ETAG_LOG = rb"No ETag from \S+: the install agent cannot be cached and is downloaded on every run"
GARBAGE = b"this is not a zip archive\n" * 4
b = os.fsencode
LOG_LINE = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} bootstrapper\[\d+:\d+\] (.*)")
# Fields ended by NUL: $0, working folder, "MODE NAME" of the qz* folders in $TMPDIR, every argument.
RECORDING_AGENT = b"""\
printf '%s\\0' "$0" "$(pwd -P)" "$(cd "$TMPDIR" 2>/dev/null && stat -c '%a %n' qz* 2>/dev/null)" "$@" \\
  > "$AGENT_RECORD"
[ -n "$AGENT_SAY" ] && printf '%s\\n' "$AGENT_SAY" >&2
exit "${AGENT_EXIT:-0}"
"""
Record = collections.namedtuple("Record", "argv0 cwd temp_dirs args")  # temp_dirs: "MODE qzXXXXXX" lines
Result = collections.namedtuple("Result", "status stdout stderr record peak_memory_kib", defaults=[None])
Bundle = collections.namedtuple("Bundle", "program resources")
MinisignKey = collections.namedtuple("MinisignKey", "public secret key_id")  # the .pub file, the secret's path


def zip_archive(*entries, compression=zipfile.ZIP_DEFLATED):
    """(name, data, mode) entries, Unix modes kept; a name ending in '/' is a folder."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as archive:
        for name, data, mode in entries:
            info, folder = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), name.endswith("/")
            info.create_system = 3
            info.external_attr = ((stat.S_IFDIR if folder else stat.S_IFREG) | mode) << 16 | (0x10 if folder else 0)
            archive.writestr(info, data)
    return buf.getvalue()


def agent_archive(*extra, **options):
    return zip_archive(("install", RECORDING_AGENT, 0o644), *extra, **options)


def write(path, data):  # returns path
    pathlib.Path(path).write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def read(path, missing=None):
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else missing


def split_stderr(stderr):  # (texts of the platform log's lines, the other lines)
    matches = [(LOG_LINE.fullmatch(line), line) for line in stderr.splitlines()]
    return [m.group(1) for m, _ in matches if m], [line for m, line in matches if not m]


def unpack_log(why=rb".+"):
    return rb"The archive from \S+ holds no install agent: " + why


def transport_log(text, url=None):  # url None: not named
    return rb"Download failed! Error - " + text + (b" " + re.escape(b(url)) if url is not None else b"")


def minisign_key(folder):
    os.makedirs(folder, exist_ok=True)
    public, secret = os.path.join(folder, "key.pub"), os.path.join(folder, "key.sec")
    subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True, capture_output=True)
    raw = base64.b64decode(read(public).splitlines()[1])
    return MinisignKey(read(public), secret, (raw[2:10][::-1].hex().upper().lstrip("0") or "0").encode())


def minisign_sign(key, path, *options):
    subprocess.run(["minisign", "-S", "-s", key.secret, "-m", path, "-x", path + ".sig", *options], check=True,
                   capture_output=True)
    return read(path + ".sig")


def walk(top):  # top and every path below it
    return [top] + [os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files]


class BootstrapTestCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.assertTrue(PROGRAM and os.access(PROGRAM, os.X_OK), "BOOTSTRAPPER must name the built program")
        self.root = os.path.realpath(self.enterContext(tempfile.TemporaryDirectory(prefix="bootstrap-it-")))
        self.home, self.tmpdir, self.cwd, self.apps = (self.folder(n) for n in ("home", "tmp", "cwd", "apps"))
        self.record_file = os.path.join(self.root, "record")

    def folder(self, *parts):
        os.makedirs(path := os.path.join(self.root, *parts), exist_ok=True)
        return path

    def make_bundle(self, resources, parent=None, name="Installer", program="bootstrapper", flat=False):
        """The program (and its GTK window) in NAME.app, or in the flat folder NAME, under parent."""
        top = os.path.join(parent or self.apps, name if flat else name + ".app/Contents")
        macos, res = (top, top) if flat else (os.path.join(top, "MacOS"), os.path.join(top, "Resources"))
        os.makedirs(macos, exist_ok=True)
        os.makedirs(res, exist_ok=True)
        shutil.copy2(PROGRAM, os.path.join(macos, program))
        if os.path.exists(GTK_MODULE):
            shutil.copy2(GTK_MODULE, macos)
        for file_name, data in resources.items():
            write(os.path.join(res, file_name), data)
        return Bundle(os.path.join(macos, program), res)

    def start_program(self, program, args=(), env=None, unprivileged=False, wrapper=(), cwd=None, **popen):
        """None in env unsets a variable. unprivileged: as root, the sandbox is handed to an ordinary user."""
        environment = {k: os.environ[k] for k in ("PATH", "LANG", "LC_ALL", "LC_CTYPE") if k in os.environ}
        environment.update({"HOME": self.home, "TMPDIR": self.tmpdir, "AGENT_RECORD": self.record_file,
                            "AGENT_SAY": AGENT_SAYS.decode(), **(env or {})})
        pathlib.Path(self.record_file).unlink(missing_ok=True)
        if unprivileged and os.geteuid() == 0:
            for path in walk(self.root):
                os.lchown(path, NOBODY, NOBODY)
            popen.update(user=NOBODY, group=NOBODY, extra_groups=[])
        output = [tempfile.TemporaryFile(dir=self.root) for _ in range(2)]
        proc = subprocess.Popen([*wrapper, program, *args], env={k: v for k, v in environment.items() if v is not None},
                                cwd=cwd or self.cwd, stdin=subprocess.DEVNULL, stdout=output[0], stderr=output[1],
                                **popen)
        proc.output = output
        self.addCleanup(lambda: [proc.poll() is None and (proc.kill(), proc.wait())] + [f.close() for f in output])
        return proc

    def finish_program(self, proc, timeout=60):  # its result, with its peak resident size as last seen
        peak, deadline = None, time.monotonic() + timeout
        while proc.poll() is None:
            with contextlib.suppress(OSError), open("/proc/%d/status" % proc.pid) as f:
                peak = max([peak or 0] + [int(line.split()[1]) for line in f if line.startswith("VmHWM:")])
            if time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(proc.args, timeout)
            time.sleep(0.02)
        fields = read(self.record_file, b"").split(b"\0")[:-1]
        record = Record(*fields[:2], fields[2].splitlines(), fields[3:]) if fields else None
        return Result(proc.returncode, *(f.seek(0) or f.read() for f in proc.output), record, peak)

    def run_program(self, program, args=(), env=None, timeout=60, **options):
        return self.finish_program(self.start_program(program, args, env, **options), timeout)

    def wait_until(self, condition, what, proc=None, bound=60):  # fails when proc ends or `bound` seconds pass first
        deadline = time.monotonic() + bound
        while not (value := condition()):
            if (proc and proc.poll() is not None) or time.monotonic() > deadline:
                self.fail("never saw " + what)
            time.sleep(0.05)
        return value

    def assert_succeeded(self, result):
        self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", AGENT_SAYS + b"\n"))
        self.assertIsNotNone(result.record, "the install agent did not run")

    def assert_failed(self, result, *lines):
        self.assertEqual((result.status, result.stdout, result.record), (255, b"", None), result.stderr)
        self.assertEqual(result.stderr.splitlines()[-len(lines):], list(lines), result.stderr)
        self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")

    def assert_agent_got(self, result, bundle, args, argv0=None, cwd=None, unpacked=False):
        """Run as argv0 (default: the entry in place), or unpacked in a now gone qzXXXXXX of $TMPDIR or `unpacked`."""
        record = result.record
        self.assertIsNotNone(record, "the install agent did not run")
        self.assertEqual(record.args, [b"-installbundle", b(os.path.join(bundle.resources, "bundle.zip")),
                                       *map(b, args)])
        self.assertEqual(record.cwd, b(cwd or self.cwd))
        if unpacked:
            base = b(unpacked if isinstance(unpacked, str) else self.tmpdir)
            self.assertRegex(record.argv0, b"^" + re.escape(base) + rb"/qz[A-Za-z0-9_.-]{6}/install$")
            self.assertFalse(os.path.exists(os.path.dirname(record.argv0)), "temporary folder left behind")
        else:
            self.assertEqual(record.argv0, b(argv0 or os.path.join(bundle.resources, ENTRY)))


class DownloadTestCase(BootstrapTestCase):

    @classmethod
    def setUpClass(cls):
        cls.www = os.path.realpath(cls.enterClassContext(tempfile.TemporaryDirectory(prefix="bootstrap-www-")))
        cls.nginx = cls.enterClassContext(NginxServer(cls.www, max_seconds=SERVER_LIFETIME))
        cls.faults = cls.enterClassContext(FaultServer("--root", cls.www, "--max-seconds", SERVER_LIFETIME))

    @classmethod
    def publish(cls, name, data):  # served as /name by both servers
        return os.path.basename(write(os.path.join(cls.www, name), data))

    @classmethod
    def fault_url(cls, path_and_query):
        return "http://127.0.0.1:%d/%s" % (cls.faults.port, path_and_query.lstrip("/"))

    def download_bundle(self, url, label="download", resources=None):
        return self.make_bundle({URL_FILE: url.encode() + b"\n", **(resources or {})}, parent=self.folder(label))

    def run_download(self, url, args=(), env=None, label="download", **options):
        bundle = self.download_bundle(url, label)
        return bundle, self.run_program(bundle.program, args, env, **options)

    def cache(self, *parts):
        return os.path.join(self.home, CACHE_DIR, *parts)

    def clear_cache(self):
        shutil.rmtree(os.path.join(self.home, ".korvex"), ignore_errors=True)

    def stored_validation_string(self, name=VALIDATION_FILE):  # or the key id in ".verifiedkey"; None: no file
        return read(self.cache(name))

    def idle_fault_stats(self):  # once no answer is open (a client gone ends its answer)
        return self.wait_until(lambda: (s := self.faults.stats())["open"] == 0 and s, "the answers end", bound=10)

    def plant_marker(self):  # a file in the cached agent that only a replacement removes
        return write(self.cache("installagent", "marker"), b"")

    def assert_logs(self, result, patterns):
        logs = split_stderr(result.stderr)[0]
        self.assertTrue(len(logs) == len(patterns) and all(map(re.fullmatch, patterns, logs)), result.stderr)

    def assert_started(self, result, bundle, args, unpacked=True, logs=(), cache=None, why=None):
        """Ran once, from the cache under `cache` (None: the sandbox's) or, given `why`, from a private folder."""
        self.assertEqual((result.status, result.stdout), (0, b""), result.stderr)
        self.assert_logs(result, logs if why is None else [
            rb"The install agent cache is not used, the install agent runs from a temporary folder: " + why])
        lines = split_stderr(result.stderr)[1]
        self.assertEqual(lines.count(AGENT_SAYS), 1, result.stderr)
        self.assertLessEqual(set(lines), {DOWNLOADING, INITIALIZING, AGENT_SAYS}, result.stderr)
        if unpacked is not None:
            self.assertEqual(INITIALIZING in lines, unpacked, result.stderr)
        agent = os.path.join(os.path.join(cache, CACHE_DIR) if cache else self.cache(), "installagent", "install")
        self.assert_agent_got(result, bundle, args, argv0=result.record.argv0 if why else agent)
        if why is None:
            self.assertEqual(os.listdir(self.tmpdir), [], "temporary files left behind")
        else:  # another run's may be there
            self.assertRegex(result.record.argv0, re.escape(b(self.tmpdir)) + rb"/qz[^/]{6}/installagent/install$")
            self.assertFalse(os.path.exists(os.path.dirname(os.path.dirname(result.record.argv0))), "temp folder left")

    def assert_download_failed(self, result, window_lines, logs=None, also=()):
        """The window's lines consecutive; logs None: not judged; also: more plain lines (unzip's own aside)."""
        self.assert_failed(result, FAILED)
        if logs is not None:
            self.assert_logs(result, logs)
        lines = split_stderr(result.stderr)[1]
        self.assertIn(list(window_lines), [lines[i:i + len(window_lines)] for i in range(len(lines))], result.stderr)
        if UNZIP_TOOL_FAILED in also:
            del lines[lines.index(INITIALIZING) + 1:lines.index(UNZIP_TOOL_FAILED)]
        self.assertLessEqual(set(lines), {DOWNLOADING, INITIALIZING, FAILED, *window_lines, *also}, result.stderr)
        self.assertLessEqual(set(also), set(lines), result.stderr)
