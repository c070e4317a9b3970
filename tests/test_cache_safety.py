"""The per-user cache under pressure: bootstraps of one user running at once,
a cache that another user owns or may write, hostile archives and a full disk."""
import io
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest
import zipfile

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, CACHE_DIR, FAILED, NOBODY, UNPACK_FAILED, UNZIP_FAILED,
                               UNZIP_TOOL_FAILED, VALIDATION_FILE, DownloadTestCase, agent_archive,
                               split_stderr, zip_archive, unpack_log)

ARGS = ["--cache-safety", "two words"]
RATE = 2_000_000  # bytes a second: the runs overlap for about a second
PLANTED = b'echo planted agent ran > "$AGENT_RECORD.planted"\n'
ESCAPES = ("escape-parent", "escape-deeper", "escape-absolute")


def padded_archive(label, size=2_000_000):
    return agent_archive((label, os.urandom(size), 0o644), compression=zipfile.ZIP_STORED)


def link_archive(target):
    """The agent, a symbolic link "lnk" to target, and an entry written through that link."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as archive:
        for name, data, kind in (("install", b"exit 0\n", stat.S_IFREG | 0o644), ("lnk", target.encode(),
                                  stat.S_IFLNK | 0o777), ("lnk/" + ESCAPES[0], b"x", stat.S_IFREG | 0o644)):
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.create_system = 3
            info.external_attr = kind << 16
            archive.writestr(info, data)
    return buf.getvalue()


class ConcurrentRunsTest(DownloadTestCase):

    def run_at_once(self, url, count=2):
        bundle = self.download_bundle(url, "together")
        procs = [self.start_program(bundle.program, ARGS, {"AGENT_SAY": AGENT_SAYS.decode(),
                                                          "AGENT_RECORD": os.path.join(self.root, "record%d" % i)})
                 for i in range(count)]
        return [self.finish_program(proc) for proc in procs]

    def assert_all_started(self, results):
        for result in results:
            self.assertEqual(result.status, 0, result.stderr)
            logs, lines = split_stderr(result.stderr)
            self.assertEqual((logs, lines.count(AGENT_SAYS)), ([], 1), result.stderr)

    def test_two_runs_on_one_cache(self):
        cases = [  # (archive, what the cache holds before: None, "current" or "outdated")
            ("first.zip", None), ("second.zip", "outdated"), ("second.zip", "current"), ("third.zip", "outdated")]
        for name, before in cases:
            with self.subTest(name, cache=before):
                if before is None:
                    self.clear_cache()
                else:
                    self.assertIsNotNone(self.stored_validation_string())
                archive = padded_archive(name)
                if before != "current":
                    self.publish(name, archive)
                size = os.path.getsize(os.path.join(self.www, name))
                results = self.run_at_once(self.fault_url("/%s?rate=%d" % (name, RATE)))
                self.assert_all_started(results)
                self.assertEqual(self.stored_validation_string(), b'"file-%d"' % size)
                self.assertEqual(sorted(os.listdir(self.cache("installagent"))), sorted(["install", name]))
                with open(self.cache("installagent", name), "rb") as f, \
                        zipfile.ZipFile(os.path.join(self.www, name)) as served:
                    self.assertEqual(f.read(), served.read(name), "the cached agent mixes two unpackings")
                self.assert_no_temp_left()


    def test_install_agent_in_use_is_never_replaced(self):
        """A cached agent that still reads its files while another product's bundle brings a newer
        archive: the newer one runs from a temporary folder, and replaces the cache on a later run."""
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
                first = self.start_program(first_bundle.program, ARGS, {"AGENT_RECORD": record, "AGENT_SLEEP": "3"})
                self.wait_until(lambda: os.path.exists(record + ".started"), "the first agent starts", bound=20)
                result = self.run_program(newer.program, ARGS, {"AGENT_SAY": AGENT_SAYS.decode()})
                self.assert_started_without_cache(result, newer, ARGS, b"another run's install agent uses it; .*")
                self.assertEqual(self.finish_program(first).status, 0)
                with open(record + ".data", "rb") as f:
                    self.assertEqual(f.read(), b"first archive")
                os.remove(record + ".started")
                for unpacked in (True, False):
                    result = self.run_program(newer.program, ARGS, {"AGENT_SAY": AGENT_SAYS.decode()})
                    self.assert_started_from_cache(result, newer, ARGS, unpacked=unpacked)
                self.assertEqual(self.stored_validation_string(), self.nginx.etag("newer.zip"))


class CacheTrustTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.publish("agent.zip", agent_archive())
        cls.etag = cls.nginx.etag("agent.zip")

    def plant_current_cache(self, home):
        """A cache whose stored ETag matches the server's and whose agent is not ours."""
        cache = os.path.join(home, CACHE_DIR)
        os.makedirs(os.path.join(cache, "installagent"), mode=0o700, exist_ok=True)
        with open(os.path.join(cache, "installagent", "install"), "wb") as f:
            f.write(PLANTED)
        with open(os.path.join(cache, VALIDATION_FILE), "wb") as f:
            f.write(self.etag)
        return cache

    def assert_planted_never_ran(self):
        self.assertFalse(os.path.exists(self.record_file + ".planted"), "the untrusted install agent ran")

    def test_untrusted_cache_is_replaced(self):
        def chown_nobody(path):
            os.chown(path, NOBODY, NOBODY)

        cases = {  # name -> what makes the planted cache untrustworthy
            "cache folder of another user": chown_nobody,
            "agent folder of another user": lambda c: chown_nobody(os.path.join(c, "installagent")),
            "validation string of another user": lambda c: chown_nobody(os.path.join(c, VALIDATION_FILE)),
            "cache folder writable by the group": lambda c: os.chmod(c, 0o770),
            "agent folder writable by all": lambda c: os.chmod(os.path.join(c, "installagent"), 0o777),
            "validation string writable by all": lambda c: os.chmod(os.path.join(c, VALIDATION_FILE), 0o666),
            "validation string a symbolic link": self.link_validation_string,
        }
        self.assertEqual(os.geteuid(), 0, "handing files to another user needs root")
        for name, spoil in cases.items():
            with self.subTest(name):
                self.clear_cache()
                spoil(self.plant_current_cache(self.home))
                bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS)
                self.assert_started_from_cache(result, bundle, ARGS)
                self.assert_planted_never_ran()
                self.assertEqual(self.stored_validation_string(), self.etag)
                for path in self.cache_paths():
                    info = os.lstat(path)
                    self.assertEqual((info.st_uid, info.st_mode & 0o022), (0, 0), path)

    def link_validation_string(self, cache):
        target = os.path.join(self.root, "elsewhere")
        os.rename(os.path.join(cache, VALIDATION_FILE), target)
        os.symlink(target, os.path.join(cache, VALIDATION_FILE))

    def cache_paths(self):
        top = os.path.join(self.home, ".korvex")
        yield top
        for folder, dirs, _ in os.walk(top):
            yield from (os.path.join(folder, d) for d in dirs)
        yield self.cache(VALIDATION_FILE)

    def test_folders_above_the_cache_are_never_changed(self):
        """Not ours: a folder above the program's own is judged through links, and when it is not
        acceptable the run goes on without the cache, changing nothing of it."""
        korvex = os.path.join(self.home, ".korvex")
        release = os.path.dirname(self.cache())

        def relocate(cache):
            moved = os.path.join(self.root, "dot-korvex")
            os.rename(korvex, moved)
            os.symlink(moved, korvex)
            shutil.rmtree(cache)

        cases = {  # name -> (spoil the planted cache, the folder judged, why; None: the cache is used)
            "top folder writable by the group": (lambda c: os.chmod(korvex, 0o770), korvex,
                                                 b" may be written by group or others; run chmod go-w %s"),
            "release folder of another user": (lambda c: os.chown(release, NOBODY, NOBODY), release,
                                               b" belongs to another user; .*"),
            "top folder a link to the user's own": (relocate, korvex, None),
        }
        for name, (spoil, folder, why) in cases.items():
            with self.subTest(name):
                self.clear_cache()
                shutil.rmtree(os.path.join(self.root, "dot-korvex"), ignore_errors=True)
                spoil(self.plant_current_cache(self.home))
                with open(os.path.join(korvex, "other-product.cfg"), "w") as f:
                    f.write("theirs")
                before = os.lstat(folder)[:5]  # kind, mode, inode, device, links
                if why is None:
                    for unpacked in (True, False):
                        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS)
                        self.assert_started_from_cache(result, bundle, ARGS, unpacked=unpacked)
                else:
                    bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS)
                    path = re.escape(os.fsencode(folder))
                    self.assert_started_without_cache(result, bundle, ARGS, path + why.replace(b"%s", path))
                    self.assertEqual(os.listdir(self.cache("installagent")), ["install"])
                self.assert_planted_never_ran()
                self.assertEqual(os.lstat(folder)[:5], before)
                with open(os.path.join(korvex, "other-product.cfg")) as f:
                    self.assertEqual(f.read(), "theirs")

    def test_cache_made_in_a_shared_home_by_another_user_is_left_alone(self):
        """A home like /tmp (sticky, open to all) where another user made the cache in advance."""
        self.assertEqual(os.geteuid(), 0, "handing files to another user needs root")
        cases = {  # the other user -> the path named, why
            0: (os.path.join(CACHE_DIR), b"belongs to another user and cannot be removed"),
            1: (".korvex", b"belongs to another user; .*"),
        }
        for owner, (judged, why) in cases.items():
            with self.subTest(owner=owner):
                shared = tempfile.mkdtemp(prefix="bootstrap-shared-home-")
                self.addCleanup(shutil.rmtree, shared)
                os.chmod(shared, 0o1777)
                cache = self.plant_current_cache(shared)
                for folder, dirs, files in os.walk(os.path.join(shared, ".korvex")):
                    for path in [folder, *(os.path.join(folder, n) for n in files)]:
                        os.chmod(path, 0o755)
                        os.chown(path, owner, owner)
                bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"HOME": shared},
                                                   unprivileged=True)
                path = re.escape(os.fsencode(os.path.join(shared, judged)))
                self.assert_started_without_cache(result, bundle, ARGS, path + b" " + why)
                self.assert_planted_never_ran()
                self.assertEqual(os.stat(os.path.join(cache, VALIDATION_FILE)).st_uid, owner, "their cache changed")


