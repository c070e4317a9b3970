"""Shared helpers for the integration tests: each test gets a sandbox with a fresh HOME, TMPDIR and
working directory, builds bundles there around a copy of the real program, and runs it.  The install
agents are recording scripts writing how they were started to $AGENT_RECORD.  DownloadTestCase also
gets, per class, a folder of archives served by nginx and by the fault server on 127.0.0.1."""
import base64
import io
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile
from typing import Dict, List, NamedTuple, Optional

from nginx_server import NginxServer, free_port
from fault_server import FaultServer

PROGRAM = os.environ.get("BOOTSTRAPPER", "")
GTK_MODULE = os.path.join(os.path.dirname(PROGRAM), "bootstrapper-gtk.so")
ENTRY, ARCHIVE, URL_FILE, KEY_FILE = "ZavirirazUdaDad", "InstallAgent.zip", "installAgentURL.txt", "installAgentKey.pub"
# Nothing listens on the loopback's discard port: a download route reached by a test fails at once.
URL = b"http://127.0.0.1:9/installagent.zip\n"
URL_VAR = "QZ_INTERNAL_INSTALL_AGENT_URL"
# The build's release name places the cache (the sanitizer builds use another).
CACHE_DIR = os.path.join(".korvex", "app_installer_cache", os.environ.get("BOOTSTRAP_RELEASE_NAME", "T3016b"),
                         "darx64")
CACHE_AGENT_DIR = os.path.join(CACHE_DIR, "installagent")
VALIDATION_FILE = ".validatestring"

FAILED = b"Installation failed."
NOT_SUCCESSFUL = b"Application install was not successful."
DOWNLOAD_REFUSED = (b"Error during the download process.", b"See the log in Console app for more information.", FAILED)
TRANSPORT_FAILED = DOWNLOAD_REFUSED[:-1]  # the window's two lines
UNVERIFIED = (b"The downloaded installer could not be verified.", DOWNLOAD_REFUSED[1])
UNZIP_TOOL_FAILED = b"Failed to unzip the install agent"
UNZIP_FAILED = (UNZIP_TOOL_FAILED, b"Failed to initialize the install agent.", FAILED)
DOWNLOADING, INITIALIZING = b"Downloading", b"Initializing the installer"
UNPACK_FAILED = b"Failed to unzip the installer."
AGENT_SAYS = b"install agent ran"
NO_ETAG_LOG = rb"No ETag from \S+: the install agent cannot be cached and is downloaded on every run"
SERVER_LIFETIME = "900"  # seconds; every server of a test class ends by itself after this
NOBODY = 65534
GARBAGE = b"this is not a zip archive\n" * 4
# A platform log line: "2026-12-06 23:59:21.123 bootstrapper[PID:TID] text".
LOG_LINE = re.compile(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} bootstrapper\[\d+:\d+\] (.*)")

# Fields, each ended by NUL: $0, working directory, "MODE NAME" lines for the
# qz* directories in $TMPDIR, then every argument.
RECORDING_AGENT = b"""\
printf '%s\\0' "$0" "$(pwd -P)" "$(cd "$TMPDIR" 2>/dev/null && stat -c '%a %n' qz* 2>/dev/null)" "$@" \\
  > "$AGENT_RECORD"
[ -n "$AGENT_SAY" ] && printf '%s\\n' "$AGENT_SAY" >&2
exit "${AGENT_EXIT:-0}"
"""


class Record(NamedTuple):
    argv0: bytes
    cwd: bytes
    temp_dirs: Dict[bytes, bytes]  # qz* name in $TMPDIR -> octal mode
    args: List[bytes]


class Result(NamedTuple):
    status: int
    stdout: bytes
    stderr: bytes
    record: Optional[Record]
    peak_memory_kib: Optional[int] = None  # the program's peak resident size, as last seen while it ran


class Bundle(NamedTuple):
    program: str
    resources: str
    parent: str  # the folder holding NAME.app, or the flat install's folder


