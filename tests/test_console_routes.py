"""How the program finds, starts and judges the install agent of its bundle."""
import os
import stat

from bootstrap_fixture import (ARCHIVE, CACHE_AGENT_DIR, ENTRY, FAILED, GARBAGE, NOT_SUCCESSFUL, RECORDING_AGENT,
                               UNZIP_FAILED, URL, DOWNLOAD_REFUSED, URL_FILE, BootstrapTestCase, agent_archive, b,
                               split_stderr, transport_log, zip_archive)

ARGS = ["--silent", "two words"]
# Read-only folders in the archive: the temporary folder is removed all the same.
READ_ONLY = agent_archive(("data/", b"", 0o555), ("data/sub/", b"", 0o555), ("data/sub/file", b"x", 0o444))


class ConsoleRoutesTest(BootstrapTestCase):

    def test_the_bundles_agent_starts(self):
        routes = [  # (resources, unpacked from an archive), each in an .app and in a flat folder
            ({ENTRY: RECORDING_AGENT, ARCHIVE: agent_archive(), "InstallAgent_1.zip": GARBAGE}, False),
            ({ARCHIVE: READ_ONLY, "InstallAgent_a.zip": GARBAGE}, True),
            ({"InstallAgent_x64.zip": agent_archive()}, True),
        ] + [({name: agent_archive()}, True) for name in ("InstallAgent_.zip", "InstallAgent_linux x64.zip")]
        for number, (resources, unpacked) in enumerate(routes):
            for flat in (False, True):
                with self.subTest(sorted(resources), flat=flat):
                    bundle = self.make_bundle({URL_FILE: URL, **resources}, parent=self.folder("%d%s" % (number, flat)),
                                              flat=flat)
                    result = self.run_program(bundle.program, ARGS, unprivileged=True)
                    self.assert_succeeded(result)
                    self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0 if unpacked else None)
                    if unpacked:
                        self.assert_unpacked_in_temp(result)
                    self.assert_private_temp_dir(result)
                    self.assert_clean()

    def test_the_agents_status_and_output(self):
        for status in (0, 3, 200):
            for resources in ({ENTRY: RECORDING_AGENT}, {ARCHIVE: READ_ONLY}):
                with self.subTest(status=status, route=next(iter(resources))):
                    bundle = self.make_bundle(resources, parent=self.folder("%d%s" % (status, next(iter(resources)))))
                    result = self.run_program(bundle.program, ARGS, unprivileged=True,
                                              env={"AGENT_EXIT": str(status), "AGENT_SAY": "agent: said"})
                    if status:
                        self.assert_failed(result, b"agent: said", NOT_SUCCESSFUL, FAILED)
                    else:
                        self.assertEqual((0, b"", b"agent: said\n"), result[:3])
                    self.assertEqual(result.record.args[2:], [a.encode() for a in ARGS])
                    self.assert_clean()

    def test_no_usable_agent(self):
        cases = [  # (resources, the last lines; None: the download that follows, refused)
            ({ARCHIVE: GARBAGE}, UNZIP_FAILED), ({ARCHIVE: b""}, UNZIP_FAILED),
            ({"InstallAgent_2.zip": GARBAGE}, UNZIP_FAILED),
            ({ARCHIVE: GARBAGE, "InstallAgent_2.zip": agent_archive()}, UNZIP_FAILED),
            ({ARCHIVE: zip_archive(("setup", RECORDING_AGENT, 0o755))}, (NOT_SUCCESSFUL, FAILED)),
        ] + [({URL_FILE: URL, name: agent_archive()}, None) for name in (
            "InstallAgent_x.ZIP", "InstallAgent.ZIP", "InstallAgent.zip.old", "MyInstallAgent_x.zip",
            "InstallAgent-x.zip", "installagent_x.zip", "bundle.zip")] + [({"bundle.zip": b""}, None)]
        for number, (resources, lines) in enumerate(cases):
            with self.subTest(sorted(resources)):
                bundle = self.make_bundle(resources, parent=self.folder(str(number)))
                result = self.run_program(bundle.program, ARGS)
                self.assert_failed(result, *(lines or DOWNLOAD_REFUSED), last_lines_only=True)
                self.assertIsNone(result.record)
                self.assertEqual(os.listdir(self.tmpdir), [])
                if lines is None:  # the URL file's, or none at all, after a line naming what was looked for
                    named = URL_FILE not in resources
                    logs = split_stderr(result.stderr)[0]
                    self.assertEqual(logs[:-1], [b"No install agent in " + b(bundle.resources) + b": none of "
                                                 b"ZavirirazUdaDad, InstallAgent.zip, InstallAgent_*.zip, "
                                                 b"installAgentURL.txt is there"] if named else [], result.stderr)
                    self.assertRegex(logs[-1], transport_log("" if named else URL.strip().decode()))
                    cache = os.path.join(self.home, CACHE_AGENT_DIR)
                    self.assertEqual(stat.S_IMODE(os.stat(cache).st_mode), 0o700)

    def test_found_through_links_from_tmp_and_beside_the_bundle(self):
        bundle = self.make_bundle({ARCHIVE: agent_archive()})
        os.symlink(bundle.program, os.path.join(self.root, "program-link"))
        os.symlink(self.apps, os.path.join(self.root, "apps-link"))
        cases = [  # (program, TMPDIR, the unit test variable; where the agent is unpacked)
            (os.path.join(self.root, "program-link"), self.tmpdir, None, self.tmpdir),
            (os.path.join(self.root, "apps-link", os.path.relpath(bundle.program, self.apps)), None, None, "/tmp"),
            (bundle.program, os.path.join(self.root, "missing"), None, "/tmp"),
            (bundle.program, "", None, "/tmp"),
            (bundle.program, bundle.program, None, "/tmp"),
            (bundle.program, self.tmpdir, "", self.apps), (bundle.program, self.tmpdir, "1", self.apps),
        ]
        for program, tmpdir, unittest_var, unpacked in cases:
            with self.subTest(program=program, tmpdir=tmpdir, unittest_var=unittest_var):
                result = self.run_program(program, ARGS, env={"TMPDIR": tmpdir}, unittest_var=unittest_var)
                self.assert_succeeded(result)
                self.assert_agent_got(result, bundle, ARGS, argv0=result.record.argv0)
                if unittest_var is None:
                    self.assert_unpacked_in_temp(result, base=unpacked)
                else:
                    self.assertEqual(result.record.argv0, b(os.path.join(unpacked, "install")))
                self.assertFalse(os.path.exists(os.path.join(self.root, "missing")))


if __name__ == "__main__":
    import unittest
    unittest.main()
