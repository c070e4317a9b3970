"""The GTK window as a module (bootstrapper-gtk.so beside the program): loaded
only when a display may be opened, and a missing or unusable module leaves the
run to the terminal window.

The runs download from nginx under a virtual display (Xvfb); the UI trace tells
the windows apart: only the GTK window shows images ("splash" lines)."""
import os
import re
import subprocess

from bootstrap_fixture import AGENT_SAYS, PROGRAM, DownloadTestCase, agent_archive, split_stderr, zip_archive
from test_window_gtk import VirtualDisplay

MODULE = "bootstrapper-gtk.so"
ARGS = ["--from", "module test"]
FAILURE = re.compile(rb"The GTK window cannot be loaded from (.+?): (.+); using the terminal window")
# Entry points of a module that is not the program's: another interface
# version, and nothing of a window.
OTHER_VERSION = (b'extern "C" { int bootstrapGtkModuleInterface = 9999; '
                 b'void* bootstrapOpenGtkToolkit(int) { return 0; } }')
FOREIGN = b'extern "C" int some_other_library(void) { return 1; }'
NEEDS_GONE = b'extern "C" int gone(void); extern "C" int uses_gone(void) { return gone(); }'


def write_file(path, text):
    with open(path, "w") as module:
        module.write(text)


def compile_library(source, output, *link):
    subprocess.run(["g++", "-shared", "-fPIC", "-x", "c++", "-", "-x", "none", "-o", output, *link], input=source,
                   check=True, capture_output=True, timeout=120)


