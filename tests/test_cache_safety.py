"""The per-user cache under pressure: runs at once, a running agent, folders above the cache that
are not ours, entries that climb out, a full disk."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, CACHE_DIR, NOBODY, UNPACK_FAILED, UNZIP_TOOL_FAILED,
                               VALIDATION_FILE, DownloadTestCase, agent_archive, split_stderr, unpack_log, zip_archive)

ARGS = ["--cache-safety", "two words"]
RATE = 2_000_000  # bytes a second: the runs overlap for about a second
PLANTED = b'echo planted agent ran > "$AGENT_RECORD.planted"\n'
SAY = {"AGENT_SAY": AGENT_SAYS.decode()}


def padded_archive(label, size=2_000_000):
    return agent_archive((label, os.urandom(size), 0o644), compression=zipfile.ZIP_STORED)


class CacheSafetyTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())

    def test_two_runs_on_one_cache(self):
        for name, before in (("first.zip", None), ("second.zip", "outdated"), ("second.zip", "current")):
            with self.subTest(name, cache=before):
                if before != "current":
                    self.publish(name, padded_archive(name))
                bundle = self.download_bundle(self.fault_url("/%s?rate=%d" % (name, RATE)), "together")
                procs = [self.start_program(bundle.program, ARGS, {**SAY, "AGENT_RECORD": self.record_file + str(i)})
                         for i in range(2)]
                for result in [self.finish_program(proc) for proc in procs]:
                    self.assertEqual(result.status, 0, result.stderr)
                    logs, lines = split_stderr(result.stderr)
                    self.assertEqual((logs, lines.count(AGENT_SAYS)), ([], 1), result.stderr)
                self.assertEqual(self.stored_validation_string(), b'"file-%d"' % os.path.getsize(
                    os.path.join(self.www, name)))
                self.assertEqual(sorted(os.listdir(self.cache("installagent"))), sorted(["install", name]))
                with open(self.cache("installagent", name), "rb") as f, \
                        zipfile.ZipFile(os.path.join(self.www, name)) as served:
                    self.assertEqual(f.read(), served.read(name), "the cached agent mixes two unpackings")
                self.assert_no_temp_left()

    def test_install_agent_in_use_is_never_replaced(self):
        """A cached agent still reading its files while another bundle brings a newer archive: the newer
        one runs from a temporary folder, and replaces the cache on a later run."""
        reader = (b'echo started > "$AGENT_RECORD.started"\nsleep "${AGENT_SLEEP:-0}"\n'
                  b'cat "$(dirname "$0")/data" > "$AGENT_RECORD.data"\n')
        self.publish("reader.zip", zip_archive(("install", reader, 0o644), ("data", b"first archive", 0o644)))
        self.publish("newer.zip", padded_archive("newer", 1000))
        first_bundle = self.download_bundle(self.nginx.url("reader.zip"), "product C")
        newer = self.download_bundle(self.nginx.url("newer.zip"), "product D")
        for first_started in ("after unpacking", "from a cache hit"):
            with self.subTest(first_started):
                self.clear_cache()
                if first_started == "from a cache hit":
                    self.assertEqual(self.run_program(first_bundle.program, ARGS).status, 0)
                record = os.path.join(self.root, "first")
                first = self.start_program(first_bundle.program, ARGS, {"AGENT_RECORD": record, "AGENT_SLEEP": "2"})
                self.wait_until(lambda: os.path.exists(record + ".started"), "the first agent starts", bound=20)
                result = self.run_program(newer.program, ARGS, SAY)
                self.assert_started_without_cache(result, newer, ARGS, b"another run's install agent uses it; .*")
                self.assertEqual(self.finish_program(first).status, 0)
                with open(record + ".data", "rb") as f:
                    self.assertEqual(f.read(), b"first archive")
                os.remove(record + ".started")
                for unpacked in (True, False):
                    result = self.run_program(newer.program, ARGS, SAY)
                    self.assert_started_from_cache(result, newer, ARGS, unpacked=unpacked)

    def plant_current_cache(self, home):
        """A cache whose stored ETag matches nginx's and whose agent is not ours."""
        cache = os.path.join(home, CACHE_DIR)
        os.makedirs(os.path.join(cache, "installagent"), mode=0o700, exist_ok=True)
        for path, data in (("installagent/install", PLANTED), (VALIDATION_FILE, self.nginx.etag("agent.zip"))):
            with open(os.path.join(cache, path), "wb") as f:
                f.write(data)
        return cache

    def test_folders_above_the_cache_are_never_changed(self):
        """Not ours: judged through links; when not acceptable the run goes on without the cache."""
        korvex, release = os.path.join(self.home, ".korvex"), os.path.dirname(self.cache())

        def relocate(cache):
            os.rename(korvex, os.path.join(self.root, "dot-korvex"))
            os.symlink(os.path.join(self.root, "dot-korvex"), korvex)
            shutil.rmtree(cache)

        shared = tempfile.mkdtemp(prefix="bootstrap-shared-home-")  # sticky and open to all, like /tmp
        self.addCleanup(shutil.rmtree, shared)
        os.chmod(shared, 0o1777)

        def made_by(owner):
            def spoil(cache):
                for folder, dirs, files in os.walk(os.path.join(shared, ".korvex")):
                    for path in [folder, *(os.path.join(folder, n) for n in files)]:
                        os.chmod(path, 0o755)
                        os.chown(path, owner, owner)
            return spoil

        cases = {  # label -> (HOME, spoil the planted cache, the folder judged, why; None: the cache is used)
            "top folder writable by the group": (self.home, lambda c: os.chmod(korvex, 0o770), korvex,
                                                 b" may be written by group or others; run chmod go-w %s"),
            "release folder of another user": (self.home, lambda c: os.chown(release, NOBODY, NOBODY), release,
                                               b" belongs to another user; .*"),
            "top folder a link to the user's own": (self.home, relocate, korvex, None),
            "shared home, made by root": (shared, made_by(0), os.path.join(shared, CACHE_DIR),
                                          b" belongs to another user and cannot be removed"),
            "shared home, made by another user": (shared, made_by(1), os.path.join(shared, ".korvex"),
                                                  b" belongs to another user; .*"),
        }
        self.assertEqual(os.geteuid(), 0, "handing files to another user needs root")
        for label, (home, spoil, folder, why) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                shutil.rmtree(os.path.join(shared, ".korvex"), ignore_errors=True)
                shutil.rmtree(os.path.join(self.root, "dot-korvex"), ignore_errors=True)
                cache = self.plant_current_cache(home)
                spoil(cache)
                judged = [folder, os.path.join(cache, VALIDATION_FILE)][:2 if why else 1]
                before = [os.lstat(path)[:5] for path in judged]  # kind, mode, inode, device, links
                env, user = {**SAY, "HOME": home}, home == shared
                if why is None:
                    for unpacked in (True, False):
                        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env)
                        self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
                else:
                    bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env, unprivileged=user)
                    path = re.escape(os.fsencode(folder))
                    self.assert_started_without_cache(result, bundle, ARGS, path + why.replace(b"%s", path))
                self.assertEqual([os.lstat(path)[:5] for path in judged], before)
                self.assertFalse(os.path.exists(self.record_file + ".planted"), "the untrusted install agent ran")

    def test_entries_that_climb_out_stay_inside(self):
        archive = agent_archive(("../escape-parent", b"x", 0o644), ("sub/../../../escape-deeper", b"x", 0o644))
        bundle = self.make_bundle({ARCHIVE: archive}, parent=self.folder("bundle archive"))
        self.assert_succeeded(self.run_program(bundle.program, ARGS))
        bundle, result = self.run_download(self.nginx.url(self.publish("climbing.zip", archive)), ARGS)
        self.assert_started_from_cache(result, bundle, ARGS)
        found = {os.path.relpath(os.path.join(folder, name), self.root) for folder, dirs, files in os.walk(self.root)
                 for name in dirs + files if name.startswith("escape-")}
        self.assertEqual(found, {os.path.join("home", CACHE_DIR, "installagent", n) for n in ("escape-parent",
                                                                                               "sub/escape-deeper")})

    def test_full_disk_leaves_no_current_cache(self):
        self.assertEqual(os.geteuid(), 0, "mounting a small file system needs root")
        home = self.folder("small-home")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", home], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", home], check=True)
        url = self.nginx.url(self.publish("large.zip", padded_archive("large", 4_000_000)))
        _, result = self.run_download(url, ARGS, env={"HOME": home})
        self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log()], also=(UNZIP_TOOL_FAILED,))
        self.assertFalse(os.path.exists(os.path.join(home, CACHE_DIR, VALIDATION_FILE)))
        shutil.rmtree(os.path.join(home, ".korvex"))  # room again: the next run ends well
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"HOME": home})
        self.assertEqual(result.record.argv0, os.fsencode(os.path.join(home, CACHE_DIR, "installagent", "install")))


if __name__ == "__main__":
    unittest.main()
