"""The GTK window is a module beside the program, loaded only when a display may be opened; a missing or unusable
one leaves the run to the terminal window.  The runs download from nginx under a virtual display; only the GTK
window shows images ("splash" lines in the UI trace).  The packages hold a program that finds its module."""
import os
import re
import subprocess
import tarfile
import zipfile

from bootstrap_fixture import PROGRAM, URL_FILE, Bundle, DownloadTestCase, agent_archive, read, write, zip_archive
from test_window import VirtualDisplay

ARGS, BUILD = ["--from", "module test"], os.path.dirname(PROGRAM)


def compile_library(source, output, *link):
    subprocess.run(["g++", "-shared", "-fPIC", "-x", "c++", "-", "-x", "none", "-o", output, *link], input=source,
                   check=True, capture_output=True, timeout=120)


def run(*command, cwd=None):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd)
    assert done.returncode == 0, "%s ended with %d:\n%s%s" % (command, done.returncode, done.stdout, done.stderr)
    return done.stdout


class GtkModuleTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)
        cls.publish("agent.zip", agent_archive())

    def run_window(self, bundle, gtk=None, clear=True, **env):
        """A run under the display (env may change it), on an empty cache unless `clear` is false; the result and
        the UI trace, checked to be a whole GTK window (it shows images) or terminal window when gtk is given."""
        if clear:
            self.clear_cache()
        trace_file = os.path.join(self.root, "trace")
        env = {"DISPLAY": self.display.name, "GDK_BACKEND": "x11", "NO_AT_BRIDGE": "1",
               "QZ_BOOTSTRAP_UI_TRACE": trace_file, **env}
        result = self.run_program(bundle.program, ARGS, env=env)
        trace = read(trace_file).decode().splitlines()
        os.remove(trace_file)
        if gtk is not None:
            self.assertEqual(("status Downloading", "closed", gtk),
                             (trace[0], trace[-1], any(line.startswith("splash ") for line in trace)), trace)
        return result, trace

    def bundle(self, label):
        bundle = self.download_bundle(self.nginx.url("agent.zip"), label)
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
                self.assert_started(result, bundle, ARGS, unpacked=None if make is None else True, logs=logs)

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
                    self.assert_started(result, bundle, ARGS, unpacked=True)

    def test_gtk_starts_without_opengl_and_the_agent_gets_the_users_setting(self):
        self.publish("gl.zip", zip_archive(("install", b'printf "GDK_GL=%s\\n" "${GDK_GL-unset}" >&2\n', 0o644)))
        for env, agent_sees in (({}, b"GDK_GL=unset"), ({"GDK_GL": "always"}, b"GDK_GL=always")):
            with self.subTest(agent_sees):
                bundle = self.download_bundle(self.nginx.url("gl.zip"), agent_sees.decode())
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
                self.assert_started(result, bundle, ARGS, unpacked=None)
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


    def test_packages_hold_a_working_tool_program_and_gtk_window(self):
        libdir = re.search(rb"(?m)^CMAKE_INSTALL_LIBDIR:PATH=(.*)$", read(BUILD + "/CMakeCache.txt")).group(1).decode()
        installed = ["bin/bootstrapper", "bin/bootstrapper-make-bundle", "share/doc/bootstrapper/README.md",
                     libdir + "/bootstrapper/bootstrapper-gtk.so"]
        out = self.folder("packages")
        # cpack builds its "preinstall" target in the current folder: the build tree.
        run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out, cwd=BUILD)
        [deb] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".deb")]
        [tarball] = [n for n in os.listdir(out) if n.endswith(".tar.gz")]
        listing = run("dpkg-deb", "-c", deb)
        for path in installed:
            mode = "rwxr-xr-x" if path.startswith("bin/") else "rw[-x]r-[-x]r-[-x]"
            self.assertRegex(listing, r"(?m)^-%s root/root .* \./usr/%s$" % (mode, re.escape(path)))
        fields = {field: run("dpkg-deb", "-f", deb, field) for field in ("Package", "Depends", "Recommends")}
        self.assertEqual(("bootstrapper\n", "libgtk-3-0, libsodium23\n"), (fields["Package"], fields["Recommends"]))
        self.assertEqual(["libcurl4", "python3", "unzip"], sorted(re.findall(r"libcurl4|unzip|python3|gtk",
                                                                             fields["Depends"])))

        unpacked, top = self.folder("unpacked"), tarball[:-len(".tar.gz")]
        with tarfile.open(os.path.join(out, tarball)) as tar:
            self.assertLessEqual({top + "/" + path for path in installed}, set(tar.getnames()))
            tar.extractall(unpacked, **({"filter": "tar"} if hasattr(tarfile, "data_filter") else {}))
        prefix = os.path.join(unpacked, top)
        # The installed tool copies the program beside it into the bundle it makes.
        archive = write(os.path.join(self.root, "agent.zip"), agent_archive())
        app = run(os.path.join(prefix, "bin", "bootstrapper-make-bundle"), "--name", "Boot", "--output",
                  self.folder("made"), "--agent-archive", archive).strip()
        program = os.path.join(app, "Contents", "MacOS", "bootstrapper")
        self.assertEqual(read(os.path.join(prefix, "bin", "bootstrapper")), read(program))
        result = self.run_program(program, ["--from", "installed tool"])
        self.assert_succeeded(result)
        self.assertEqual([b"--from", b"installed tool"], result.record.args[2:])
        # The installed program, as a flat install that downloads, finds its module in lib/bootstrapper/.
        write(os.path.join(prefix, "bin", URL_FILE), self.nginx.url("agent.zip") + "\n")
        flat = Bundle(os.path.join(prefix, "bin", "bootstrapper"), os.path.join(prefix, "bin"))
        result, _ = self.run_window(flat, gtk=True)
        self.assert_started(result, flat, ARGS, unpacked=None)  # and no log line


if __name__ == "__main__":
    import unittest
    unittest.main()
