"""Arguments and paths reach the install agent byte for byte, and nothing else is run."""
import os
import unittest

from bootstrap_fixture import ARCHIVE, ENTRY, RECORDING_AGENT, BootstrapTestCase, agent_archive

HOSTILE_ARGS = {
    "blanks": "  two  words ",
    "tab": "a\tb",
    "double quotes": 'say "hi" ""',
    "single quotes": "it's '' '\\''",
    "dollar": "$HOME ${PATH} $1 $@",
    "backquote": "`touch pwned`",
    "command substitution": "$(touch pwned)",
    "backslash": "a\\b\\\\c\\n",
    "trailing backslash": "end\\",
    "semicolon": "; touch pwned; echo",
    "operators": "a && b || c | d > e < f & g",
    "glob": "*",
    "newline": "line one\nline two",
    "non-ASCII": "Ünïcødé ✓",
    "not UTF-8": os.fsdecode(b"caf\xe9 \xff"),
    "empty": "",
    "printf directives": "100% %s %n %d",
    "option-like": "-installbundle",
}
INJECTED = ("pwned", "x")
ROUTES = {"entry": {ENTRY: RECORDING_AGENT}, "archive": {ARCHIVE: agent_archive()}}


class QuotingTestCase(BootstrapTestCase):

    def run_route(self, route, args, **bundle_options):
        bundle = self.make_bundle(ROUTES[route], **bundle_options)
        result = self.run_program(bundle.program, args)
        self.assert_succeeded(result)
        self.assert_agent_got(result, bundle, args, argv0=result.record.argv0 if route == "archive" else None)
        if route == "archive":
            self.assert_unpacked_in_temp(result)
        self.assert_clean()
        self.assert_nothing_injected(*INJECTED)


class HostileArgumentsTest(QuotingTestCase):

    def test_each_argument_alone(self):
        bundle = self.make_bundle(ROUTES["entry"])
        for label, arg in HOSTILE_ARGS.items():
            with self.subTest(label):
                result = self.run_program(bundle.program, [arg])
                self.assert_succeeded(result)
                self.assert_agent_got(result, bundle, [arg])
                self.assert_nothing_injected(*INJECTED)

    def test_all_arguments_together(self):
        args = list(HOSTILE_ARGS.values())
        for route in ROUTES:
            for order in ("forward", "reversed"):
                with self.subTest(route=route, order=order):
                    self.run_route(route, args if order == "forward" else args[::-1],
                                   parent=self.folder(route + order))

    def test_only_empty_arguments(self):
        for count in (1, 3):
            with self.subTest(count=count):
                self.run_route("entry", [""] * count, parent=self.folder(str(count)))


class HostilePathsTest(QuotingTestCase):
    FOLDERS = {
        "command substitution": "My Apps $(touch x) 'q'",
        "quotes and backquote": 'dq "x" `touch pwned` ;touch x',
        "variables": "$HOME ${TMPDIR} $0",
        "tab and backslashes": "tab\tand \\back\\slash\\",
        "newline": "line\nbreak",
        "non-ASCII": "Ünïcødé ✓ Æpps",
    }

    def test_bundle_and_temporary_folder_in_hostile_folders(self):
        for label, name in self.FOLDERS.items():
            for route in ROUTES:
                with self.subTest(label, route=route):
                    self.tmpdir = self.folder(route, "temp " + name)
                    parent = self.folder(route, name)
                    self.run_route(route, ["$(touch pwned)", name], parent=parent)

    def test_hostile_bundle_and_program_names(self):
        for route in ROUTES:
            with self.subTest(route=route):
                self.run_route(route, ["ok"], parent=self.folder(route),
                               name="Inst'aller $(touch x)", program='boot "strap" `touch pwned`')

    def test_hostile_working_directory(self):
        for route in ROUTES:
            with self.subTest(route=route):
                bundle = self.make_bundle(ROUTES[route], parent=self.folder(route))
                cwd = self.folder(route, "cwd $(touch x) 'q' \"dq\"")
                result = self.run_program(bundle.program, ["arg"], cwd=cwd)
                self.assert_succeeded(result)
                self.assertEqual(result.record.cwd, os.fsencode(cwd))
                self.assert_nothing_injected(*INJECTED)


if __name__ == "__main__":
    unittest.main()
