"""The download window of the real program on the fault server's downloads, read back through its UI trace: the GTK
window, a module beside the program, on a virtual display of its own; else the terminal window on standard error."""
import ctypes.util
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import termios
import time
import zipfile
import zlib

from bootstrap_fixture import (DOWNLOADING, FAILED, PROGRAM, TRANSPORT_FAILED, URL_FILE, Bundle, DownloadTestCase,
                               agent_archive, read, split_stderr, write, zip_archive)

NO_HANG = 30.0  # seconds: only a hang exceeds it
ARGS, BUILD = ["--from", "window test"], os.path.dirname(PROGRAM)
SCENARIOS = {"progress": "agent.zip?noetag&rate=100000", "failure": "agent.zip?length=400000",  # a body cut short
             "unzipfail": "noagent.zip", "hold": "agent.zip?nolength&rate=20000"}
TWO_LINES = "\n".join(line.decode() for line in TRANSPORT_FAILED)
CLEAR, RED, PLAIN = "\r\x1b[K", "\x1b[31m", "\x1b[0m"
ACCESSIBLE = ("accessible window frame Acme Setup\naccessible image image Splash image\naccessible progress progress "
              "bar Download progress value {}\naccessible status statusbar {}\naccessible button push button {}")


def write_png(path, width, height):
    """An RGB PNG of gradients."""
    rows = b"".join(b"\0" + b"".join(bytes([60 + 150 * x // width, 90, 200 - 150 * y // height]) for x in range(width))
                    for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return write(path, b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                 + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class VirtualDisplay:
    """Xvfb, 1600x1200, on a display number it picks itself; `timeout` ends it even when the tests are killed."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(["timeout", "--kill-after=5", "900", "Xvfb", "-displayfd", str(write_end),
                                         "-screen", "0", "1600x1200x24", "-nolisten", "tcp"], pass_fds=[write_end],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip() if select.select([numbers], [], [], NO_HANG)[0] else ""
        if not number.isdigit():
            self.stop()
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=NO_HANG)


def send_close_box(display, window):
    """The WM_DELETE_WINDOW message a window manager sends for a click on the close box."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype, x11.XInternAtom.restype = ctypes.c_void_p, ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_char_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(display.encode())
    protocols, delete = (x11.XInternAtom(connection, name, 0) for name in (b"WM_PROTOCOLS", b"WM_DELETE_WINDOW"))
    # An XClientMessageEvent (type 33, format 32) in the 24 longs of an XEvent.
    event = struct.pack("@iLiPLLi5l", 33, 0, 0, 0, window, protocols, 32, delete, 0, 0, 0, 0).ljust(192, b"\0")
    x11.XSendEvent(connection, window, 0, 0, event)
    x11.XFlush(connection)
    x11.XCloseDisplay(connection)


def compile_library(source, output, *link):
    subprocess.run(["g++", "-shared", "-fPIC", "-x", "c++", "-", "-x", "none", "-o", output, *link], input=source,
                   check=True, capture_output=True, timeout=120)


class WindowTestCase(DownloadTestCase):
    """Runs on an empty cache with a UI trace, on the class's display if it has one."""
    display = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive(("pad", bytes(200000), 0o644), compression=zipfile.ZIP_STORED))
        cls.publish("noagent.zip", zip_archive(("other", b"", 0o644)))

    def bundle(self, scenario, splash=None, name="Installer"):
        resources = {URL_FILE: self.fault_url(SCENARIOS.get(scenario, scenario)) + "\n"}
        if splash:
            resources["splash.png"] = read(write_png(self.root + "/splash.png", *splash))
        return self.make_bundle(resources, self.folder(scenario), name)

    def start(self, bundle, terminal=None, **env):
        """The program (None in env unsets a variable), on the `terminal` fd (standard input and error) if given."""
        if os.path.exists(self.root + "/trace"):
            os.remove(self.root + "/trace")
        self.clear_cache()
        env = {"DISPLAY": self.display and self.display.name, "GDK_BACKEND": "x11", "NO_AT_BRIDGE": "1",
               "QZ_BOOTSTRAP_UI_TRACE": self.root + "/trace", **env}
        tty = {"preexec_fn": lambda: os.dup2(terminal, 0) or os.dup2(terminal, 2)} if terminal else {}
        return self.start_program(bundle.program, ARGS, env, **tty)

    def finish(self, process):
        """Its result and UI trace, which ends with the window's one "closed"."""
        result = self.finish_program(process, NO_HANG)
        trace = read(self.root + "/trace", b"").decode().splitlines()
        self.assertEqual((["closed"], 1), (trace[-1:], trace.count("closed")), trace)
        return result, trace

    def wait_for_trace(self, text, process):
        self.wait_until(lambda: text in read(self.root + "/trace", b"").decode(), repr(text), process, NO_HANG)


class GtkWindowTest(WindowTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.display = VirtualDisplay()
        cls.addClassCleanup(cls.display.stop)

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display.name), check=check,
                              capture_output=True, text=True, timeout=NO_HANG).stdout

    def window_id(self, title="Installer"):
        return self.wait_until(lambda: self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title,
                                                    check=False).split(), "the window", bound=NO_HANG)[0]

    def geometry(self, window):
        return {k: int(v) for k, v in (line.split("=") for line in self.xdotool("getwindowgeometry", "--shell",
                                                                                 window).split())}

    def run_window(self, bundle, gtk, **env):
        """A whole run, checked to be in the GTK window (it shows images) or the terminal window."""
        result, trace = self.finish(self.start(bundle, **env))
        self.assertEqual(gtk, any(line.startswith("splash ") for line in trace), trace)
        return result

    def test_states_texts_accessible_names_title_place_and_scale(self):
        sizes = []
        for scale in ("1", "2"):
            process = self.start(self.bundle("failure", (800, 600), "Acme Setup"), GDK_SCALE=scale)
            self.wait_for_trace("button Close enabled", process)
            window, shells = self.window_id("Acme Setup"), [None]
            # The failure's two lines may still resize it.
            self.wait_until(lambda: time.sleep(0.3) or shells.append(self.geometry(window)) or shells[-1] == shells[-2],
                            "a settled size", bound=NO_HANG)
            x, y, width, height = (shells[-1][key] for key in ("X", "Y", "WIDTH", "HEIGHT"))
            self.assertLessEqual(max(abs(x - (1600 - width) // 2), abs(y - (1200 - height) // 2)), 1, shells[-1])
            sizes.append((width, height))
            self.xdotool("windowfocus", "--sync", window, "key", "Return")
            result, trace = self.finish(process)
            self.assert_failed(result, FAILED)
            # Besides the log's line only the run's: GTK had nothing to complain about.
            self.assertEqual([FAILED], split_stderr(result.stderr)[1], result.stderr)
            self.assertEqual(["status Downloading", "color default", "progress 0 100 determinate still",
                              "button Cancel enabled", "splash 0x0"], trace[:5])
            shown = ACCESSIBLE.format(0, "Downloading", "Cancel").split("\n")
            self.assertEqual(shown, trace[trace.index(shown[0]):][:5], trace)
            self.assertLessEqual({"splash 400x300", "status " + TWO_LINES.replace("\n", "\\n"), "color red",
                                  "progress 400000 400000 determinate still", "button Close enabled"}, set(trace))
            self.assertEqual(ACCESSIBLE.format(1, TWO_LINES.replace("\n", "\\n"), "Close").split("\n") + ["closed"],
                             trace[-6:])
        self.assertEqual((2 * sizes[0][0], 2 * sizes[0][1]), sizes[1])

        self.assertIn("splash 400x200", self.finish(self.start(self.bundle("agent.zip", (200, 100))))[1])  # scaled up

    def test_each_way_to_close_closes_once(self):
        def click_button(process, window):  # the button sits in the bottom right corner, in the 16-pixel border
            shell = self.geometry(window)
            self.xdotool("mousemove", "--window", window, str(shell["WIDTH"] - 40), str(shell["HEIGHT"] - 30),
                         "click", "1")

        def return_does_nothing_then_close_box(process, window):
            self.xdotool("windowfocus", "--sync", window, "key", "Return")
            time.sleep(1)  # room for a wrong close to show
            self.assertIsNone(process.poll(), "Return pressed a disabled button")
            send_close_box(self.display.name, int(window))

        cases = [  # (scenario, the trace text it waits for, how the window is closed); Return: the test above
            ("failure", "button Close enabled", click_button),
            # A download without a length: an indeterminate bar.
            ("hold", "indeterminate still", lambda p, w: self.xdotool("windowfocus", "--sync", w, "key", "Escape")),
            ("unzipfail", "button Close disabled", return_does_nothing_then_close_box),
            ("hold", "indeterminate still", lambda p, w: p.send_signal(signal.SIGTERM)),
        ]
        for scenario, shown, close in cases:
            with self.subTest(close.__name__, scenario=scenario):
                process = self.start(self.bundle(scenario))
                self.wait_for_trace(shown, process)
                close(process, self.window_id())
                self.assert_failed(self.finish(process)[0], FAILED)

    def test_the_module_loads_only_with_a_display_and_any_failure_gives_the_terminal_window(self):
        gone, text = os.path.join(self.root, "libgone.so"), lambda path: write(path, "not a shared object\n" * 100)
        compile_library(b'extern "C" int gone(void) { return 0; }', gone, "-Wl,-soname,libgone.so")
        cases = [  # (label, makes the module (None: the built one), environment, the log line's reason (None: none))
            ("present", None, {}, None),
            ("absent", os.remove, {}, None),
            ("text", text, {}, rb"invalid ELF header"),
            ("foreign library", lambda path: compile_library(b'extern "C" int other(void) { return 1; }', path), {},
             rb"not a bootstrapper GTK module \(no bootstrapGtkModuleInterface\)"),
            ("another version", lambda path: compile_library(
                b'extern "C" { int bootstrapGtkModuleInterface = 9999; void* bootstrapOpenGtkToolkit(int) '
                b'{ return 0; } }', path), {}, rb"built for interface version 9999, this program needs version \d+"),
            ("library missing", lambda path: compile_library(  # as when libgtk-3 is not installed
                b'extern "C" int gone(void); extern "C" int uses_gone(void) { return gone(); }', path, gone)
             or os.remove(gone), {}, rb"libgone\.so: cannot open shared object file: No such file or directory"),
            # Without a display the module (here a broken one) is never opened.
            ("Wayland display only", text, {"DISPLAY": None, "WAYLAND_DISPLAY": "wayland-0"}, rb"invalid ELF header"),
            ("no display", text, {"DISPLAY": None}, None),
            ("empty display names", text, {"DISPLAY": "", "WAYLAND_DISPLAY": ""}, None),
        ]
        for label, make, env, reason in cases:
            with self.subTest(label):
                bundle = self.bundle("agent.zip")
                module = os.path.join(os.path.dirname(bundle.program), "bootstrapper-gtk.so")
                if make:
                    make(module)
                result = self.run_window(bundle, make is None and not env, **env)
                logs = [re.escape(b"The GTK window cannot be loaded from " + os.fsencode(module) + b": ") + reason
                        + b"; using the terminal window"] if reason else []
                self.assert_started(result, bundle, ARGS, unpacked=None if make is None else True, logs=logs)

    def test_gtk_starts_without_opengl_unless_the_user_asks_and_the_agent_gets_the_users_setting(self):
        self.publish("gl.zip", zip_archive(("install", b'printf "GDK_GL=%s\\n" "${GDK_GL-unset}" >&2\n', 0o644)))
        for env, agent_sees in (({}, b"GDK_GL=unset"), ({"GDK_GL": "always"}, b"GDK_GL=always")):
            result = self.run_window(self.bundle("gl.zip"), True, LD_DEBUG="files", **env)
            self.assertIn(agent_sees, result.stderr.splitlines())
            self.assertEqual(bool(env), re.search(rb"file=libGLX?\.so", result.stderr) is not None, agent_sees)

    def test_packages_hold_the_program_the_tool_and_the_gtk_window(self):
        def run(*command, cwd=None):
            return subprocess.run(command, check=True, capture_output=True, text=True, timeout=300, cwd=cwd).stdout
        libdir = re.search(rb"(?m)^CMAKE_INSTALL_LIBDIR:PATH=(.*)$", read(BUILD + "/CMakeCache.txt")).group(1).decode()
        out = self.folder("packages")
        # cpack builds its "preinstall" target in the current folder: the build tree.
        run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out, cwd=BUILD)
        [deb], [tarball] = ([os.path.join(out, n) for n in os.listdir(out) if n.endswith(e)] for e in (".deb", ".gz"))
        listing = run("dpkg-deb", "-c", deb)
        for path in ["bin/bootstrapper", "bin/bootstrapper-make-bundle", "share/doc/bootstrapper/README.md",
                     libdir + "/bootstrapper/bootstrapper-gtk.so"]:
            mode = "rwxr-xr-x" if path.startswith("bin/") else "rw[-x]r-[-x]r-[-x]"
            self.assertRegex(listing, r"(?m)^-%s root/root .* \./usr/%s$" % (mode, re.escape(path)))
        recommends, depends = (run("dpkg-deb", "-f", deb, field) for field in ("Recommends", "Depends"))
        self.assertEqual(("libgtk-3-0, libsodium23\n", ["libcurl4", "python3", "unzip"]),
                         (recommends, sorted(re.findall(r"libcurl4|unzip|python3|gtk", depends))))
        run("tar", "-xzf", tarball, "-C", self.root)
        bin = os.path.join(self.root, os.path.basename(tarball)[:-len(".tar.gz")], "bin")
        # The installed program, as a flat install, finds its module in lib/bootstrapper/.
        write(os.path.join(bin, URL_FILE), self.fault_url("agent.zip") + "\n")
        flat = Bundle(os.path.join(bin, "bootstrapper"), bin)
        self.assert_started(self.run_window(flat, True), flat, ARGS, unpacked=None)  # and no log line


class TerminalWindowTest(WindowTestCase):
    """Some runs on a pseudo-terminal, 60 columns wide."""

    def setUp(self):
        super().setUp()
        self.master, self.slave = pty.openpty()
        self.addCleanup(lambda: os.close(self.master) or os.close(self.slave))
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 60, 0, 0))
        self.written = b""

    def output(self):
        while select.select([self.master], [], [], 0)[0]:
            self.written += os.read(self.master, 65536)
        return self.written.decode().replace("\r\n", "\n")

    def drawings(self):
        """Each drawing of the line in place (a bar first), without colours."""
        pieces = (p.replace(RED, "").replace(PLAIN, "").split("\n")[0] for p in self.output().split(CLEAR)[1:])
        return [p for p in pieces if p.startswith("[")]

    def test_plain_lines_when_standard_error_is_no_terminal(self):
        """No escape codes; unattended, a failure closes at once."""
        result = self.finish(self.start(self.bundle("failure")))[0]
        self.assertEqual([DOWNLOADING, *TRANSPORT_FAILED, FAILED], split_stderr(result.stderr)[1], result.stderr)

    def test_on_a_terminal_the_line_is_redrawn_follows_a_resize_and_waits_for_return(self):
        self.finish(self.start(self.bundle("progress"), self.slave))
        downloading = {line for line in self.drawings() if line.endswith("] Downloading")}
        self.assertTrue(len(downloading) > 5 and "[####################] Downloading" in downloading, downloading)
        self.assertIn("[#####---------------] Initializing the installer", self.drawings())
        # The log's line on a cleared line, the bar back below it.
        self.assertRegex(self.output(),
                         re.escape(CLEAR) + r"\S+ \S+ bootstrapper\[\S+\] No ETag .*\n" + re.escape(CLEAR + "["))

        process = self.start(self.bundle("failure"), self.slave)
        # The whole text above the line, which is cut to the terminal's width; meanwhile it waits for Return.
        self.wait_until(lambda: CLEAR + TWO_LINES + "\n" in self.output(), "the failure's text", process)
        for columns, bar in [(100, "#" * 33), (30, "#" * 10)]:
            fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
            process.send_signal(signal.SIGWINCH)
            line = ("[%s] %s" % (bar, TWO_LINES.replace("\n", " ")))[:columns]
            self.wait_until(lambda: self.drawings()[-1] == line, "the line at %d columns" % columns, process)
        os.write(self.master, b"\r")
        self.finish(process)
        self.assertTrue(termios.tcgetattr(self.slave)[3] & termios.ECHO, "echo not restored")
        # In red on the line; the Return typed is not echoed: the line, a line feed, the run's last line.
        self.assertTrue(self.output().endswith("] %sError during the %s\n%s\n" % (RED, PLAIN, FAILED.decode())))
