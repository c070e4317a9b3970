"""The GTK window is a module beside the program, loaded only when a display may be
opened; a missing or unusable one leaves the run to the terminal window. The runs
download from nginx under a virtual display; only the GTK window shows images
("splash" lines in the UI trace)."""
import os
import re
import subprocess
import zipfile

from bootstrap_fixture import AGENT_SAYS, DownloadTestCase, agent_archive, zip_archive
from window_fixture import VirtualDisplay

ARGS = ["--from", "module test"]


def compile_library(source, output, *link):
    subprocess.run(["g++", "-shared", "-fPIC", "-x", "c++", "-", "-x", "none", "-o", output, *link], input=source,
                   check=True, capture_output=True, timeout=120)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class GtkDisplayCase(DownloadTestCase):
    """Downloads of agent.zip from nginx under a virtual display of the class."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)
        cls.publish("agent.zip", agent_archive())

    def agent_url(self, name="agent.zip"):
        return "http://127.0.0.1:%d/%s" % (self.nginx.port, name)

    def run_window(self, bundle, gtk=None, clear=True, **env):
        """A run under the display (env may change it), on an empty cache unless `clear` is false; the result and
        the UI trace, checked to be a whole GTK window (it shows images) or terminal window when gtk is given."""
        if clear:
            self.clear_cache()
        trace_file = os.path.join(self.root, "trace")
        env = {"DISPLAY": self.display.name, "GDK_BACKEND": "x11", "NO_AT_BRIDGE": "1",
               "QZ_BOOTSTRAP_UI_TRACE": trace_file, "AGENT_SAY": AGENT_SAYS.decode(), **env}
        result = self.run_program(bundle.program, ARGS, env=env)
        with open(trace_file) as f:
            trace = f.read().splitlines()
        os.remove(trace_file)
        if gtk is not None:
            self.assertEqual(("status Downloading", "closed", gtk),
                             (trace[0], trace[-1], any(line.startswith("splash ") for line in trace)), trace)
        return result, trace


class GtkModuleTest(GtkDisplayCase):

    def bundle(self, label):
        bundle = self.download_bundle(self.agent_url(), label)
        self.module = os.path.join(os.path.dirname(bundle.program), "bootstrapper-gtk.so")
        return bundle

    def test_present_gives_gtk_absent_or_unusable_the_terminal_window(self):
        gone = os.path.join(self.root, "libgone.so")
        compile_library(b'extern "C" int gone(void) { return 0; }', gone, "-Wl,-soname,libgone.so")
        cases = [  # (label, makes the module (None: the built one), the log line's reason; None: no log line)
            ("present", None, None),
            ("absent", lambda path: None, None),
            ("text", lambda path: write(path, "not a shared object\n" * 100), rb"invalid ELF header"),
            ("foreign library", lambda path: compile_library(b'extern "C" int other(void) { return 1; }', path),
             rb"not a bootstrapper GTK module \(no bootstrapGtkModuleInterface\)"),
            ("another version", lambda path: compile_library(
                b'extern "C" { int bootstrapGtkModuleInterface = 9999; void* bootstrapOpenGtkToolkit(int) '
                b'{ return 0; } }', path), rb"built for interface version 9999, this program needs version \d+"),
            ("library missing", lambda path: compile_library(  # as when libgtk-3 is not installed
                b'extern "C" int gone(void); extern "C" int uses_gone(void) { return gone(); }', path, gone)
             or os.remove(gone), rb"libgone\.so: cannot open shared object file: No such file or directory"),
        ]
        for label, make, reason in cases:
            with self.subTest(label):
                bundle = self.bundle(label)
                if make:
                    os.remove(self.module)
                    make(self.module)
                result, trace = self.run_window(bundle, gtk=make is None)
                logs = [re.escape(b"The GTK window cannot be loaded from " + os.fsencode(self.module) + b": ") + reason
                        + b"; using the terminal window"] if reason else []
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=None if make is None else True, logs=logs)

    def test_without_a_display_the_module_is_never_opened(self):
        cases = [  # (label, environment, whether the module is opened)
            ("X display", {}, True),
            ("Wayland display only", {"DISPLAY": None, "WAYLAND_DISPLAY": "wayland-bootstrap-test"}, True),
            ("no display", {"DISPLAY": None, "WAYLAND_DISPLAY": None}, False),
            ("empty display names", {"DISPLAY": "", "WAYLAND_DISPLAY": ""}, False),
        ]
        for label, env, opened in cases:
            with self.subTest(label):
                bundle = self.bundle(label)
                if not opened:  # nor is a broken one looked at
                    write(self.module, "not a shared object\n")
                result, _ = self.run_window(bundle, LD_DEBUG="files", **env)
                self.assertEqual((0, opened, opened), (result.status, os.fsencode(self.module) in result.stderr,
                                                       b"libgtk-3" in result.stderr), result.stderr[-2000:])
                if not opened:
                    result, _ = self.run_window(bundle, gtk=False, **env)
                    self.assert_started_from_cache(result, bundle, ARGS, unpacked=True)

    def test_gtk_starts_without_opengl_and_the_agent_gets_the_users_setting(self):
        self.publish("gl.zip", zip_archive(("install", b'printf "GDK_GL=%s\\n" "${GDK_GL-unset}" >&2\n', 0o644)))
        for env, agent_sees in (({}, b"GDK_GL=unset"), ({"GDK_GL": "always"}, b"GDK_GL=always")):
            with self.subTest(agent_sees):
                bundle = self.download_bundle(self.agent_url("gl.zip"), agent_sees.decode())
                result, _ = self.run_window(bundle, gtk=True, LD_DEBUG="files", **env)
                self.assertIn(agent_sees, result.stderr.splitlines())
                if not env:
                    self.assertIsNone(re.search(rb"file=(libGLX?\.so[^ ]*)", result.stderr), "GTK loaded OpenGL")

    def test_the_bar_follows_the_download_and_unpacking_disables_the_button(self):
        rate = 256 * 1024  # bytes a second: six seconds
        self.publish("slow.zip", agent_archive(("pad", os.urandom(6 * rate), 0o644), compression=zipfile.ZIP_STORED))
        size = os.path.getsize(os.path.join(self.www, "slow.zip"))
        for query, mode, unpacked in (("rate=%d" % rate, "determinate", True),
                                      ("nolength&rate=%d" % (4 * rate), "indeterminate", True),
                                      ("nolength&rate=%d" % (4 * rate), None, False)):  # the same ETag: a hit
            with self.subTest(mode):
                bundle = self.download_bundle(self.fault_url("/slow.zip?" + query), str(mode))
                result, trace = self.run_window(bundle, gtk=True, clear=unpacked)
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=None)
                self.assertEqual(unpacked, "status Initializing the installer" in trace, trace)
                if not unpacked:
                    continue
                unpacking = trace.index("status Initializing the installer")
                bars = [line.split()[1:] for line in trace[:unpacking] if line.startswith("progress ")][1:]
                values = [float(value) for value, total, shown, _ in bars if shown == mode]
                self.assertEqual((len(bars) > 1, len(bars)), (True, len(values)), trace)
                if mode == "determinate":
                    self.assertEqual((sorted(values), values[-1]), (values, size), trace)
                    self.assertGreater(len(set(values)), 2, trace)
                self.assertIn("button Cancel disabled", trace[unpacking:])
                self.assertIn(" indeterminate animating", "\n".join(trace[unpacking:]))


if __name__ == "__main__":
    import unittest
    unittest.main()
