"""tools/make-bundle: the bundles it makes run, with the GTK window it finds; each bad input is refused with
its reason, a bundle that will not work as meant gets a warning, and --check-url reports what the program gets."""
import base64
import os
import shutil
import subprocess
import unittest
import urllib.parse
import zipfile

from bootstrap_fixture import (ARCHIVE, ENTRY, GTK_MODULE, KEY_FILE, PROGRAM, RECORDING_AGENT, URL_FILE, Bundle,
                               DownloadTestCase, agent_archive, b, minisign_key, read, write, zip_archive)
from test_window import write_png

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools", "make-bundle")
ARGS = ["--flag", "two words", "$HOME", 'quote"d']
MODULE = "bootstrapper-gtk.so"
SH_WARNING = 'install starts with %s but is run by sh: write it in POSIX sh, or rename it install.%s and make ' \
             'install a two-line sh script, #!/bin/sh and: exec %s "$(dirname "$0")/install.%s" "$@"'


def tool(*args, command=TOOL, program=PROGRAM):
    """(status, standard output, standard error) of the tool, without proxies."""
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    done = subprocess.run([command, *(["--program", program] if program else []), *args], capture_output=True,
                          text=True, timeout=60, env=env)
    return done.returncode, done.stdout, done.stderr


class BundleToolTest(DownloadTestCase):
    out = property(lambda self: self.folder("out"))

    def input(self, name, data):
        return write(os.path.join(self.folder("inputs"), name), data)

    def make(self, *args, program=PROGRAM, module=os.path.exists(GTK_MODULE), warnings=()):
        """Boot.app made in self.out; its resources, checked to be what the tool printed (the warnings; the note
        when it finds no GTK module)."""
        status, out, err = tool("--name", "Boot", "--output", self.out, "--force", *args, program=program)
        expected = "".join("make-bundle: warning: %s\n" % w for w in warnings) + ("" if module else (
            "make-bundle: note: no %s beside %s or in its install's lib folder: the bundle will use the terminal "
            "window\n" % (MODULE, program)))
        self.assertEqual((0, expected, os.path.realpath(self.out) + "/Boot.app\n"), (status, err, out))
        return os.path.join(self.out, "Boot.app", "Contents", "Resources")

    def test_each_route_makes_a_bundle_that_runs(self):
        agent = self.folder("inputs", "agent")
        os.makedirs(os.path.join(agent, "bin"))
        write(os.path.join(agent, "install"), b'test -x "$(dirname "$0")/bin/tool" && test -L "$(dirname "$0")/link" '
              b"|| exit 7\n" + RECORDING_AGENT)
        os.chmod(write(os.path.join(agent, "bin", "tool"), b""), 0o755)
        os.symlink("bin/tool", os.path.join(agent, "link"))
        payload = self.input("payload.zip", zip_archive(("payload", b"p", 0o644)))
        url = self.nginx.url(self.publish("agent.zip", agent_archive()))
        splash = write_png(os.path.join(self.folder("inputs"), "splash.png"), 64, 32)
        cases = [  # (options, the resources made, the archive's entries; None: the entry in place; "": downloaded)
            (["--agent-archive", self.input("a.zip", agent_archive(("lib/data", b"x", 0o600))), "--splash", splash,
              "--bundle-zip", payload], [ARCHIVE, "bundle.zip", "splash.png"], ["install", "lib/data"]),
            (["--agent-dir", agent], [ARCHIVE], ["bin/", "install", "link", "bin/tool"]),
            (["--agent-entry", self.input("entry.sh", RECORDING_AGENT)], [ENTRY], None),
            (["--url", url], [URL_FILE], ""),
        ]
        for options, made, entries in cases:
            with self.subTest(options[0]):
                resources = self.make(*options)
                self.assertEqual(made, sorted(os.listdir(resources)))
                if entries:
                    with zipfile.ZipFile(os.path.join(resources, ARCHIVE)) as archive:
                        self.assertEqual(entries, archive.namelist())
                if "bundle.zip" in made:
                    self.assertEqual(read(payload), read(os.path.join(resources, "bundle.zip")))
                for hit in (False, True) if entries == "" else (False,):
                    result = self.run_program(os.path.dirname(resources) + "/MacOS/bootstrapper", ARGS)
                    if entries == "":
                        self.assert_started(result, Bundle(None, resources), ARGS, unpacked=not hit)
                        continue
                    self.assert_succeeded(result)
                    self.assert_agent_got(result, Bundle(None, resources), ARGS, unpacked=bool(entries))
        self.assertEqual(url.encode() + b"\n", read(os.path.join(resources, URL_FILE)))
        status, _, err = tool("--name", "Boot", "--output", self.out, "--agent-entry", self.input("e", RECORDING_AGENT))
        self.assertEqual((1, [URL_FILE]), (status, os.listdir(resources)), "replaced without --force")
        self.assertIn("Boot.app exists; give --force", err)
        self.assertEqual(["Boot.app"], os.listdir(self.out), "staging folder left behind")

    def test_the_gtk_module_is_taken_from_beside_the_program_or_its_install(self):
        entry = self.input("entry.sh", RECORDING_AGENT)
        cases = [  # (program first, then the modules present; the one copied, None for none)
            (["build/bootstrapper", "build/" + MODULE], "build/" + MODULE),
            (["f/bin/bootstrapper", "f/bin/" + MODULE, "f/lib/bootstrapper/" + MODULE], "f/bin/" + MODULE),
            (["p/bin/bootstrapper", "p/lib/bootstrapper/" + MODULE], "p/lib/bootstrapper/" + MODULE),
            (["m/bin/bootstrapper", "m/lib/x86_64-linux-gnu/bootstrapper/" + MODULE],
             "m/lib/x86_64-linux-gnu/bootstrapper/" + MODULE),
            (["n/bin/bootstrapper", "n/lib/" + MODULE, "n/bin/" + MODULE + ".old"], None),
        ]
        for layout, copied in cases:
            with self.subTest(layout[0]):
                for relative in layout:
                    path = os.path.join(self.folder("layouts"), relative)
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    shutil.copy2(PROGRAM, path) if relative == layout[0] else write(path, b(relative))
                program = os.path.join(self.root, "layouts", layout[0])
                macos = os.path.join(os.path.dirname(self.make("--agent-entry", entry, module=bool(copied),
                                                               program=program)), "MacOS")
                self.assertEqual((copied or "").encode(), read(os.path.join(macos, MODULE), b""))
                self.assertEqual(sorted(["bootstrapper"] + [MODULE] * bool(copied)), sorted(os.listdir(macos)))
                self.assert_succeeded(self.run_program(os.path.join(macos, "bootstrapper"), ARGS))

    def test_each_bad_input_is_named_and_nothing_is_made(self):
        nested = self.input("nested.zip", zip_archive(("agent/", b"", 0o755), ("agent/install", b"", 0o644)))
        png = read(write_png(os.path.join(self.folder("inputs"), "good.png"), 8, 8))
        jpeg = self.input("photo.png", b"\xff\xd8\xff\xe0" + bytes(64))
        no_signature = self.input("n.png", b"P" + png[1:])
        key = minisign_key(self.folder("inputs"))
        installed = os.path.join(self.folder("inputs"), "bootstrapper-make-bundle")
        os.symlink(os.path.realpath(TOOL), installed)
        url = ["--url", "http://127.0.0.1/a"]
        cases = [  # (the tool, arguments, status, what it says)
            (TOOL, [], 2, "make-bundle: error: give --url, an install agent"),
            (installed, [], 2, "usage: bootstrapper-make-bundle "),
            (installed, ["--url", "ftp://h/a"], 1, "bootstrapper-make-bundle: --url ftp://h/a: the program downloads "
                                                   "over http or https only, not 'ftp'"),
            (TOOL, ["--help"], 0, "An install agent (--agent-archive, --agent-dir or --agent-entry) or a --url is "
                                  "required. One example for each route: make-bundle --name Acme --agent-dir"),
            (TOOL, ["--name", "a/b", *url], 1, "plain folder name"),
            (TOOL, ["--agent-dir", ".", "--agent-entry", "x"], 2, "not allowed with"),
            (TOOL, ["--check-url", "http://h/a"], 2, "--check-url makes no bundle: give it alone"),
            (TOOL, ["--url", "h.example/a.zip"], 1, "--url h.example/a.zip: no scheme; did you mean "
                                                    "https://h.example/a.zip?"),
            (TOOL, ["--url", "http:///a.zip"], 1, "names no host"),
            (TOOL, ["--url", "http://127.0.0.1:99999/a.zip"], 1, "does not parse"),
            (TOOL, ["--url", "http://127.0.0.1/a b.zip"], 1, "without blanks"),
            (TOOL, ["--agent-archive", nested], 1, "no file 'install' at its top level: found agent/install"),
            (TOOL, ["--agent-archive", self.input("text.zip", b"plain\n")], 1, "not a zip archive"),
            (TOOL, ["--agent-archive", self.input("x", b"") + ".missing"], 1, "no such file"),
            (TOOL, ["--agent-dir", self.folder("inputs", "empty")], 1, "holds no file 'install'"),
            (TOOL, [*url, "--splash", jpeg], 1, "a JPEG image, not a PNG; convert it, e.g. with ImageMagick: "
                                                "convert %s splash.png" % jpeg),
            (TOOL, [*url, "--splash", no_signature], 1, "--splash %s: not a PNG image (no PNG signature)"
                                                        % no_signature),
            (TOOL, [*url, "--splash", self.input("cut.png", png[:40])], 1, "damaged PNG image (cut short"),
            (TOOL, [*url, "--splash", self.input("crc.png", png[:29] + bytes([png[29] ^ 1]) + png[30:])], 1,
             "bad checksum in the IHDR chunk"),
            (TOOL, [*url, "--public-key", key.secret], 1, "not a minisign public key but a secret key"),
            (TOOL, [*url, "--public-key", self.input("a.minisig", b"untrusted comment: s\nRUQ=\ntrusted comment: x\n")],
             1, "not a minisign public key (two lines"),
            (TOOL, [*url, "--public-key", self.input("o.pub", key.public.splitlines()[0] + b"\n" + base64.b64encode(
                b"Xy" + bytes(40)) + b"\n")], 1, "not a minisign public key (its key is 42 bytes not starting with Ed"),
            (TOOL, [*url, "--bundle-zip", self.input("b.zip", b"")], 1, "--bundle-zip"),
            (TOOL, [*url, "--program", self.input("p", b"") + ".none"], 1, "--program"),
        ]
        for command, args, status, message in cases:
            with self.subTest(args=args):
                done = tool("--output", self.out, "--name", "Boot", *args, command=command)
                self.assertEqual(status, done[0], done[2])
                self.assertIn(message, " ".join((done[1] + done[2]).split()))
                self.assertEqual([], os.listdir(self.out))
        status, _, err = tool("--name", "Boot", "--output", self.out, "--url", "gopher://x/", "--splash", nested,
                              "--bundle-zip", self.input("b.zip", b""))
        self.assertEqual((1, 3), (status, len(err.splitlines())), "every bad input reported at once")

    def test_warnings_and_url_checks(self):
        key = minisign_key(self.folder("inputs"))
        bash_dir = self.folder("inputs", "bash")
        write(os.path.join(bash_dir, "install"), b"#!/bin/bash\n" + RECORDING_AGENT)
        python_zip = zip_archive(("install", b"#!/usr/bin/env python3\nprint()\n", 0o755))
        url = self.nginx.url(self.publish("agent.zip", agent_archive()))
        self.publish("nested.zip", zip_archive(("agent/", b"", 0o755), ("agent/install", RECORDING_AGENT, 0o644)))
        self.publish("python.zip", python_zip)
        bash = os.path.join(self.folder("inputs"), "entry.bash")
        cases = [  # (arguments, status, the lines besides a bundle's path, without "make-bundle: ")
            (["--agent-dir", bash_dir], 0, ["warning: " + SH_WARNING % ("#!/bin/bash", "bash", "bash", "bash")]),
            (["--agent-archive", self.input("python.zip", python_zip)], 0,
             ["warning: " + SH_WARNING % ("#!/usr/bin/env python3", "python3", "python3", "python3")]),
            (["--agent-entry", self.input("env-sh", b"#!/usr/bin/env sh\n"), "--url", url], 0,
             ["warning: --url is never used: the install agent in the bundle (--agent-entry) starts and nothing is "
              "downloaded; leave out --url, or the --agent-entry to download"]),
            (["--agent-entry", self.input("entry.bash", b"#!/bin/bash -e\n"), "--public-key", key.secret[:-3] + "pub"],
             0, ["warning: --public-key is never used: it verifies downloads, and the install agent in the bundle "
                 "(--agent-entry) is not downloaded", 'warning: --agent-entry %s starts with #!/bin/bash -e but is run '
                 'by sh: write it in POSIX sh, or give --agent-dir a folder holding it as install.bash and an install '
                 'of two lines, #!/bin/sh and: exec bash -e "$(dirname "$0")/install.bash" "$@"' % bash]),
            (["--url", url, "--public-key", key.secret[:-3] + "pub"], 0, []),  # the last bundle made: see below
            (["--check-url", self.fault_url("moved?redirect=" + urllib.parse.quote(url, safe=""))], 0,
             ["status: 200 from " + url, "ETag: " + self.nginx.etag("agent.zip").decode(),
              "Content-Length: %d" % len(agent_archive()), "archive: holds install at its top"]),
            (["--check-url", self.fault_url("nested.zip?noetag&nolength")], 1,
             ["status: 200", "ETag: none: every run downloads the archive again",
              "Content-Length: none: the progress bar cannot show progress", "archive: holds no file 'install' at its "
              "top level: found agent/install; zip the folder's contents, not the folder"]),
            (["--check-url", self.fault_url('python.zip?etag=W/"x"')], 0,
             ["status: 200", 'ETag: W/"x": weak, so a CDN or proxy transformed the response (compressed it?); the '
              'cache works only while every response carries these same bytes: serve the archive as it is',
              "Content-Length: %d" % len(python_zip), "archive: holds install at its top",
              "warning: " + SH_WARNING % ("#!/usr/bin/env python3", "python3", "python3", "python3")]),
            (["--check-url", self.fault_url("agent.zip?status=404")], 1,
             ["status: 404: the program refuses the download and starts nothing"]),
        ]
        for args, status, lines in cases:
            with self.subTest(args=args):
                if args[0] != "--check-url":
                    resources = self.make(*args, warnings=[line[len("warning: "):] for line in lines])
                    continue
                self.assertEqual((status, "", ["make-bundle: " + line for line in lines]),
                                 (lambda s, o, e: (s, e, o.splitlines()))(*tool(*args, program=None)))
        self.assertEqual(sorted([URL_FILE, KEY_FILE]), sorted(os.listdir(resources)))
        self.assertEqual(key.public, read(os.path.join(resources, KEY_FILE)))


if __name__ == "__main__":
    unittest.main()
