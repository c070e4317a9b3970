"""tools/make-bundle: the bundles it makes run, and every bad input is refused with its reason."""
import base64
import os
import shutil
import subprocess
import urllib.parse
import zipfile

from bootstrap_fixture import (ARCHIVE, ENTRY, GTK_MODULE, PROGRAM, RECORDING_AGENT, URL_FILE, BootstrapTestCase,
                               DownloadTestCase, agent_archive, zip_archive)
from window_fixture import write_png

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools", "make-bundle")
ARGS = ["--flag", "two words", "$HOME", 'quote"d']
MODULE = "bootstrapper-gtk.so"
NO_MODULE_NOTE = "make-bundle: note: no bootstrapper-gtk.so beside %s or in its install's lib folder: " \
                 "the bundle will use the terminal window\n"


def make_bundle_tool(*args, program=PROGRAM, cwd=None, tool=TOOL, env=None):
    """Runs the tool; (status, standard output, standard error)."""
    command = [tool, *(["--program", program] if program else []), *args]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, cwd=cwd, env=env)
    return done.returncode, done.stdout, done.stderr


class BundleToolCase(BootstrapTestCase):

    def setUp(self):
        super().setUp()
        self.inputs = self.folder("inputs")
        self.out = self.folder("out")

    def input_file(self, name, data):
        path = os.path.join(self.inputs, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def splash(self, width=64, height=32):
        path = os.path.join(self.inputs, "splash-%dx%d.png" % (width, height))
        write_png(path, width, height)
        return path

    def minisign_keys(self):
        """(public key file, secret key file) made by minisign."""
        subprocess.run(["minisign", "-G", "-W", "-p", os.path.join(self.inputs, "key.pub"),
                        "-s", os.path.join(self.inputs, "key.sec")], check=True, capture_output=True, timeout=60)
        return os.path.join(self.inputs, "key.pub"), os.path.join(self.inputs, "key.sec")

    def make(self, *args, program=PROGRAM, module=os.path.exists(GTK_MODULE), warnings=()):
        """Makes Boot.app in self.out; its path, checked to be what the tool printed (the warnings, and its
        note when it finds no GTK module for the program)."""
        status, out, err = make_bundle_tool("--name", "Boot", "--output", self.out, *args, program=program)
        expected = "".join("make-bundle: warning: %s\n" % w for w in warnings)
        expected += "" if module else NO_MODULE_NOTE % program
        self.assertEqual((0, expected), (status, err))
        app = os.path.join(self.out, "Boot.app")
        self.assertEqual(os.path.realpath(app) + "\n", out)
        return app


class BundleRoutesTest(BundleToolCase):

    def resources(self, app):
        return os.path.join(app, "Contents", "Resources")

    def run_app(self, app, env=None):
        return self.run_program(os.path.join(app, "Contents", "MacOS", "bootstrapper"), ARGS, env=env)

    def test_each_agent_option_makes_a_bundle_that_runs(self):
        agent = self.folder("inputs", "agent")
        with open(os.path.join(agent, "install"), "wb") as f:
            f.write(b'test -x "$(dirname "$0")/bin/tool" && test -L "$(dirname "$0")/link" || exit 7\n'
                    + RECORDING_AGENT)
        os.makedirs(os.path.join(agent, "bin"))
        with open(os.path.join(agent, "bin", "tool"), "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(os.path.join(agent, "bin", "tool"), 0o755)
        os.symlink("bin/tool", os.path.join(agent, "link"))
        payload = self.input_file("payload.zip", zip_archive(("payload", b"p", 0o644)))
        cases = [  # (options, the resources made, the archive's entries; None: the entry runs in place)
            (["--agent-archive", self.input_file("agent.zip", agent_archive(("lib/data", b"x", 0o600))), "--splash",
              self.splash(), "--bundle-zip", payload], [ARCHIVE, "bundle.zip", "splash.png"], ["install", "lib/data"]),
            (["--agent-dir", agent], [ARCHIVE], ["bin/", "install", "link", "bin/tool"]),
            (["--agent-entry", self.input_file("entry.sh", RECORDING_AGENT)], [ENTRY], None),
        ]
        for options, made, entries in cases:
            with self.subTest(options[0]):
                resources = self.resources(self.make(*options, "--force"))
                self.assertEqual(made, sorted(os.listdir(resources)))
                if entries:
                    with zipfile.ZipFile(os.path.join(resources, ARCHIVE)) as archive:
                        self.assertEqual(entries, archive.namelist())
                result = self.run_app(os.path.dirname(os.path.dirname(resources)))
                self.assert_succeeded(result)
                self.assert_agent_got(result, type("Bundle", (), {"resources": resources}), ARGS,
                                      argv0=result.record.argv0 if entries else None)
                if "bundle.zip" in made:
                    with open(os.path.join(resources, "bundle.zip"), "rb") as copied, open(payload, "rb") as given:
                        self.assertEqual(given.read(), copied.read())

    def test_force_replaces_a_bundle_and_its_absence_keeps_it(self):
        entry = self.input_file("entry.sh", RECORDING_AGENT)
        app = self.make("--agent-entry", entry)
        status, _, err = make_bundle_tool("--name", "Boot", "--output", self.out, "--url", "http://127.0.0.1:9/a.zip")
        self.assertEqual(1, status)
        self.assertIn("Boot.app exists; give --force", err)
        self.assertEqual([ENTRY], os.listdir(self.resources(app)))
        self.make("--url", "http://127.0.0.1:9/a.zip", "--force")
        self.assertEqual([URL_FILE], os.listdir(self.resources(app)))
        self.assertEqual(["Boot.app"], os.listdir(self.out), "staging folder left behind")


class GtkModuleCopyTest(BundleToolCase):

    def lay_out(self, layout):
        """PROGRAM copied into a folder laid out as `layout` (a path per file) with a module of its own bytes."""
        top = self.folder("layouts")
        for relative in layout:
            path = os.path.join(top, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if relative.endswith("/bootstrapper"):
                shutil.copy2(PROGRAM, path)
            else:
                with open(path, "w") as module:
                    module.write("module at " + relative)
        return os.path.join(top, layout[0])

    def test_module_is_taken_from_beside_the_program_or_its_install(self):
        entry = self.input_file("entry.sh", RECORDING_AGENT)
        cases = [  # (program first, then the modules present; the one copied, None for none)
            (["build/bootstrapper", "build/" + MODULE], "build/" + MODULE),
            (["flat/bin/bootstrapper", "flat/bin/" + MODULE, "flat/lib/bootstrapper/" + MODULE], "flat/bin/" + MODULE),
            (["p/bin/bootstrapper", "p/lib/bootstrapper/" + MODULE], "p/lib/bootstrapper/" + MODULE),
            (["q/bin/bootstrapper", "q/lib64/bootstrapper/" + MODULE], "q/lib64/bootstrapper/" + MODULE),
            (["m/bin/bootstrapper", "m/lib/x86_64-linux-gnu/bootstrapper/" + MODULE],
             "m/lib/x86_64-linux-gnu/bootstrapper/" + MODULE),
            (["n/bin/bootstrapper", "n/lib/" + MODULE, "n/bin/" + MODULE + ".old"], None),
        ]
        app = self.make("--agent-entry", entry)  # the build tree's module
        with open(os.path.join(app, "Contents", "MacOS", MODULE), "rb") as copied, open(GTK_MODULE, "rb") as built:
            self.assertEqual(built.read(), copied.read())
        for layout, copied in cases:
            with self.subTest(layout[0]):
                program = self.lay_out(layout)
                app = self.make("--agent-entry", entry, "--force", program=program, module=copied is not None)
                macos = os.path.join(app, "Contents", "MacOS")
                if copied is None:
                    self.assertEqual(["bootstrapper"], os.listdir(macos))
                else:
                    self.assertEqual(sorted(["bootstrapper", MODULE]), sorted(os.listdir(macos)))
                    with open(os.path.join(macos, MODULE)) as module:
                        self.assertEqual("module at " + copied, module.read())
                self.assert_succeeded(self.run_program(os.path.join(macos, "bootstrapper"), ARGS))


class BadInputTest(BundleToolCase):

    def test_each_bad_input_is_named_and_nothing_is_made(self):
        nested = self.input_file("nested.zip", zip_archive(("agent/", b"", 0o755), ("agent/install", b"", 0o644)))
        no_install = self.input_file("other.zip", zip_archive(("setup", b"", 0o644)))
        not_zip = self.input_file("text.zip", b"plain text\n")
        with open(self.splash(), "rb") as png:
            good_png = png.read()
        cut_png = self.input_file("cut.png", good_png[:40])
        crc_png = self.input_file("crc.png", good_png[:29] + bytes([good_png[29] ^ 1]) + good_png[30:])
        jpeg = self.input_file("photo.png", b"\xff\xd8\xff\xe0" + b"\0" * 64)
        images = {kind: self.input_file("image." + kind, start + b"\0" * 64) for kind, start in
                  [("gif", b"GIF89a"), ("webp", b"RIFF\0\0\0\0WEBPVP8 "), ("bmp", b"BM")]}
        public_key, secret_key = self.minisign_keys()
        with open(public_key) as pub:
            comment = pub.readline()
        signature = self.input_file("agent.zip.minisig",
                                    b"untrusted comment: signature\nRUQ=\ntrusted comment: x\nAA==\n")
        not_ed = self.input_file("other.pub", comment.encode() + base64.b64encode(b"Xy" + bytes(40)) + b"\n")
        empty_dir = self.folder("inputs", "empty")
        installed = os.path.join(self.inputs, "bootstrapper-make-bundle")
        os.symlink(os.path.realpath(TOOL), installed)
        usage = [  # (the tool, arguments, status, what it says)
            (TOOL, ["--name", "Boot"], 2, "make-bundle: error: give --url, an install agent"),
            (installed, ["--name", "Boot"], 2, "usage: bootstrapper-make-bundle "),
            (installed, ["--name", "Boot", "--url", "ftp://h/a"], 1, "bootstrapper-make-bundle: --url ftp://h/a: "),
            (TOOL, ["--help"], 0, "An install agent (--agent-archive, --agent-dir or --agent-entry) or a --url is "
                                  "required. One example for each route: make-bundle --name Acme --agent-dir"),
            (TOOL, ["--name", "a/b", "--url", "http://h/a"], 1, "plain folder name"),
            (TOOL, ["--name", "Boot", "--agent-dir", ".", "--agent-entry", "x"], 2, "not allowed with"),
            (TOOL, ["--check-url", "http://h/a", "--name", "Boot"], 2, "--check-url makes no bundle: give it alone"),
        ]
        cases = [  # (arguments, what standard error says)
            (["--url", "ftp://example.invalid/a.zip"], "http or https only, not 'ftp'"),
            (["--url", "file:///tmp/a.zip"], "http or https only, not 'file'"),
            (["--url", "downloads.example.com/a.zip"],
             "--url downloads.example.com/a.zip: no scheme; did you mean https://downloads.example.com/a.zip?"),
            (["--url", "localhost:8080/a.zip"], "no scheme; did you mean https://localhost:8080/a.zip?"),
            (["--url", "http:///a.zip"], "names no host"),
            (["--url", "http://127.0.0.1:99999/a.zip"], "does not parse"),
            (["--url", "http://127.0.0.1/a b.zip"], "without blanks"),
            (["--agent-archive", nested], "no file 'install' at its top level: found agent/install"),
            (["--agent-archive", no_install], "no file 'install' at its top level"),
            (["--agent-archive", not_zip], "not a zip archive"),
            (["--agent-archive", os.path.join(self.inputs, "missing.zip")], "no such file"),
            (["--agent-dir", empty_dir], "holds no file 'install'"),
            (["--agent-entry", os.path.join(self.inputs, "missing.sh")], "no such file"),
            (["--url", "http://127.0.0.1/a", "--splash", jpeg],
             "a JPEG image, not a PNG; convert it, e.g. with ImageMagick: convert %s splash.png" % jpeg),
            (["--url", "http://127.0.0.1/a", "--splash", images["gif"]], "a GIF image, not a PNG; convert it"),
            (["--url", "http://127.0.0.1/a", "--splash", images["webp"]], "a WebP image, not a PNG; convert it"),
            (["--url", "http://127.0.0.1/a", "--splash", images["bmp"]], "a BMP image, not a PNG; convert it"),
            (["--url", "http://127.0.0.1/a", "--public-key", secret_key], "not a minisign public key but a secret key"),
            (["--url", "http://127.0.0.1/a", "--public-key", signature], "not a minisign public key (two lines"),
            (["--url", "http://127.0.0.1/a", "--public-key", not_ed], "not a minisign public key (its key is 42 "
                                                                      "bytes not starting with Ed"),
            (["--url", "http://127.0.0.1/a", "--splash", cut_png], "damaged PNG image (cut short"),
            (["--url", "http://127.0.0.1/a", "--splash", crc_png], "bad checksum in the IHDR chunk"),
            (["--url", "http://127.0.0.1/a", "--bundle-zip", not_zip], "--bundle-zip"),
            (["--url", "http://127.0.0.1/a", "--program", os.path.join(self.inputs, "none")], "--program"),
        ]
        for tool, args, status, message in usage + [(TOOL, ["--name", "Boot"] + a, 1, m) for a, m in cases]:
            with self.subTest(args=args):
                done = make_bundle_tool("--output", self.out, *args, tool=tool)
                self.assertEqual(status, done[0], done[2])
                self.assertIn(message, " ".join((done[1] + done[2]).split()))
                self.assertEqual([], os.listdir(self.out))

    def test_every_bad_input_is_reported_at_once(self):
        status, _, err = make_bundle_tool("--name", "Boot", "--output", self.out, "--url", "gopher://x/",
                                          "--splash", self.input_file("s.png", b"GIF89a"),
                                          "--bundle-zip", self.input_file("b.zip", b""))
        self.assertEqual(1, status)
        self.assertEqual(3, len(err.splitlines()), err)


class DownloadBundleTest(DownloadTestCase, BundleToolCase):

    def test_url_bundle_downloads_from_nginx_and_then_starts_from_the_cache(self):
        self.publish("agent.zip", agent_archive())
        url = "http://127.0.0.1:%d/agent.zip" % self.nginx.port
        app = self.make("--url", url, "--splash", self.splash(800, 400))
        with open(os.path.join(app, "Contents", "Resources", URL_FILE), "rb") as url_file:
            self.assertEqual(url.encode() + b"\n", url_file.read())
        program = os.path.join(app, "Contents", "MacOS", "bootstrapper")
        bundle = type("Bundle", (), {"resources": os.path.join(app, "Contents", "Resources")})
        for run in ("downloads", "cache hit"):
            with self.subTest(run):
                result = self.run_program(program, ARGS, env={"AGENT_SAY": "install agent ran"})
                self.assert_started_from_cache(result, bundle, ARGS, unpacked=run == "downloads")
                self.assertIsNotNone(self.stored_validation_string())

    def test_warnings_and_url_checks(self):
        """A bundle that will not work as meant is made with a warning; --check-url reports what the program gets."""
        public_key, _ = self.minisign_keys()
        bash_dir = self.folder("inputs", "bash")
        with open(os.path.join(bash_dir, "install"), "wb") as f:
            f.write(b"#!/bin/bash\n" + RECORDING_AGENT)
        python_zip = zip_archive(("install", b"#!/usr/bin/env python3\nprint()\n", 0o755))
        agent_zip = self.publish("agent.zip", agent_archive())
        self.publish("nested.zip", zip_archive(("agent/", b"", 0o755), ("agent/install", RECORDING_AGENT, 0o644)))
        self.publish("python.zip", python_zip)
        url = self.nginx.url(agent_zip)
        redirect = self.fault_url("moved?redirect=" + urllib.parse.quote(url, safe=""))
        warning = 'install starts with %s but is run by sh: write it in POSIX sh, or rename it install.%s and make ' \
                  'install a two-line sh script, #!/bin/sh and: exec %s "$(dirname "$0")/install.%s" "$@"'
        cases = [  # (arguments, status, the lines besides a bundle's path, without "make-bundle: ")
            (["--agent-dir", bash_dir], 0, ["warning: " + warning % ("#!/bin/bash", "bash", "bash", "bash")]),
            (["--agent-archive", self.input_file("python.zip", python_zip)], 0,
             ["warning: " + warning % ("#!/usr/bin/env python3", "python3", "python3", "python3")]),
            (["--agent-archive", self.input_file("sh.zip", agent_archive(("x", b"", 0o644)))], 0, []),
            (["--agent-entry", self.input_file("env-sh", b"#!/usr/bin/env sh\n"), "--url", url], 0,
             ["warning: --url is never used: the install agent in the bundle (--agent-entry) starts and nothing is "
              "downloaded; leave out --url, or the --agent-entry to download"]),
            (["--agent-entry", self.input_file("entry.bash", b"#!/bin/bash -e\n"), "--public-key", public_key], 0,
             ["warning: --public-key is never used: it verifies downloads, and the install agent in the bundle "
              "(--agent-entry) is not downloaded",
              'warning: --agent-entry %s starts with #!/bin/bash -e but is run by sh: write it in POSIX sh, or give '
              '--agent-dir a folder holding it as install.bash and an install of two lines, #!/bin/sh and: '
              'exec bash -e "$(dirname "$0")/install.bash" "$@"' % os.path.join(self.inputs, "entry.bash")]),
            (["--url", url, "--public-key", public_key], 0, []),  # the last bundle made: see below
            (["--check-url", redirect], 0, ["status: 200 from " + url, "ETag: " + self.nginx.etag(agent_zip).decode(),
                                            "Content-Length: %d" % len(agent_archive()),
                                            "archive: holds install at its top"]),
            (["--check-url", self.fault_url("nested.zip?noetag&nolength")], 1,
             ["status: 200", "ETag: none: every run downloads the archive again",
              "Content-Length: none: the progress bar cannot show progress",
              "archive: holds no file 'install' at its top level: found agent/install; "
              "zip the folder's contents, not the folder"]),
            (["--check-url", self.fault_url('python.zip?etag=W/"x"')], 0,
             ["status: 200",
              'ETag: W/"x": weak, so a CDN or proxy transformed the response (compressed it?); the cache works only '
              'while every response carries these same bytes: serve the archive as it is',
              "Content-Length: %d" % len(python_zip), "archive: holds install at its top",
              "warning: " + warning % ("#!/usr/bin/env python3", "python3", "python3", "python3")]),
            (["--check-url", self.fault_url("agent.zip?status=404")], 1,
             ["status: 404: the program refuses the download and starts nothing"]),
        ]
        no_proxy = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        for args, status, lines in cases:
            with self.subTest(args=args):
                if args[0] != "--check-url":
                    self.make(*args, "--force", warnings=[line[len("warning: "):] for line in lines])
                    continue
                done = make_bundle_tool(*args, program=None, env=no_proxy)
                self.assertEqual((status, "", ["make-bundle: " + line for line in lines]),
                                 (done[0], done[2], done[1].splitlines()))
        resources = os.path.join(self.out, "Boot.app", "Contents", "Resources")
        self.assertEqual(sorted([URL_FILE, "installAgentKey.pub"]), sorted(os.listdir(resources)))
        with open(public_key, "rb") as given, open(os.path.join(resources, "installAgentKey.pub"), "rb") as copied:
            self.assertEqual(given.read(), copied.read())


if __name__ == "__main__":
    import unittest
    unittest.main()
