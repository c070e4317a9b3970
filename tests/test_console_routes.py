"""The install agent on every route (in place, from an archive, downloaded): which one is found, how it is started
(byte for byte, whatever the names, paths and arguments), where it is unpacked, and what its status makes of the run."""
import os
import unittest

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, DOWNLOADING, ENTRY, FAILED, GARBAGE, INITIALIZING, NOT_SUCCESSFUL,
                               RECORDING_AGENT, TRANSPORT_FAILED, UNZIP_FAILED, URL, URL_FILE, DownloadTestCase,
                               agent_archive, b, split_stderr, transport_log, zip_archive)

HOSTILE = ["  two  words ", "a\tb", 'say "hi" ""', "it's '' '\\''", "$HOME ${PATH} $1 $@ $", "`touch pwned`",
           "$(touch pwned)", "a\\b\\\\c\\n", "end\\", '\\"', "; touch pwned; echo", "a;b", "*", "?", "[ab]", "{a,b}",
           "a && b || c | d > e < f & g", "~user", "#comment", "!bang", "a=b", "line one\nline two", "Ünïcødé ✓",
           os.fsdecode(b"caf\xe9 \xff"), "", "100% %s %n %d", "-installbundle"]
ROUTES = [  # (label, resources (None: a URL file naming nginx), where the agent runs)
    ("entry in place, before any archive", {ENTRY: RECORDING_AGENT, ARCHIVE: GARBAGE, "InstallAgent_1.zip": GARBAGE},
     "in place"),
    ("archive with read-only folders", {ARCHIVE: agent_archive(("data/", b"", 0o555), ("data/f", b"x", 0o444)),
                                        "InstallAgent_a.zip": GARBAGE}, "temp"),
    ("InstallAgent_*.zip", {"InstallAgent_linux x64.zip": agent_archive()}, "temp"),
    ("download", None, "cache"),
]
# (arguments, the folder holding the bundle, $TMPDIR and HOME, bundle name, program name, working folder, flat, the
# agent's status)
NAMES = [
    (HOSTILE, "apps", "Installer", "bootstrapper", None, False, 0),
    (["ok"], "apps", "Inst'aller $(touch x)", 'boot "strap" `touch pwned`', "cwd $(touch x) 'q' \"dq\"", True, 3),
    (["$(touch pwned)"], "My Apps $(touch x) 'q' \"dq\" `touch pwned` ;touch x $HOME ${TMPDIR} $0 tab\tand \\back\\"
     "slash\\ line\nbreak", "Installer", "bootstrapper", None, False, 0),
    (["x"], "Ünïcødé ✓ " + os.fsdecode(b"\xe9\xff"), "Installer", "bootstrapper", None, True, 0),
    (["a;b"], "a;b", "Installer", "bootstrapper", None, False, 0),  # its only character that needs quoting
    (["x"], "/".join(["d" * 200] * 19), None, "bootstrapper", None, False, 0),  # None: a bundle path of 4000 bytes
]


