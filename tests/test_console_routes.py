"""The install agent on every route (in place, from an archive, downloaded): which one is found, how it is started
(byte for byte, whatever the names, paths and arguments), where it is unpacked, and what its status makes of the run."""
import os
import unittest

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, DOWNLOADING, ENTRY, FAILED, GARBAGE, INITIALIZING, NOT_SUCCESSFUL,
                               RECORDING_AGENT, TRANSPORT_FAILED, UNZIP_FAILED, URL, URL_FILE, DownloadTestCase,
                               agent_archive, split_stderr, transport_log, walk, zip_archive)

HOSTILE = ["  two  words ", "a\tb", 'say "hi" ""', "it's '' '\\''", "$HOME ${PATH} $1 $@ $", "`touch pwned`",
           "$(touch pwned)", "a\\b\\\\c\\n", "end\\", '\\"', "; touch pwned; echo", "a;b", "*", "?", "[ab]", "{a,b}",
           "a && b || c | d > e < f & g", "~user", "#comment", "!bang", "a=b", "line one\nline two", "Ünïcødé ✓",
           os.fsdecode(b"caf\xe9 \xff"), "", "100% %s %n %d", "-installbundle"]
# The entry in place, before any archive; an archive with read-only folders; InstallAgent_*.zip; None: a download.
ROUTES = [{ENTRY: RECORDING_AGENT, ARCHIVE: GARBAGE, "InstallAgent_1.zip": GARBAGE},
          {ARCHIVE: agent_archive(("data/", b"", 0o555), ("data/f", b"x", 0o444)), "InstallAgent_a.zip": GARBAGE},
          {"InstallAgent_linux x64.zip": agent_archive()}, None]
ROW = {"args": ["x"], "folder": "apps", "name": "Installer", "program": "bootstrapper", "cwd": None, "flat": False,
       "status": 0, "temp": "usable", "linked": False}  # "folder": where the bundle is; TMPDIR and HOME bear its name
NAMES = [  # how each row differs from ROW
    {"args": HOSTILE},
    {"args": ["ok"], "name": "Inst'aller $(touch x)", "program": 'boot "strap" `touch pwned`', "flat": True,
     "cwd": "cwd $(touch x) 'q' \"dq\"", "status": 3},
    {"args": ["$(touch pwned)"], "folder": "My Apps $(touch x) 'q' \"dq\" `touch pwned` ;touch x $HOME ${TMPDIR} $0 "
     "tab\tand \\back\\slash\\ line\nbreak Ünïcødé ✓ " + os.fsdecode(b"\xe9\xff")},
    {"args": ["a;b"], "folder": "a;b"},  # its only character that needs quoting
    {"folder": "/".join(["d" * 200] * 19), "name": None},  # None: a bundle path of 4000 bytes
    # A TMPDIR of no use: the temporary folder is made in /tmp; the program is started through a link to its bundle.
    {"temp": "/proc", "linked": True}, {"temp": None}, {"temp": ""}, {"temp": "/no/such/folder"}, {"temp": "/dev/null"},
]


class ConsoleRoutesTest(DownloadTestCase):

    def test_routes_crossed_with_hostile_names_and_arguments(self):
        url_file = {URL_FILE: self.nginx.url(self.publish("agent.zip", agent_archive())).encode() + b"\n"}
        for index, resources in enumerate(ROUTES):
            runs = "cache" if resources is None else "in place" if ENTRY in resources else "temp"
            for number, row in enumerate(NAMES):
                with self.subTest(runs, route=index, row=number):
                    row, top = {**ROW, **row}, "%d-%d" % (index, number)  # no blanks: row 3 quotes for ";" alone
                    folder, usable = row["folder"], row["temp"] == "usable"
                    self.tmpdir, self.home = (self.folder(top, what + folder[:200]) for what in ("temp-", "home-"))
                    parent = self.folder(top, folder)
                    name = row["name"] or "B" * (4000 - len(parent) - len("/.app"))
                    bundle = self.make_bundle(resources or url_file, parent, name, row["program"], row["flat"])
                    os.symlink(parent, parent + "-link")
                    temp = self.tmpdir if usable else row["temp"]
                    cwd = row["cwd"] and self.folder(top, row["cwd"])
                    program = (parent + "-link" if row["linked"] else parent) + bundle.program[len(parent):]
                    env = {"AGENT_EXIT": str(row["status"]), "TMPDIR": temp}
                    result = self.run_program(program, row["args"], env, cwd=cwd, unprivileged=True)
                    shown = [DOWNLOADING, INITIALIZING][:2 if resources is None else 0] + [
                        AGENT_SAYS, NOT_SUCCESSFUL, FAILED][:3 if row["status"] else 1]
                    self.assertEqual((result.status, result.stdout, split_stderr(result.stderr)),
                                     (255 if row["status"] else 0, b"", ([], shown)))
                    argv0 = self.cache("installagent", "install") if runs == "cache" else None
                    unpacked = runs == "temp" and (temp if usable else "/tmp")
                    self.assert_agent_got(result, bundle, row["args"], argv0, cwd, unpacked)
                    # In a usable $TMPDIR the agent sees one private folder: the one it was unpacked in.
                    unpacked_in = os.path.basename(os.path.dirname(result.record.argv0)) if unpacked else rb"qz.{6}"
                    self.assertRegex(b"".join(result.record.temp_dirs), b"^700 %s$" % unpacked_in if usable else b"^$")
                    self.assertEqual((os.listdir(self.tmpdir), os.listdir(self.home)),
                                     ([], [".korvex"] if runs == "cache" else []))
        injected = [p for top in (self.root, os.getcwd()) for p in walk(top) if os.path.basename(p) in ("pwned", "x")]
        self.assertEqual(injected, [], "a shell command ran")

    def test_no_usable_agent(self):
        empty = transport_log(rb"The URL is empty.*")
        cases = [  # (resources, PATH, the last lines; or for a download of no URL: the lines and log lines before it)
            ({ARCHIVE: GARBAGE, "InstallAgent_2.zip": agent_archive()}, None, UNZIP_FAILED, None),
            ({ARCHIVE: zip_archive(("setup", RECORDING_AGENT, 0o755))}, None, (NOT_SUCCESSFUL, FAILED), None),
            ({ARCHIVE: agent_archive()}, self.folder("no unzip"), UNZIP_FAILED, None),
            ({URL_FILE: URL}, None, [b"Failed to open install agent URL file"], []),  # made unreadable
            ({"bundle.zip": b""}, None, [], [rb"No install agent in \S+/Resources: none of ZavirirazUdaDad, Install"
                                             rb"Agent\.zip, InstallAgent_\*\.zip, installAgentURL\.txt is there"]),
        ]
        for number, (resources, path, lines, logs) in enumerate(cases):
            with self.subTest(sorted(resources)):
                bundle = self.make_bundle(resources, parent=self.folder(str(number)))
                if URL_FILE in resources:
                    os.chmod(os.path.join(bundle.resources, URL_FILE), 0)
                result = self.run_program(bundle.program, ["a"], {"PATH": path} if path else {}, unprivileged=True)
                if logs is None:
                    self.assert_failed(result, *lines)
                else:
                    self.assert_download_failed(result, TRANSPORT_FAILED, logs + [empty], lines)


if __name__ == "__main__":
    unittest.main()
