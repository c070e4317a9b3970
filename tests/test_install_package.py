"""`cmake --install` and cpack: the installed program and bundle tool make a
working bundle, and the installed program finds its GTK window; the .deb and
the .tar.gz hold the same files."""
import os
import re
import shutil
import subprocess
import tarfile

from bootstrap_fixture import PROGRAM, URL_FILE, Bundle, agent_archive
from test_gtk_module import ARGS, GtkDisplayCase

BUILD = os.path.dirname(PROGRAM)


def install_libdir():
    """The library folder the build installs into (CMAKE_INSTALL_LIBDIR), relative to the prefix."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return re.search(r"(?m)^CMAKE_INSTALL_LIBDIR:PATH=(.*)$", cache.read()).group(1)


GTK_MODULE = install_libdir() + "/bootstrapper/bootstrapper-gtk.so"
INSTALLED = ["bin/bootstrapper", "bin/bootstrapper-make-bundle", "share/doc/bootstrapper/README.md", GTK_MODULE]


def run(*command, cwd=None):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd)
    if done.returncode != 0:
        raise AssertionError("%s ended with %d:\n%s%s" % (" ".join(command), done.returncode, done.stdout,
                                                          done.stderr))
    return done.stdout


class InstallTest(GtkDisplayCase):

    def installed_program_shows_the_gtk_window(self, prefix):
        """Runs the installed program as a flat install downloading under the display."""
        url_file = os.path.join(prefix, "bin", URL_FILE)
        with open(url_file, "w") as f:
            f.write(self.agent_url() + "\n")
        flat = Bundle(os.path.join(prefix, "bin", "bootstrapper"), os.path.dirname(url_file), prefix)
        result, trace = self.run_window(flat)
        os.remove(url_file)
        self.assert_started_from_cache(result, flat, ARGS, unpacked=None)  # and no log line
        self.assert_window(trace, gtk=True)

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
        self.installed_program_shows_the_gtk_window(prefix)

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
        self.assertNotIn("gtk", depends)  # only the GTK window's module needs it
        self.assertEqual("libgtk-3-0, libsodium23\n", run("dpkg-deb", "-f", deb, "Recommends"))
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
        self.installed_program_shows_the_gtk_window(os.path.join(unpacked, top))  # moved, still found
        shutil.rmtree(unpacked)


if __name__ == "__main__":
    import unittest
    unittest.main()