class ConsoleRoutesTest(DownloadTestCase):

    def test_routes_crossed_with_hostile_names_and_arguments(self):
        url_file = {URL_FILE: self.nginx.url(self.publish("agent.zip", agent_archive())).encode() + b"\n"}
        for index, (route, resources, runs) in enumerate(ROUTES):
            for number, (args, folder, name, program, cwd, flat, status) in enumerate(NAMES):
                with self.subTest(route, row=number):
                    top = "%d-%d" % (index, number)  # no blanks: a row's paths need quoting for its folder alone
                    self.tmpdir, self.home = (self.folder(top, what + folder[:200]) for what in ("temp-", "home-"))
                    parent = self.folder(top, folder)
                    name = name or "B" * (4000 - len(parent) - len("/.app"))
                    bundle = self.make_bundle(resources or url_file, parent, name, program, flat)
                    cwd = cwd and self.folder(top, cwd)
                    result = self.run_program(bundle.program, args, {"AGENT_EXIT": str(status)}, cwd=cwd,
                                              unprivileged=True)
                    self.assertEqual((result.status, result.stdout, split_stderr(result.stderr)), (
                        255 if status else 0, b"", ([], [DOWNLOADING, INITIALIZING][:2 if resources is None else 0]
                                                    + [AGENT_SAYS, NOT_SUCCESSFUL, FAILED][:3 if status else 1])))
                    argv0 = self.cache("installagent", "install") if runs == "cache" else None
                    self.assert_agent_got(result, bundle, args, argv0, cwd=cwd, unpacked=runs == "temp")
                    [temp] = result.record.temp_dirs  # private, and where it was unpacked
                    self.assertRegex(temp, rb"^700 " + (os.path.basename(os.path.dirname(result.record.argv0))
                                                        if runs == "temp" else rb"qz.{6}") + b"$")
                    self.assertEqual((os.listdir(self.tmpdir), os.listdir(self.home)),
                                     ([], [".korvex"] if runs == "cache" else []))
        self.assertEqual(len(os.path.dirname(os.path.dirname(os.path.dirname(bundle.program)))), 4000)
        self.assert_nothing_injected("pwned", "x")

    def test_no_usable_agent(self):
        cases = [  # (resources, PATH, the last lines; None: the URL file's download follows)
            ({ARCHIVE: GARBAGE, "InstallAgent_2.zip": agent_archive()}, None, UNZIP_FAILED),
            ({"InstallAgent_2.zip": b""}, None, UNZIP_FAILED),
            ({ARCHIVE: zip_archive(("setup", RECORDING_AGENT, 0o755))}, None, (NOT_SUCCESSFUL, FAILED)),
            ({ARCHIVE: agent_archive()}, self.folder("no unzip"), UNZIP_FAILED),
        ] + [({URL_FILE: URL, name: agent_archive()}, None, None) for name in (
            "InstallAgent_x.ZIP", "installagent_x.zip", "InstallAgent-x.zip", "bundle.zip")]
        for number, (resources, path, lines) in enumerate(cases + [({"bundle.zip": b""}, None, None)]):
            with self.subTest(sorted(resources)):
                bundle = self.make_bundle(resources, parent=self.folder(str(number)))
                result = self.run_program(bundle.program, ["a"], {"PATH": path} if path else {})
                self.assert_failed(result, *(lines or TRANSPORT_FAILED + (FAILED,)))
                if lines is None:  # the URL file's, or none at all after a line naming what was looked for
                    logs, named = split_stderr(result.stderr)[0], URL_FILE not in resources
                    self.assertEqual(logs[:-1], [b"No install agent in " + b(bundle.resources) + b": none of "
                                                 b"ZavirirazUdaDad, InstallAgent.zip, InstallAgent_*.zip, "
                                                 b"installAgentURL.txt is there"] if named else [], result.stderr)
                    self.assertRegex(logs[-1], transport_log(b"The URL is empty") if named else transport_log(
                        b".+", URL.strip().decode()))

    def test_an_unreadable_url_file_is_named(self):
        bundle = self.make_bundle({URL_FILE: URL})
        os.chmod(os.path.join(bundle.resources, URL_FILE), 0)
        result = self.run_program(bundle.program, ["a"], unprivileged=True)
        self.assert_failed(result, *TRANSPORT_FAILED, FAILED)
        self.assertEqual(result.stderr.splitlines()[0], b"Failed to open install agent URL file")

    def test_unpacked_beside_links_and_in_tmp_when_tmpdir_is_no_use(self):
        bundle = self.make_bundle({ARCHIVE: agent_archive()})
        os.symlink(self.apps, os.path.join(self.root, "apps-link"))
        linked = os.path.join(self.root, "apps-link", os.path.relpath(bundle.program, self.apps))
        for tmpdir, base in [(self.tmpdir, self.tmpdir), (None, "/tmp"), (self.folder("missing"), "/tmp"), ("", "/tmp"),
                             (bundle.program, "/tmp"), (self.folder("read-only"), "/tmp")]:
            with self.subTest(tmpdir=tmpdir):
                os.chmod(self.folder("read-only"), 0o555)
                os.rmdir(self.folder("missing"))
                result = self.run_program(linked, ["a"], env={"TMPDIR": tmpdir}, unprivileged=True)
                self.assert_succeeded(result)
                self.assert_agent_got(result, bundle, ["a"], unpacked=base)


if __name__ == "__main__":
    unittest.main()
