"""tools/make-bundle: its bundles run, with the GTK window it finds; bad inputs named, warnings given, --check-url."""
import os
import shutil
import subprocess
import unittest
import urllib.parse
import zipfile

from bootstrap_fixture import (ARCHIVE, ENTRY, KEY_FILE, PROGRAM, RECORDING_AGENT, URL_FILE, Bundle,
                               DownloadTestCase, agent_archive, minisign_key, minisign_sign, read, write,
                               zip_archive)
from test_window import write_png

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools", "make-bundle")
ARGS = ["--flag", "two words", "$HOME", 'quote"d']
MODULE = "bootstrapper-gtk.so"


def tool(*args, command=TOOL, program=PROGRAM):
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    done = subprocess.run([command, *(["--program", program] if program else []), *args], capture_output=True,
                          text=True, timeout=60, env=env)
    return done.returncode, done.stdout, done.stderr


class BundleToolTest(DownloadTestCase):
    out = property(lambda self: self.folder("out"))

    def input(self, name, data):
        return write(os.path.join(self.folder("inputs"), name), data)

    def test_each_route_makes_a_bundle_that_runs(self):
        agent = os.path.dirname(self.folder("inputs", "agent", "bin"))
        write(os.path.join(agent, "install"), b'#!/bin/bash\ntest -x "$(dirname "$0")/bin/tool" && test -L '
              b'"$(dirname "$0")/link" || exit 7\n' + RECORDING_AGENT)
        os.chmod(write(os.path.join(agent, "bin", "tool"), b""), 0o755)
        os.symlink("bin/tool", os.path.join(agent, "link"))
        payload = self.input("payload.zip", zip_archive(("payload", b"p", 0o644)))
        url = self.nginx.url(self.publish("agent.zip", agent_archive()))
        key = minisign_key(self.folder("inputs"))
        self.publish("agent.zip.minisig", minisign_sign(key, os.path.join(self.www, "agent.zip")))
        public, bash = key.secret[:-3] + "pub", self.input("entry.bash", b"#!/bin/bash -e\n" + RECORDING_AGENT)
        splash = write_png(os.path.join(self.folder("inputs"), "splash.png"), 64, 32)
        m = "/" + MODULE
        cases = [  # (options, warnings, the resources made, the archive's entries, None: the entry in place, "": a URL;
            #         the program and the GTK modules about it, * the one copied)
            (["--agent-archive", self.input("a.zip", agent_archive(("lib/data", b"x", 0o600))), "--splash", splash,
              "--bundle-zip", payload], [], [ARCHIVE, "bundle.zip", "splash.png"], ["install", "lib/data"],
             ["p/bin/bootstrapper", "*p/lib/bootstrapper" + m]),
            (["--agent-dir", agent], ['install starts with #!/bin/bash but is run by sh: write it in POSIX sh, or '
                                      'rename it install.bash and make install a two-line sh script, #!/bin/sh and: '
                                      'exec bash "$(dirname "$0")/install.bash" "$@"'],
             [ARCHIVE], ["bin/", "install", "link", "bin/tool"], ["f/bin/bootstrapper", "*f/bin" + m, "f/lib" + m]),
            (["--agent-entry", bash, "--url", url, "--public-key", public], ["--url is never used: the install agent "
              "in the bundle (--agent-entry) starts", "--public-key is never used: it verifies downloads",
              "--agent-entry %s starts with #!/bin/bash -e but" % bash], [ENTRY, KEY_FILE, URL_FILE], None,
             ["m/bin/bootstrapper", "*m/lib/x86_64-linux-gnu/bootstrapper" + m]),
            (["--url", url, "--public-key", public], [], [KEY_FILE, URL_FILE], "",
             ["n/bin/bootstrapper", "n/lib" + m, "n/bin" + m + ".old"]),
        ]
        for options, warnings, made, entries, layout in cases:
            with self.subTest(options[0]):
                for relative in layout:  # a module's text tells which it is
                    path = os.path.join(self.folder("layouts"), relative.lstrip("*"))
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    shutil.copy2(PROGRAM, path) if relative == layout[0] else write(path, relative)
                copied = "".join(relative for relative in layout if relative[0] == "*")
                status, out, err = tool("--name", "Boot", "--output", self.out, "--force", *options,
                                        program=os.path.join(self.root, "layouts", layout[0]))
                lines = ["make-bundle: warning: " + w for w in warnings] + ["make-bundle: note: no " + MODULE] * (
                    not copied)
                self.assertEqual((0, self.out + "/Boot.app\n", len(lines)), (status, out, len(err.splitlines())), err)
                self.assertTrue(all(line in " ".join(err.split()) for line in lines), err)
                resources, macos = (os.path.join(self.out, "Boot.app", "Contents", n) for n in ("Resources", "MacOS"))
                self.assertEqual((made, sorted(["bootstrapper"] + [MODULE] * bool(copied)), copied.encode()), (sorted(
                    os.listdir(resources)), sorted(os.listdir(macos)), read(os.path.join(macos, MODULE), b"")))
                if entries:
                    with zipfile.ZipFile(os.path.join(resources, ARCHIVE)) as archive:
                        self.assertEqual(entries, archive.namelist())
                result = self.run_program(os.path.join(macos, "bootstrapper"), ARGS)  # a download verified by the key
                self.assert_agent_got(result, Bundle(None, resources), ARGS, self.cache("installagent", "install") if
                                      entries == "" else None, unpacked=bool(entries))
        status = tool("--name", "Boot", "--output", self.out, "--agent-entry", bash)[0]
        self.assertEqual((1, ["Boot.app"], [KEY_FILE, URL_FILE]), (status, os.listdir(self.out), sorted(os.listdir(
            resources))), "replaced without --force, or a staging folder left behind")

    def test_each_input_is_checked_and_nothing_is_made(self):
        """Each bad input named, as --check-url names what the program would get; "…" parts the fragments said."""
        nested = self.input("nested.zip", zip_archive(("agent/", b"", 0o755), ("agent/install", b"", 0o644)))
        png = read(write_png(os.path.join(self.folder("inputs"), "good.png"), 8, 8))
        key = minisign_key(self.folder("inputs"))
        os.symlink(os.path.realpath(TOOL), installed := os.path.join(self.folder("inputs"), "bootstrapper-make-bundle"))
        python = zip_archive(("install", b"#!/usr/bin/env python3\nprint()\n", 0o755))
        final = self.fault_url(self.publish("python.zip", python) + "?etag=W/%22x%22")
        self.publish("nested.zip", read(nested))
        url = ["--url", "http://127.0.0.1/a"]

        def given(option, name, data):  # the URL, and option naming a file of data
            return [*url, option, self.input(name, data)]
        cases = [  # (arguments, status, what it says, the tool if not TOOL)
            ([], 2, "make-bundle: error: give --url, an install agent"),
            (["--url", "ftp://h/a"], 1, "bootstrapper-make-bundle: --url ftp://h/a: the program downloads", installed),
            (["--help"], 0, "One example for each route: make-bundle --name Acme --agent-dir"),
            (["--name", "a/b", *url], 1, "plain folder name"),
            (["--url", "h.example/a.zip"], 1, "no scheme; did you mean https://h.example/a.zip?"),
            (["--url", "http:///a.zip"], 1, "names no host"),
            (["--url", "http://127.0.0.1:99999/a.zip"], 1, "does not parse"),
            (["--agent-archive", nested], 1, "no file 'install' at its top level: found agent/install"),
            (["--agent-archive", self.input("text.zip", b"plain\n")], 1, "not a zip archive"),
            (["--agent-dir", self.folder("inputs", "empty")], 1, "holds no file 'install'"),
            (given("--splash", "j.png", b"\xff\xd8\xff\xe0" + bytes(64)), 1, "a JPEG image, not a PNG; convert it"),
            (given("--splash", "n.png", b"P" + png[1:]), 1, "not a PNG image (no PNG signature)"),
            (given("--splash", "crc.png", png[:29] + bytes([png[29] ^ 1]) + png[30:]), 1, "bad checksum in the IHDR"),
            (url + ["--public-key", key.secret], 1, "not a minisign public key but a secret key"),
            (given("--public-key", "a.minisig", b"untrusted comment: s\nRUQ=\ntrusted comment: x\n"), 1, "(two lines"),
            (["--check-url", "http://h/a", "--name", "B"], 2, "--check-url makes no bundle: give it alone"),
            (["--check-url", self.fault_url("moved?redirect=" + urllib.parse.quote(final, safe=""))], 0,
             'make-bundle: status: 200 from %s make-bundle: ETag: W/"x": weak, so a CDN…Content-Length: %d make-bundle:'
             " archive: holds install at its top make-bundle: warning: install starts with #!/usr/bin/env python3"
             % (final, len(python))),
            (["--check-url", self.fault_url("nested.zip?noetag&nolength")], 1, "status: 200 make-bundle: ETag: none: "
             "every run downloads…Content-Length: none: the progress bar…archive: holds no file 'install' at its top "
             "level: found agent/install; zip the folder's contents"),
        ]
        for args, status, message, *command in cases:
            with self.subTest(args=args):
                alone = args[:1] == ["--check-url"]  # makes no bundle
                done = tool(*[] if alone else ["--output", self.out, "--name", "Boot"], *args,
                            command=(command + [TOOL])[0], program=None if alone else PROGRAM)
                self.assertEqual((status, []), (done[0], os.listdir(self.out)), done[2])
                for fragment in message.split("…"):
                    self.assertIn(fragment, " ".join((done[1] + done[2]).split()))
        status, _, err = tool("--name", "Boot", "--output", self.out, "--url", "gopher://x/", "--splash", nested,
                              "--bundle-zip", self.input("b.zip", b""))
        self.assertEqual((1, 3), (status, len(err.splitlines())), "every bad input reported at once")


if __name__ == "__main__":
    unittest.main()