def zip_archive(*entries, compression=zipfile.ZIP_DEFLATED):
    """Zip (name, data, mode) entries; a name ending in '/' is a directory."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as archive:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.create_system = 3  # Unix, so unzip restores the mode bits
            is_dir = name.endswith("/")
            info.external_attr = ((stat.S_IFDIR if is_dir else stat.S_IFREG) | mode) << 16 | (0x10 if is_dir else 0)
            archive.writestr(info, data)
    return buf.getvalue()


def agent_archive(*extra, **options):
    """An install agent archive with the recording script as "install"."""
    return zip_archive(("install", RECORDING_AGENT, 0o644), *extra, **options)


def b(path):
    return os.fsencode(path)


def split_stderr(stderr):
    """(texts of the platform log lines, the other lines)."""
    logs, plain = [], []
    for line in stderr.splitlines():
        match = LOG_LINE.fullmatch(line)
        (logs if match else plain).append(match.group(1) if match else line)
    return logs, plain


def refusal_logs(status, with_body):
    """The log lines of a refusal (seen at the first data, or at completion), the second naming the URL."""
    line = (b"Download failed with http error code- %d" if with_body else b"Download failed! Error code- %d") % status
    return [re.escape(line), rb"Download refused with HTTP status %d: \S+" % status]


def unpack_log(why=rb".+"):
    return rb"The archive from \S+ holds no install agent: " + why


def transport_log(url):
    """A transport error's log line on url (None: any URL; "": none, maybe "(null)")."""
    tail = rb" .*" if url is None else rb" (\(null\))?" if url == "" else b" " + re.escape(url.encode())
    return rb"Download failed! Error - .+" + tail


class MinisignKey(NamedTuple):
    public: bytes  # the .pub file as minisign -G writes it
    secret: str  # the secret key file's path (no password)
    key_id: bytes  # as minisign prints it: hex digits, no leading zeros


def minisign_key(folder):
    """A fresh key pair made by the real minisign in folder."""
    public, secret = os.path.join(folder, "key.pub"), os.path.join(folder, "key.sec")
    subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True, capture_output=True)
    with open(public, "rb") as f:
        text = f.read()
    raw = base64.b64decode(text.splitlines()[1])
    return MinisignKey(text, secret, (raw[2:10][::-1].hex().upper().lstrip("0") or "0").encode())


def minisign_sign(key, path, *options):
    """The signature file minisign writes for the file at path; options: -l (legacy), -t COMMENT."""
    signature = path + ".sig-made"
    subprocess.run(["minisign", "-S", "-s", key.secret, "-m", path, "-x", signature, *options], check=True,
                   capture_output=True)
    with open(signature, "rb") as f:
        return f.read()


class BootstrapTestCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.assertTrue(PROGRAM and os.access(PROGRAM, os.X_OK), "BOOTSTRAPPER must name the built program")
        sandbox = tempfile.TemporaryDirectory(prefix="bootstrap-it-")
        self.addCleanup(sandbox.cleanup)
        self.root = os.path.realpath(sandbox.name)
        self.home, self.tmpdir, self.cwd, self.apps = (self.folder(n) for n in ("home", "tmp", "cwd", "apps"))
        self.record_file = os.path.join(self.root, "record")

    def folder(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def make_bundle(self, resources, parent=None, name="Installer", program="bootstrapper", flat=False):
        """Copy the program into NAME.app (or the flat folder NAME) under parent."""
        parent = parent or self.apps
        if flat:
            macos = res = os.path.join(parent, name)
        else:
            contents = os.path.join(parent, name + ".app", "Contents")
            macos, res = os.path.join(contents, "MacOS"), os.path.join(contents, "Resources")
        for folder in (macos, res):
            os.makedirs(folder, exist_ok=True)
        shutil.copy2(PROGRAM, os.path.join(macos, program))
        if os.path.exists(GTK_MODULE):  # the GTK window, where the program looks for it
            shutil.copy2(GTK_MODULE, macos)
        for file_name, data in resources.items():
            with open(os.path.join(res, file_name), "wb") as f:
                f.write(data)
        return Bundle(os.path.join(macos, program), res, parent)

    def program_environment(self, env=None, unittest_var=None):
        """The sandbox's HOME and TMPDIR, no display; env values of None unset a variable."""
        environment = {k: os.environ[k] for k in ("PATH", "LANG", "LC_ALL", "LC_CTYPE") if k in os.environ}
        environment.update(HOME=self.home, TMPDIR=self.tmpdir, AGENT_RECORD=self.record_file)
        if unittest_var is not None:
            environment["__QZ_BOOTSTRAP_INSTALLER_UNITTEST__"] = unittest_var
        environment.update(env or {})
        if os.path.exists(self.record_file):
            os.remove(self.record_file)
        return {k: v for k, v in environment.items() if v is not None}

    def run_program(self, program, args=(), env=None, unittest_var=None, cwd=None, unprivileged=False, timeout=60,
                    wrapper=()):
        """Run program (after the command wrapper, if any) with the sandbox's HOME and TMPDIR.
        unprivileged: as root, hand the sandbox to an ordinary user and run as that user."""
        environment = self.program_environment(env, unittest_var)
        user = {}
        if unprivileged and os.geteuid() == 0:
            for folder, dirs, files in os.walk(self.root):
                for path in [folder, *(os.path.join(folder, n) for n in dirs + files)]:
                    os.lchown(path, NOBODY, NOBODY)
            user = dict(user=NOBODY, group=NOBODY, extra_groups=[])
        proc = subprocess.run([*wrapper, program, *args], env=environment, cwd=cwd or self.cwd,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, **user)
        return Result(proc.returncode, proc.stdout, proc.stderr, self.read_record())

    def start_program(self, program, args=(), env=None, **popen_options):
        """Starts program as run_program does, without waiting; finish it with finish_program."""
        output = [tempfile.TemporaryFile(dir=self.root) for _ in range(2)]
        proc = subprocess.Popen([program, *args], env=self.program_environment(env), cwd=self.cwd,
                                stdin=subprocess.DEVNULL, stdout=output[0], stderr=output[1], **popen_options)
        proc.output = output

        def end():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            for f in output:
                f.close()
        self.addCleanup(end)
        return proc

    def finish_program(self, proc, timeout=60):
        peak, deadline = None, time.monotonic() + timeout
        while proc.poll() is None:
            try:
                with open("/proc/%d/status" % proc.pid) as f:
                    peak = max([peak or 0] + [int(line.split()[1]) for line in f if line.startswith("VmHWM:")])
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(proc.args, timeout)
            time.sleep(0.02)
        out, err = (f.seek(0) or f.read() for f in proc.output)
        return Result(proc.returncode, out, err, self.read_record(), peak)

    def wait_until(self, condition, what, proc=None, bound=60):
        """condition()'s first true value; fails when proc ends or `bound` seconds pass first."""
        deadline = time.monotonic() + bound
        while not (value := condition()):
            if (proc and proc.poll() is not None) or time.monotonic() > deadline:
                self.fail("never saw " + (what() if callable(what) else what))
            time.sleep(0.05)
        return value

    def read_record(self):
        if not os.path.exists(self.record_file):
            return None
        with open(self.record_file, "rb") as f:
            argv0, cwd, temps, *args = f.read().split(b"\0")[:-1]
        temp_dirs = {name: mode for mode, name in (line.split(b" ", 1) for line in temps.splitlines())}
        return Record(argv0, cwd, temp_dirs, args)

    def assert_succeeded(self, result):
        self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""))
        self.assertIsNotNone(result.record, "the install agent did not run")

    def assert_failed(self, result, *lines, last_lines_only=False):
        """Status 255 and stderr exactly these lines (or ending with them)."""
        self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
        if last_lines_only:
            self.assertTrue(result.stderr.endswith(b"\n"), result.stderr)
            self.assertEqual(result.stderr.splitlines()[-len(lines):], list(lines), result.stderr)
        else:
            self.assertEqual(result.stderr, b"".join(line + b"\n" for line in lines))

    def assert_agent_got(self, result, bundle, args, argv0=None, cwd=None):
        """The agent ran as argv0 (default: the in-place entry) with the bundle's arguments."""
        record = result.record
        self.assertIsNotNone(record, "the install agent did not run")
        self.assertEqual(record.argv0, b(argv0 or os.path.join(bundle.resources, ENTRY)))
        self.assertEqual(record.args, [b"-installbundle", b(os.path.join(bundle.resources, "bundle.zip")),
                                       *map(b, args)])
        self.assertEqual(record.cwd, b(cwd or self.cwd))

    def assert_unpacked_in_temp(self, result, base=None):
        """The agent ran as install in a private qzXXXXXX folder directly under base, now gone."""
        match = re.fullmatch(re.escape(b(base or self.tmpdir)) + rb"/(qz[^/]{6})/install", result.record.argv0)
        self.assertIsNotNone(match, result.record.argv0)
        self.assertFalse(os.path.exists(os.path.dirname(result.record.argv0)), "temporary folder left behind")
        return match.group(1)

    def assert_private_temp_dir(self, result):
        """While the agent ran, $TMPDIR held exactly one qzXXXXXX folder, mode 0700."""
        self.assertEqual(len(result.record.temp_dirs), 1, result.record.temp_dirs)
        [(name, mode)] = result.record.temp_dirs.items()
        self.assertRegex(name, rb"^qz[A-Za-z0-9_.-]{6}$")
        self.assertEqual(mode, b"700")

    def assert_clean(self):
        """The temporary folder is gone and the per-user cache was not touched."""
        self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")
        self.assertEqual(os.listdir(self.home), [], "per-user cache touched")

    def assert_nothing_injected(self, *names):
        """No file with one of these names was made by a shell command."""
        found = [os.path.join(d, n) for top in (self.root, os.getcwd())
                 for d, dirs, files in os.walk(top) for n in dirs + files if n in names]
        self.assertEqual(found, [])


