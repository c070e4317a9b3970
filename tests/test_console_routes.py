"""How the bootstrapper finds, starts and judges the install agent."""
import os
import stat
import unittest

from bootstrap_fixture import (ARCHIVE, CACHE_AGENT_DIR, ENTRY, FAILED, GARBAGE, NOT_SUCCESSFUL, RECORDING_AGENT,
                               UNZIP_FAILED, URL, DOWNLOAD_REFUSED, URL_FILE, BootstrapTestCase, agent_archive, b,
                               split_stderr, transport_log, zip_archive)

ARGS = ["--silent", "two words"]


class AgentRoutesTest(BootstrapTestCase):

    def test_agent_in_bundle_is_started(self):
        routes = [  # (label, resources, unpacked from an archive)
            ("entry", {ENTRY: RECORDING_AGENT}, False),
            ("entry before archives", {ENTRY: RECORDING_AGENT, ARCHIVE: agent_archive(),
                                       "InstallAgent_1.zip": agent_archive()}, False),
            ("archive", {ARCHIVE: agent_archive()}, True),
            ("archive before alternatives", {ARCHIVE: agent_archive(), "InstallAgent_a.zip": GARBAGE}, True),
            ("alternative archive", {"InstallAgent_x64.zip": agent_archive()}, True),
        ]
        for label, resources, unpacked in routes:
            for flat in (False, True):
                with self.subTest(label, flat=flat):
                    bundle = self.make_bundle({URL_FILE: URL, **resources}, parent=self.folder(label), flat=flat)
                    result = self.run_program(bundle.program, ARGS)
                    self.assert_succeeded(result)
                    argv0 = result.record.argv0 if unpacked else None
                    self.assert_agent_got(result, bundle, ARGS, argv0=argv0)
                    if unpacked:
                        self.assert_unpacked_in_temp(result)
                    self.assert_private_temp_dir(result)
                    self.assertFalse(os.path.exists(os.path.join(bundle.parent, "install")))
                    self.assert_clean()

    def test_alternative_archive_names(self):
        names = {  # name -> used as the install agent archive
            "InstallAgent_9.zip": True, "InstallAgent_.zip": True, "InstallAgent_linux x64.zip": True,
            "InstallAgent_x.ZIP": False, "InstallAgent.ZIP": False, "InstallAgent.zip.old": False,
            "MyInstallAgent_x.zip": False, "InstallAgent-x.zip": False, "installagent_x.zip": False,
            "InstallAgent_x.zip.bak": False,
        }
        for name, used in names.items():
            with self.subTest(name):
                bundle = self.make_bundle({URL_FILE: URL, name: agent_archive()}, parent=self.folder(name))
                result = self.run_program(bundle.program, ARGS)
                if used:
                    self.assert_succeeded(result)
                    self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0)
                    self.assert_unpacked_in_temp(result)
                    self.assert_clean()
                else:
                    self.assert_failed(result, *DOWNLOAD_REFUSED, last_lines_only=True)
                    self.assertIsNone(result.record)
                    self.assertTrue(os.path.isdir(os.path.join(self.home, CACHE_AGENT_DIR)))
                    self.assertEqual(os.listdir(self.tmpdir), [])

    def test_first_alternative_in_directory_order_is_used(self):
        for good in ("InstallAgent_a.zip", "InstallAgent_b.zip"):
            with self.subTest(good=good):
                resources = {name: agent_archive() if name == good else GARBAGE
                             for name in ("InstallAgent_a.zip", "InstallAgent_b.zip")}
                bundle = self.make_bundle(resources, parent=self.folder(good))
                first = next(n for n in os.listdir(bundle.resources) if n.startswith("InstallAgent_"))
                result = self.run_program(bundle.program, ARGS)
                if first == good:
                    self.assert_succeeded(result)
                    self.assert_unpacked_in_temp(result)
                else:
                    self.assert_failed(result, *UNZIP_FAILED, last_lines_only=True)
                self.assert_clean()

    def test_bundle_found_from_real_program_path(self):
        bundle = self.make_bundle({ENTRY: RECORDING_AGENT})
        os.symlink(bundle.program, os.path.join(self.root, "program-link"))
        os.symlink(self.apps, os.path.join(self.root, "apps-link"))
        callers = {
            "symlink to program": os.path.join(self.root, "program-link"),
            "symlinked folder": os.path.join(self.root, "apps-link", os.path.relpath(bundle.program, self.apps)),
        }
        for label, program in callers.items():
            with self.subTest(label):
                result = self.run_program(program, ARGS)
                self.assert_succeeded(result)
                self.assert_agent_got(result, bundle, ARGS)

    def test_temporary_folder_falls_back_to_tmp(self):
        bundle = self.make_bundle({ARCHIVE: agent_archive()})
        not_a_folder = os.path.join(self.root, "plain-file")
        open(not_a_folder, "w").close()
        for label, tmpdir in {"unset": None, "missing": os.path.join(self.root, "missing"),
                              "empty": "", "not a folder": not_a_folder}.items():
            with self.subTest(label):
                result = self.run_program(bundle.program, ARGS, env={"TMPDIR": tmpdir})
                self.assert_succeeded(result)
                self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0)
                self.assert_unpacked_in_temp(result, base="/tmp")
                self.assertFalse(os.path.exists(os.path.join(self.root, "missing")))


