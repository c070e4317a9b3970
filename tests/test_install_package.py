"""cpack's .deb and .tar.gz hold the install; the unpacked (moved) install's tool makes
a working bundle, and its program finds its GTK window."""
import os
import re
import subprocess
import tarfile

from bootstrap_fixture import PROGRAM, URL_FILE, Bundle, agent_archive
from test_gtk_module import ARGS, GtkDisplayCase

BUILD = os.path.dirname(PROGRAM)


def run(*command, cwd=None):
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd)
    assert done.returncode == 0, "%s ended with %d:\n%s%s" % (command, done.returncode, done.stdout, done.stderr)
    return done.stdout


class InstallTest(GtkDisplayCase):

    def test_packages_hold_a_working_tool_program_and_gtk_window(self):
        with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
            libdir = re.search(r"(?m)^CMAKE_INSTALL_LIBDIR:PATH=(.*)$", cache.read()).group(1)
        installed = ["bin/bootstrapper", "bin/bootstrapper-make-bundle", "share/doc/bootstrapper/README.md",
                     libdir + "/bootstrapper/bootstrapper-gtk.so"]
        out = self.folder("packages")
        # cpack builds its "preinstall" target in the current folder: the build tree.
        run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out, cwd=BUILD)
        [deb] = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".deb")]
        [tarball] = [n for n in os.listdir(out) if n.endswith(".tar.gz")]
        listing = run("dpkg-deb", "-c", deb)
        for path in installed:
            mode = "rwxr-xr-x" if path.startswith("bin/") else "rw[-x]r-[-x]r-[-x]"
            self.assertRegex(listing, r"(?m)^-%s root/root .* \./usr/%s$" % (mode, re.escape(path)))
        fields = {field: run("dpkg-deb", "-f", deb, field) for field in ("Package", "Depends", "Recommends")}
        self.assertEqual(("bootstrapper\n", "libgtk-3-0, libsodium23\n"), (fields["Package"], fields["Recommends"]))
        self.assertEqual(["libcurl4", "python3", "unzip"], sorted(re.findall(r"libcurl4|unzip|python3|gtk",
                                                                             fields["Depends"])))

        unpacked, top = self.folder("unpacked"), tarball[:-len(".tar.gz")]
        with tarfile.open(os.path.join(out, tarball)) as tar:
            self.assertLessEqual({top + "/" + path for path in installed}, set(tar.getnames()))
            tar.extractall(unpacked, **({"filter": "tar"} if hasattr(tarfile, "data_filter") else {}))
        prefix = os.path.join(unpacked, top)
        # The installed tool copies the program beside it into the bundle it makes.
        archive = os.path.join(self.root, "agent.zip")
        with open(archive, "wb") as f:
            f.write(agent_archive())
        app = run(os.path.join(prefix, "bin", "bootstrapper-make-bundle"), "--name", "Boot", "--output",
                  self.folder("made"), "--agent-archive", archive).strip()
        program = os.path.join(app, "Contents", "MacOS", "bootstrapper")
        with open(program, "rb") as copied, open(os.path.join(prefix, "bin", "bootstrapper"), "rb") as installed_file:
            self.assertEqual(installed_file.read(), copied.read())
        result = self.run_program(program, ["--from", "installed tool"])
        self.assert_succeeded(result)
        self.assertEqual([b"--from", b"installed tool"], result.record.args[2:])
        # The installed program, as a flat install that downloads, finds its module in lib/bootstrapper/.
        with open(os.path.join(prefix, "bin", URL_FILE), "w") as f:
            f.write(self.agent_url() + "\n")
        flat = Bundle(os.path.join(prefix, "bin", "bootstrapper"), os.path.join(prefix, "bin"))
        result, _ = self.run_window(flat, gtk=True)
        self.assert_started_from_cache(result, flat, ARGS, unpacked=None)  # and no log line


if __name__ == "__main__":
    import unittest
    unittest.main()