class GtkDisplayCase(DownloadTestCase):
    """Downloads of agent.zip from nginx under a virtual display of the class."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)
        cls.publish("agent.zip", agent_archive())

    def agent_url(self):
        return "http://127.0.0.1:%d/agent.zip" % self.nginx.port

    def run_window(self, bundle, **env):
        """A fresh download under the display (env may change it); the result and the UI trace."""
        self.clear_cache()
        trace_file = os.path.join(self.root, "trace")
        if os.path.exists(trace_file):
            os.remove(trace_file)
        env = {"DISPLAY": self.display.name, "GDK_BACKEND": "x11", "NO_AT_BRIDGE": "1",
               "QZ_BOOTSTRAP_UI_TRACE": trace_file, "AGENT_SAY": AGENT_SAYS.decode(), **env}
        result = self.run_program(bundle.program, ARGS, env=env)
        with open(trace_file) as trace:
            return result, trace.read().splitlines()

    def assert_window(self, trace, gtk):
        """The trace of a whole download window: the GTK one (it shows images) or the terminal one."""
        self.assertIn("status Downloading", trace)
        self.assertEqual("closed", trace[-1], trace)
        self.assertEqual(gtk, any(line.startswith("splash ") for line in trace), trace)


class GtkModuleTest(GtkDisplayCase):

    def bundle(self, label="download"):
        bundle = self.download_bundle(self.agent_url(), label)
        self.module = os.path.join(os.path.dirname(bundle.program), MODULE)
        self.assertTrue(os.path.isfile(self.module), "make_bundle did not copy " + MODULE)
        return bundle

    def assert_agent_ran(self, result, bundle):
        self.assertEqual(0, result.status, result.stderr)
        self.assert_agent_got(result, bundle, ARGS, argv0=self.cache("installagent", "install"))

    def test_module_beside_the_program_gives_the_gtk_window(self):
        bundle = self.bundle()
        result, trace = self.run_window(bundle)
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=None)  # no log line either
        self.assert_window(trace, gtk=True)

    def test_bundle_without_the_module_uses_the_terminal_window_silently(self):
        bundle = self.bundle()
        os.remove(self.module)
        result, trace = self.run_window(bundle)
        self.assert_started_from_cache(result, bundle, ARGS, unpacked=True)
        self.assert_window(trace, gtk=False)

    def test_unusable_module_is_reported_once_and_the_terminal_window_runs(self):
        missing_dependency = os.path.join(self.root, "libgone.so")
        compile_library(b'extern "C" int gone(void) { return 0; }', missing_dependency, "-Wl,-soname,libgone.so")
        cases = [  # (label, makes the module, what the log line's reason holds)
            ("text", lambda path: write_file(path, "not a shared object\n" * 100), rb"invalid ELF header"),
            ("empty", lambda path: write_file(path, ""), rb"file too short"),
            ("foreign library", lambda path: compile_library(FOREIGN, path),
             rb"not a bootstrapper GTK module \(no bootstrapGtkModuleInterface\)"),
            ("another version", lambda path: compile_library(OTHER_VERSION, path),
             rb"built for interface version 9999, this program needs version \d+"),
            # As when libgtk-3 is not installed: a library it needs is gone.
            ("library missing", lambda path: compile_library(NEEDS_GONE, path, missing_dependency),
             rb"libgone\.so: cannot open shared object file: No such file or directory"),
        ]
        for label, make, reason in cases:
            with self.subTest(label):
                bundle = self.bundle(label)
                os.remove(self.module)
                make(self.module)
                if label == "library missing":
                    os.remove(missing_dependency)
                result, trace = self.run_window(bundle)
                self.assert_agent_ran(result, bundle)
                self.assert_window(trace, gtk=False)
                logs, lines = split_stderr(result.stderr)
                self.assertEqual(1, len(logs), result.stderr)
                match = FAILURE.fullmatch(logs[0])
                self.assertIsNotNone(match, logs[0])
                self.assertEqual(os.fsencode(self.module), match.group(1))
                self.assertRegex(match.group(2), reason)
                self.assertIn(AGENT_SAYS, lines)

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
                result, _ = self.run_window(bundle, LD_DEBUG="files", **env)
                self.assert_agent_ran(result, bundle)
                self.assertEqual(opened, os.fsencode(self.module) in result.stderr, result.stderr[-2000:])
                if not opened:  # nor is a broken one looked at
                    write_file(self.module, "not a shared object\n")
                    result, trace = self.run_window(bundle, **env)
                    self.assert_started_from_cache(result, bundle, ARGS, unpacked=True)
                    self.assert_window(trace, gtk=False)

    def test_window_leaves_opengl_out_and_the_agent_gets_the_users_setting(self):
        """GTK starts without OpenGL (no GL library is loaded) unless the user set GDK_GL;
        the install agent's environment is the user's either way."""
        self.publish("gl-agent.zip", zip_archive(("install", b'printf "GDK_GL=%s\\n" "${GDK_GL-unset}" >&2\n', 0o644)))
        url = "http://127.0.0.1:%d/gl-agent.zip" % self.nginx.port
        for label, env, agent_sees in (("unset", {}, b"GDK_GL=unset"), ("set", {"GDK_GL": "always"}, b"GDK_GL=always")):
            with self.subTest(label):
                bundle = self.download_bundle(url, "gl " + label)
                result, trace = self.run_window(bundle, LD_DEBUG="files", **env)
                self.assertEqual(0, result.status, result.stderr[-2000:])
                self.assert_window(trace, gtk=True)
                self.assertIn(agent_sees, result.stderr.splitlines())
                if label == "unset":
                    loaded_gl = re.search(rb"file=(libGLX?\.so[^ ]*)", result.stderr)
                    self.assertIsNone(loaded_gl, "GTK loaded OpenGL")

    def test_only_the_module_links_gtk(self):
        program = subprocess.run(["ldd", PROGRAM], check=True, capture_output=True, text=True).stdout
        module = subprocess.run(["ldd", os.path.join(os.path.dirname(PROGRAM), MODULE)], check=True,
                                capture_output=True, text=True).stdout
        for library in ("libgtk-3", "libgdk-3", "libglib-2.0", "libgobject-2.0"):
            with self.subTest(library):
                self.assertNotIn(library, program)
                self.assertIn(library, module)
        self.assertNotIn("not found", module)
        exported = subprocess.run(["nm", "-D", "--defined-only", os.path.join(os.path.dirname(PROGRAM), MODULE)],
                                  check=True, capture_output=True, text=True).stdout.split()
        self.assertIn("bootstrapOpenGtkToolkit", exported)
        self.assertIn("bootstrapGtkModuleInterface", exported)
        self.assertFalse([name for name in exported if "progressFraction" in name or "GtkWindowView" in name])


if __name__ == "__main__":
    import unittest
    unittest.main()