class AgentFailureTest(BootstrapTestCase):

    def test_agent_exit_status_decides(self):
        for exit_status in (1, 3, 200):
            for resources in ({ENTRY: RECORDING_AGENT}, {ARCHIVE: agent_archive()}):
                with self.subTest(exit_status=exit_status, route=next(iter(resources))):
                    bundle = self.make_bundle(resources, parent=self.folder(f"{exit_status}{next(iter(resources))}"))
                    result = self.run_program(bundle.program, ARGS,
                                              env={"AGENT_EXIT": str(exit_status), "AGENT_SAY": "agent: disk full"})
                    self.assert_failed(result, b"agent: disk full", NOT_SUCCESSFUL, FAILED)
                    self.assertEqual(result.record.args[2:], [a.encode() for a in ARGS])
                    self.assert_clean()

    def test_agent_output_passes_through_on_success(self):
        bundle = self.make_bundle({ENTRY: RECORDING_AGENT})
        result = self.run_program(bundle.program, env={"AGENT_SAY": "agent: all done"})
        self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b"agent: all done\n"))

    def test_unusable_archive(self):
        cases = {  # label -> (resources, last stderr lines)
            "garbage archive": ({ARCHIVE: GARBAGE}, UNZIP_FAILED),
            "empty archive file": ({ARCHIVE: b""}, UNZIP_FAILED),
            "garbage alternative": ({"InstallAgent_2.zip": GARBAGE}, UNZIP_FAILED),
            "garbage before good alternative": ({ARCHIVE: GARBAGE, "InstallAgent_2.zip": agent_archive()},
                                                UNZIP_FAILED),
            "no install inside": ({ARCHIVE: zip_archive(("setup", RECORDING_AGENT, 0o755))},
                                  (NOT_SUCCESSFUL, FAILED)),
        }
        for label, (resources, lines) in cases.items():
            with self.subTest(label):
                bundle = self.make_bundle(resources, parent=self.folder(label))
                result = self.run_program(bundle.program, ARGS)
                self.assert_failed(result, *lines, last_lines_only=True)
                self.assertIsNone(result.record)
                self.assert_clean()

    def test_read_only_folders_from_archive_are_removed(self):
        archive = agent_archive(("data/", b"", 0o555), ("data/sub/", b"", 0o555), ("data/sub/file", b"x", 0o444),
                                ("data/file", b"y", 0o444))
        bundle = self.make_bundle({ARCHIVE: archive})
        for exit_status in (0, 3):
            with self.subTest(exit_status=exit_status):
                result = self.run_program(bundle.program, env={"AGENT_EXIT": str(exit_status)}, unprivileged=True)
                self.assertEqual(result.status, 0 if exit_status == 0 else 255, result.stderr)
                self.assert_unpacked_in_temp(result)
                self.assert_clean()


class DownloadRouteTest(BootstrapTestCase):

    def test_no_agent_in_bundle(self):
        cases = {  # label -> (resources, flat, the log line naming what was looked for comes first)
            "app": ({URL_FILE: URL}, False, False), "flat": ({URL_FILE: URL}, True, False),
            "only bundle.zip": ({URL_FILE: URL, "bundle.zip": agent_archive()}, False, False),
            "neither agent nor URL file": ({"bundle.zip": agent_archive()}, False, True),
        }
        for label, (resources, flat, named) in cases.items():
            with self.subTest(label):
                bundle = self.make_bundle(resources, parent=self.folder(label), flat=flat)
                result = self.run_program(bundle.program, ARGS)
                self.assert_failed(result, *DOWNLOAD_REFUSED, last_lines_only=True)
                logs = split_stderr(result.stderr)[0]
                self.assertEqual(logs[:-1], [b"No install agent in " + b(bundle.resources) + b": none of "
                                             b"ZavirirazUdaDad, InstallAgent.zip, InstallAgent_*.zip, "
                                             b"installAgentURL.txt is there"] if named else [], result.stderr)
                self.assertRegex(logs[-1], transport_log("" if named else URL.strip().decode()))
                self.assertIsNone(result.record)
                cache = os.path.join(self.home, CACHE_AGENT_DIR)
                self.assertTrue(os.path.isdir(cache))
                self.assertEqual(stat.S_IMODE(os.stat(cache).st_mode), 0o700)
                self.assertEqual(os.listdir(self.tmpdir), [])


class UnitTestModeTest(BootstrapTestCase):

    def test_archive_unpacked_next_to_bundle(self):
        for value in ("", "1"):
            for flat in (False, True):
                with self.subTest(value=value, flat=flat):
                    parent = self.folder(f"mode{value}{flat}")
                    bundle = self.make_bundle({ARCHIVE: agent_archive()}, parent=parent, flat=flat)
                    result = self.run_program(bundle.program, ARGS, unittest_var=value)
                    self.assert_succeeded(result)
                    self.assert_agent_got(result, bundle, ARGS, argv0=os.path.join(parent, "install"))
                    self.assertTrue(os.path.isfile(os.path.join(parent, "install")))
                    self.assert_private_temp_dir(result)
                    self.assert_clean()


if __name__ == "__main__":
    unittest.main()