class DownloadTestCase(BootstrapTestCase):
    """Bundles without an install agent, downloading from servers of the class."""

    @classmethod
    def setUpClass(cls):
        www = tempfile.TemporaryDirectory(prefix="bootstrap-www-")
        cls.addClassCleanup(www.cleanup)
        cls.www = os.path.realpath(www.name)
        cls.nginx = cls.enterClassContext(NginxServer(cls.www, max_seconds=SERVER_LIFETIME))
        cls.faults = cls.enterClassContext(FaultServer("--root", cls.www, "--max-seconds", SERVER_LIFETIME))

    @classmethod
    def publish(cls, name, data):
        """Serve data as /name from both servers."""
        with open(os.path.join(cls.www, name), "wb") as f:
            f.write(data)
        return name

    @classmethod
    def fault_url(cls, path_and_query):
        return "http://127.0.0.1:%d/%s" % (cls.faults.port, path_and_query.lstrip("/"))

    def download_bundle(self, url, label="download", resources=None, flat=False):
        """A bundle without an install agent whose URL file names url."""
        return self.make_bundle({URL_FILE: url.encode() + b"\n", **(resources or {})}, parent=self.folder(label),
                                flat=flat)

    def run_download(self, url, args=(), env=None, label="download", **options):
        """Runs a fresh bundle fetching url; the agent says AGENT_SAYS when it runs."""
        bundle = self.download_bundle(url, label)
        return bundle, self.run_program(bundle.program, args, env={"AGENT_SAY": AGENT_SAYS.decode(), **(env or {})},
                                        **options)

    def cache(self, *parts):
        return os.path.join(self.home, CACHE_DIR, *parts)

    def clear_cache(self):
        shutil.rmtree(os.path.join(self.home, ".korvex"), ignore_errors=True)

    def stored_validation_string(self, name=VALIDATION_FILE):
        """The validation string's bytes (name=".verifiedkey": the key id's), or None when there is none."""
        try:
            with open(self.cache(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def idle_fault_stats(self):
        """The fault server's statistics once no answer is open (a client gone ends its answer)."""
        return self.wait_until(lambda: (stats := self.faults.stats())["open"] == 0 and stats,
                               "the fault server's answers end", bound=10)

    def plant_marker(self):
        """A file inside the cached install agent that only a replacement removes."""
        with open(self.cache("installagent", "marker"), "w") as f:
            f.write("left by the test")
        return self.cache("installagent", "marker")

    def assert_no_temp_left(self):
        self.assertEqual(os.listdir(self.tmpdir), [], "temporary files left behind")

    def assert_started_from_cache(self, result, bundle, args, unpacked=True, log_patterns=()):
        """Status 0, the cached agent ran once with args; stderr holds only the agent's line, status lines
        ("Initializing" only when unpacked; None: not judged) and these log lines."""
        self.assertEqual((result.status, result.stdout), (0, b""), result.stderr)
        self.assert_logs(result, log_patterns)
        lines = split_stderr(result.stderr)[1]
        self.assertEqual(lines.count(AGENT_SAYS), 1, result.stderr)
        self.assertLessEqual(set(lines), {DOWNLOADING, INITIALIZING, AGENT_SAYS}, result.stderr)
        if unpacked is not None:
            self.assertEqual(INITIALIZING in lines, unpacked, result.stderr)
        self.assert_agent_got(result, bundle, args, argv0=self.cache("installagent", "install"))
        self.assert_no_temp_left()

    def assert_started_without_cache(self, result, bundle, args, why):
        """Status 0, the agent ran once from the run's private folder in $TMPDIR, now gone, and one log
        line says why the cache was not used."""
        self.assertEqual((result.status, result.stdout), (0, b""), result.stderr)
        self.assert_logs(result, [rb"The install agent cache is not used, the install agent runs from a temporary "
                                  rb"folder: " + why])
        self.assertEqual(split_stderr(result.stderr)[1].count(AGENT_SAYS), 1, result.stderr)
        self.assertRegex(result.record.argv0, b"^" + re.escape(b(self.tmpdir)) + rb"/qz[^/]{6}/installagent/install$")
        self.assert_agent_got(result, bundle, args, argv0=result.record.argv0)
        self.assertFalse(os.path.exists(os.path.dirname(os.path.dirname(result.record.argv0))), "temp folder left")

    def assert_logs(self, result, patterns):
        logs = split_stderr(result.stderr)[0]
        self.assertEqual(len(logs), len(patterns), result.stderr)
        for text, pattern in zip(logs, patterns):
            self.assertRegex(text, b"^" + pattern + b"$")

    def assert_failed_cleanly(self, result, log_patterns=()):
        """Status 255, "Installation failed." last, nothing started; one log line matching one of the
        patterns (none given: the log lines are not judged)."""
        self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
        self.assertEqual(result.stderr.splitlines()[-1:], [FAILED], result.stderr)
        self.assertIsNone(result.record, "the install agent ran")
        if log_patterns:
            self.assert_logs(result, [b"(" + b"|".join(log_patterns) + b")"])
        self.assert_no_temp_left()

    def assert_download_failed(self, result, window_lines, log_patterns=(), also=()):
        """Status 255 ending with "Installation failed.", the window's failure text as consecutive plain
        lines, exactly these log lines, no other plain lines than status lines and `also`; nothing started."""
        self.assert_failed_cleanly(result)
        self.assert_logs(result, log_patterns)
        lines = split_stderr(result.stderr)[1]
        self.assertIn(list(window_lines), [lines[i:i + len(window_lines)] for i in range(len(lines))], result.stderr)
        if UNZIP_TOOL_FAILED in also:  # what unzip itself says comes before it
            del lines[lines.index(INITIALIZING) + 1:lines.index(UNZIP_TOOL_FAILED)]
        self.assertLessEqual(set(lines), {DOWNLOADING, INITIALIZING, FAILED, *window_lines, *also}, result.stderr)
        for line in also:
            self.assertIn(line, lines, result.stderr)
