"""Shared helpers for the bootstrapper integration tests.

Each test gets a sandbox folder of its own holding a fresh HOME, TMPDIR and
working directory, builds installer bundles in it around a copy of the real
program, and runs that copy.  The install agents are recording scripts: they
write how they were started to the file named by AGENT_RECORD.
"""
import io
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest
import zipfile
from typing import Dict, List, NamedTuple, Optional

PROGRAM = os.environ.get("BOOTSTRAPPER", "")
TIMEOUT = 60
UNITTEST_VAR = "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__"
ENTRY = "ZavirirazUdaDad"
ARCHIVE = "InstallAgent.zip"
URL_FILE = "installAgentURL.txt"
URL = b"https://downloads.example.invalid/installagent.zip\n"
CACHE_AGENT_DIR = os.path.join(".korvex", "app_installer_cache", "T3016b", "darx64", "installagent")

FAILED = b"Installation failed."
NOT_SUCCESSFUL = b"Application install was not successful."
UNZIP_FAILED = (b"Failed to unzip the install agent", b"Failed to initialize the install agent.", FAILED)

# Fields, each ended by NUL: $0, working directory, "MODE NAME" lines for the
# qz* directories in $TMPDIR, then every argument.
RECORDING_AGENT = b"""\
printf '%s\\0' "$0" "$(pwd -P)" "$(cd "$TMPDIR" 2>/dev/null && stat -c '%a %n' qz* 2>/dev/null)" "$@" \\
  > "$AGENT_RECORD"
[ -n "$AGENT_SAY" ] && printf '%s\\n' "$AGENT_SAY" >&2
exit "${AGENT_EXIT:-0}"
"""

NOBODY = 65534
GARBAGE = b"this is not a zip archive\n" * 4


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


class Bundle(NamedTuple):
    program: str
    resources: str
    parent: str  # the folder holding NAME.app, or the flat install's folder


def zip_archive(*entries):
    """Zip (name, data, mode) entries; a name ending in '/' is a directory."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.create_system = 3  # Unix, so unzip restores the mode bits
            is_dir = name.endswith("/")
            info.external_attr = ((stat.S_IFDIR if is_dir else stat.S_IFREG) | mode) << 16 | (0x10 if is_dir else 0)
            archive.writestr(info, data)
    return buf.getvalue()


def agent_archive(*extra):
    """An install agent archive with the recording script as "install"."""
    return zip_archive(("install", RECORDING_AGENT, 0o644), *extra)


def b(path):
    return os.fsencode(path)


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
        for file_name, data in resources.items():
            with open(os.path.join(res, file_name), "wb") as f:
                f.write(data)
        return Bundle(os.path.join(macos, program), res, parent)

    def run_program(self, program, args=(), env=None, unittest_var=None, cwd=None, unprivileged=False):
        """Run program with the sandbox's HOME and TMPDIR; env values of None unset a variable.

        unprivileged: when running as root, hand the sandbox to an ordinary user
        and run the program as that user, so that file permissions bind."""
        environment = {k: os.environ[k] for k in ("PATH", "LANG", "LC_ALL", "LC_CTYPE") if k in os.environ}
        environment.update(HOME=self.home, TMPDIR=self.tmpdir, AGENT_RECORD=self.record_file)
        if unittest_var is not None:
            environment[UNITTEST_VAR] = unittest_var
        environment.update(env or {})
        environment = {k: v for k, v in environment.items() if v is not None}
        if os.path.exists(self.record_file):
            os.remove(self.record_file)
        user = {}
        if unprivileged and os.geteuid() == 0:
            for folder, dirs, files in os.walk(self.root):
                for path in [folder, *(os.path.join(folder, n) for n in dirs + files)]:
                    os.lchown(path, NOBODY, NOBODY)
            user = dict(user=NOBODY, group=NOBODY, extra_groups=[])
        proc = subprocess.run([program, *args], env=environment, cwd=cwd or self.cwd, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIMEOUT, **user)
        return Result(proc.returncode, proc.stdout, proc.stderr, self.read_record())

    def read_record(self):
        if not os.path.exists(self.record_file):
            return None
        with open(self.record_file, "rb") as f:
            argv0, cwd, temps, *args = f.read().split(b"\0")[:-1]
        temp_dirs = {name: mode for mode, name in (line.split(b" ", 1) for line in temps.splitlines())}
        return Record(argv0, cwd, temp_dirs, args)

    # Assertions -----------------------------------------------------------

    def assert_succeeded(self, result):
        self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""))
        self.assertIsNotNone(result.record, "the install agent did not run")

    def assert_failed(self, result, *lines, last_lines_only=False):
        """Status 255 and stderr exactly these lines (or ending with them)."""
        self.assertEqual((result.status, result.stdout), (255, b""), result.stderr)
        expected = b"".join(line + b"\n" for line in lines)
        if last_lines_only:
            self.assertTrue(result.stderr.endswith(b"\n"), result.stderr)
            self.assertEqual(result.stderr.splitlines()[-len(lines):], list(lines), result.stderr)
        else:
            self.assertEqual(result.stderr, expected)

    def assert_agent_got(self, result, bundle, args, argv0=None, cwd=None):
        """The agent ran as argv0 (default: the in-place entry) with the bundle's arguments."""
        record = result.record
        self.assertIsNotNone(record, "the install agent did not run")
        self.assertEqual(record.argv0, b(argv0 or os.path.join(bundle.resources, ENTRY)))
        self.assertEqual(record.args, [b"-installbundle", b(os.path.join(bundle.resources, "bundle.zip")),
                                       *map(b, args)])
        self.assertEqual(record.cwd, b(cwd or self.cwd))

    def assert_unpacked_in_temp(self, result, base=None):
        """The agent ran as install in a private qzXXXXXX folder directly under base."""
        base = base or self.tmpdir
        match = re.fullmatch(re.escape(b(base)) + rb"/(qz[^/]{6})/install", result.record.argv0)
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
