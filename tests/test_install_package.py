"""`cmake --install` and cpack: the installed program and bundle tool make a
working bundle; the .deb and the .tar.gz hold both."""
import os
import re
import shutil
import subprocess
import tarfile

from bootstrap_fixture import PROGRAM, BootstrapTestCase, agent_archive

BUILD = os.path.dirname(PROGRAM)
INSTALLED = ["bin/bootstrapper", "bin/bootstrapper-make-bundle", "share/doc/bootstrapper/README.md"]


def run(*command, cwd=None):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd)
    if done.returncode != 0:
        raise AssertionError("%s ended with %d:\n%s%s" % (" ".join(command), done.returncode, done.stdout,
                                                          done.stderr))
    return done.stdout


class InstallTest(BootstrapTestCase):

    def bundle_with_installed_tool(self, prefix):
        """Makes Boot.app with the tool under `prefix`, which copies its own program; runs it."""
        archive = os.path.join(self.root, "agent.zip")
        with open(archive, "wb") as f:
            f.write(agent_archive())
        tool = os.path.join(prefix, "bin", "bootstrapper-make-bundle")
        app = run(tool, "--name", "Boot", "--output", self.folder("made"), "--agent-archive", archive).strip()
        program = os.path.join(app, "Contents", "MacOS", "bootstrapper")
        with open(program, "rb") as copied, open(os.path.join(prefix, "bin", "bootstrapper"), "rb") as installed:
            self.assertEqual(installed.read(), copied.read())
        result = self.run_program(program, ["--from", "installed tool"])
        self.assert_succeeded(result)
        self.assertEqual([b"--from", b"installed tool"], result.record.args[2:])

    def test_install_into_a_prefix_gives_a_working_tool_and_program(self):
        prefix = self.folder("prefix")
        run("cmake", "--install", BUILD, "--prefix", prefix)
        for path in INSTALLED:
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        for path in INSTALLED[:2]:
            self.assertTrue(os.access(os.path.join(prefix, path), os.X_OK), path)
        self.bundle_with_installed_tool(prefix)

    def test_cpack_makes_a_deb_and_a_tarball_with_both_programs(self):
        out = self.folder("packages")
        # cpack builds its "preinstall" target in the current folder: the build tree.
        run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out, cwd=BUILD)
        debs = [n for n in os.listdir(out) if n.endswith(".deb")]
        tarballs = [n for n in os.listdir(out) if n.endswith(".tar.gz")]
        self.assertEqual((1, 1), (len(debs), len(tarballs)), os.listdir(out))

        deb = os.path.join(out, debs[0])
        listing = run("dpkg-deb", "-c", deb)
        for path in INSTALLED:
            self.assertRegex(listing, r"(?m)^-rw[-x](r-[-x]){2} root/root .* \./usr/" + re.escape(path) + "$")
        self.assertRegex(listing, r"(?m)^-rwxr-xr-x .* \./usr/bin/bootstrapper-make-bundle$")
        depends = run("dpkg-deb", "-f", deb, "Depends")
        for package in ("libcurl4", "unzip", "python3"):
            self.assertIn(package, depends)
        self.assertEqual("bootstrapper\n", run("dpkg-deb", "-f", deb, "Package"))

        tarball = os.path.join(out, tarballs[0])
        with tarfile.open(tarball) as tar:
            names = tar.getnames()
            top = tarballs[0][:-len(".tar.gz")]
            for path in INSTALLED:
                self.assertIn(top + "/" + path, names)
            unpacked = self.folder("unpacked")
            tar.extractall(unpacked, filter="tar") if hasattr(tarfile, "data_filter") else tar.extractall(unpacked)
        self.bundle_with_installed_tool(os.path.join(unpacked, top))
        shutil.rmtree(unpacked)


if __name__ == "__main__":
    import unittest
    unittest.main()
