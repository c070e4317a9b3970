"""Arguments and paths reach the install agent byte for byte, and nothing else is run."""
import os

from bootstrap_fixture import ARCHIVE, ENTRY, RECORDING_AGENT, BootstrapTestCase, agent_archive

HOSTILE = ["  two  words ", "a\tb", 'say "hi" ""', "it's '' '\\''", "$HOME ${PATH} $1 $@", "`touch pwned`",
           "$(touch pwned)", "a\\b\\\\c\\n", "end\\", "; touch pwned; echo", "a && b || c | d > e < f & g", "*",
           "line one\nline two", "Ünïcødé ✓", os.fsdecode(b"caf\xe9 \xff"), "", "100% %s %n %d", "-installbundle"]
FOLDERS = ["My Apps $(touch x) 'q'", 'dq "x" `touch pwned` ;touch x', "$HOME ${TMPDIR} $0",
           "tab\tand \\back\\slash\\", "line\nbreak", "Ünïcødé ✓ Æpps"]
ROWS = [  # (label, arguments, the folder holding the bundle and $TMPDIR, bundle name, program name, working folder)
    ("hostile arguments", HOSTILE, None, "Installer", "bootstrapper", None),
    ("only empty arguments", ["", "", ""], None, "Installer", "bootstrapper", None),
    ("hostile names", ["ok"], None, "Inst'aller $(touch x)", 'boot "strap" `touch pwned`',
     "cwd $(touch x) 'q' \"dq\""),
] + [("folder " + name, ["$(touch pwned)", name], name, "Installer", "bootstrapper", None) for name in FOLDERS]


class QuotingTest(BootstrapTestCase):

    def test_routes_crossed_with_hostile_names_and_arguments(self):
        for route, resources in (("entry", {ENTRY: RECORDING_AGENT}), ("archive", {ARCHIVE: agent_archive()})):
            for number, (label, args, folder, name, program, cwd) in enumerate(ROWS):
                with self.subTest(label, route=route):
                    self.tmpdir = self.folder(route, str(number), "temp " + (folder or ""))
                    parent = self.folder(route, str(number), folder or "apps")
                    bundle = self.make_bundle(resources, parent=parent, name=name, program=program)
                    cwd = cwd and self.folder(route, str(number), cwd)
                    result = self.run_program(bundle.program, args, cwd=cwd)
                    self.assert_succeeded(result)
                    self.assert_agent_got(result, bundle, args, cwd=cwd,
                                          argv0=result.record.argv0 if route == "archive" else None)
                    if route == "archive":
                        self.assert_unpacked_in_temp(result)
                    self.assertEqual(os.listdir(self.tmpdir), [], "temporary folder left behind")
                    self.assert_nothing_injected("pwned", "x")


if __name__ == "__main__":
    import unittest
    unittest.main()