class HostileArchiveTest(DownloadTestCase):

    def assert_nothing_outside(self, outside):
        found = [os.path.join(folder, name) for top in (self.root, outside)
                 for folder, dirs, files in os.walk(top) for name in dirs + files if name in ESCAPES
                 and "installagent" not in folder and "/qz" not in folder]
        self.assertEqual(found, [])

    def test_entries_that_climb_out_stay_inside(self):
        outside = self.folder("outside")
        cases = {  # name -> (entries besides the agent, whether unzip calls it a success)
            "parent folders": ([("../" + ESCAPES[0], b"x", 0o644), ("sub/../../../" + ESCAPES[1], b"x", 0o644)], True),
            "absolute path": ([(os.path.join(outside, ESCAPES[2]), b"x", 0o644)], False),
        }
        for name, (entries, unpacks) in cases.items():
            archive = agent_archive(*entries)
            with self.subTest(name, route="bundle archive"):
                result = self.run_program(self.make_bundle({ARCHIVE: archive}, parent=self.folder(name)).program, ARGS)
                if unpacks:
                    self.assert_succeeded(result)
                else:
                    self.assert_failed(result, *UNZIP_FAILED, last_lines_only=True)
                self.assert_nothing_outside(outside)
                self.assertEqual(os.listdir(self.tmpdir), [])
            with self.subTest(name, route="download"):
                self.clear_cache()
                url = self.nginx.url(self.publish(name.replace(" ", "-") + ".zip", archive))
                bundle, result = self.run_download(url, ARGS, label="download " + name)
                if unpacks:
                    self.assert_started_from_cache(result, bundle, ARGS)
                    inside = {n for _, dirs, files in os.walk(self.cache("installagent")) for n in dirs + files}
                    self.assertLessEqual(set(ESCAPES[:2]), inside, "stripped entries land inside")
                else:
                    self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log()], also=(UNZIP_TOOL_FAILED,))
                    self.assertIsNone(self.stored_validation_string())
                self.assert_nothing_outside(outside)
                expected = [".lock"] + (["installagent", VALIDATION_FILE] if unpacks else [])
                self.assertEqual(sorted(os.listdir(self.cache())), sorted(expected))

    def test_symbolic_link_entry_is_not_followed(self):
        outside = self.folder("outside")
        data = link_archive(outside)
        with self.subTest("bundle archive"):
            result = self.run_program(self.make_bundle({ARCHIVE: data}).program, ARGS)
            self.assert_failed(result, *UNZIP_FAILED, last_lines_only=True)
        with self.subTest("download"):
            _, result = self.run_download(self.nginx.url(self.publish("link.zip", data)), ARGS)
            self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log()], also=(UNZIP_TOOL_FAILED,))
            self.assertIsNone(self.stored_validation_string())
        self.assertEqual(os.listdir(outside), [])

    def test_full_disk_leaves_no_current_cache(self):
        self.assertEqual(os.geteuid(), 0, "mounting a small file system needs root")
        home = self.folder("small-home")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", home], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", home], check=True)
        url = self.nginx.url(self.publish("large.zip", padded_archive("large", 4_000_000)))
        _, result = self.run_download(url, ARGS, env={"HOME": home})
        self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log()], also=(UNZIP_TOOL_FAILED,))
        self.assertFalse(os.path.exists(os.path.join(home, CACHE_DIR, VALIDATION_FILE)))

        # Room again: the next run downloads and starts the agent.
        shutil.rmtree(os.path.join(home, ".korvex"))
        url = self.nginx.url(self.publish("small.zip", agent_archive()))
        bundle, result = self.run_download(url, ARGS, env={"HOME": home})
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(result.record.argv0, os.fsencode(os.path.join(home, CACHE_DIR, "installagent", "install")))


if __name__ == "__main__":
    unittest.main()
