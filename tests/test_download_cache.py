"""The per-user cache: (what it holds, what the server answers) -> a hit or a replacement; a current cache
starts without waiting for the archive; private whatever the umask; signed caches; runs at once, a running
agent, folders above it that are not ours, entries that climb out, a full disk."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile
from urllib.parse import quote

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, CACHE_DIR, KEY_FILE, NO_ETAG_LOG, NOBODY, UNPACK_FAILED,
                               UNZIP_TOOL_FAILED, VALIDATION_FILE, DownloadTestCase, agent_archive, minisign_key,
                               minisign_sign, read, split_stderr, unpack_log, walk, write, zip_archive)

ARGS = ["--from-cache", "two words"]
MARK_TIME = 1_000_000_000  # an mtime no unpacking gives (archives carry 2020)
PLANTED = b'echo planted agent ran > "$AGENT_RECORD.planted"\n'


def padded(label, size=2_000_000):
    """Many reads: a check repeated at every read shows as a repeated log line."""
    return agent_archive((label, os.urandom(size), 0o644), compression=zipfile.ZIP_STORED)


class CacheTest(DownloadTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.size = os.path.getsize(os.path.join(cls.www, cls.publish("small.zip", padded("padding"))))
        cls.publish("agent.zip", agent_archive())

    def plant(self, home, etag):
        """A current cache (its ETag the server's) whose agent is not ours."""
        cache = os.path.join(home, CACHE_DIR)
        os.makedirs(os.path.join(cache, "installagent"), mode=0o700, exist_ok=True)
        for path, data in (("installagent/install", PLANTED), ("installagent/marker", b""), (VALIDATION_FILE, etag)):
            write(os.path.join(cache, path), data)
        return cache

    def test_cache_table(self):
        etag, long_etag = (lambda value: "etag=" + quote(value)), b'"' + b"e" * (64 * 1024 - 2) + b'"'
        nobody = lambda path: os.chown(path, NOBODY, NOBODY)  # noqa: E731

        def link_validation_string(cache):
            os.rename(os.path.join(cache, VALIDATION_FILE), os.path.join(self.root, "elsewhere"))
            os.symlink(os.path.join(self.root, "elsewhere"), os.path.join(cache, VALIDATION_FILE))
        # label -> (the cache before: a query it was filled from, or a spoil of a planted one; the server's query;
        #           a hit; the validation string after; log lines)
        cases = {
            "same ETag": (etag('"quoted"'), etag('"quoted"'), True, b'"quoted"', []),
            "same ETag of 64 KiB": ("etag_size=65536", "etag_size=65536", True, long_etag, []),
            "empty body with the cached ETag": (etag('"q"'), "/empty?etag=" + quote('"q"'), True, b'"q"', []),
            "no ETag for a current cache": (etag('"quoted"'), "noetag", False, None, [NO_ETAG_LOG]),
            "empty ETag": ("noetag", "etag=", False, None, [NO_ETAG_LOG]),
            "a redirect's ETag, none after it": (etag('"first"'), "/r?status=307&etag=%22first%22&redirect=" + quote(
                "/small.zip?noetag", safe=""), False, None, [NO_ETAG_LOG]),
            "validation string without the agent": (etag('"quoted"'), etag('"quoted"'), False, b'"quoted"', []),
        }
        for label, spoil in {  # what makes a planted current cache untrustworthy
                "cache folder of another user": nobody,
                "validation string of another user": lambda c: nobody(os.path.join(c, VALIDATION_FILE)),
                "cache folder writable by the group": lambda c: os.chmod(c, 0o770),
                "agent folder writable by all": lambda c: os.chmod(os.path.join(c, "installagent"), 0o777),
                "validation string a symbolic link": link_validation_string}.items():
            cases["untrusted: " + label] = (spoil, "", False, b'"file-%d"' % self.size, [])
        self.assertEqual(os.geteuid(), 0, "handing files to another user needs root")
        for label, (before, query, hit, stored, logs) in cases.items():
            with self.subTest(label):
                self.clear_cache()
                if callable(before):
                    before(self.plant(self.home, b'"file-%d"' % self.size))
                else:
                    self.assertEqual(self.run_download(self.fault_url("/small.zip?" + before))[1].status, 0)
                    self.plant_marker()
                    os.utime(self.cache("installagent", "install"), (MARK_TIME, MARK_TIME))
                if label == "validation string without the agent":
                    os.remove(self.cache("installagent", "install"))
                query = query if query[:1] == "/" else "/small.zip?" + query
                bundle, result = self.run_download(self.fault_url(query), ARGS)
                self.assert_started(result, bundle, ARGS, unpacked=not hit, logs=logs)
                self.assertEqual(self.stored_validation_string(), stored)
                self.assertEqual(os.path.exists(self.cache("installagent", "marker")), hit, "kept or replaced")
                if hit:
                    self.assertEqual(os.stat(self.cache("installagent", "install")).st_mtime, MARK_TIME, "re-unpacked")
                self.assertFalse(os.path.exists(self.record_file + ".planted"), "an untrusted agent ran")
                for path in walk(os.path.join(self.home, ".korvex")):
                    self.assertEqual((os.lstat(path).st_uid, os.lstat(path).st_mode & 0o022), (0, 0), path)

    def test_current_cache_is_started_without_downloading(self):
        big = 64 * 1024 * 1024  # larger than a sanitizer build's own memory
        self.publish("big.zip", agent_archive(("padding.bin", os.urandom(big), 0o644), compression=zipfile.ZIP_STORED))
        bundle = self.download_bundle(self.fault_url("/big.zip"))
        first = self.finish_program(self.start_program(bundle.program, ARGS))
        self.assert_started(first, bundle, ARGS)
        self.assertLess(first.peak_memory_kib * 1024, big, "the archive was held in memory")
        before = self.idle_fault_stats()
        # The same ETag, sent slowly (two minutes for the whole): the run ends long before.
        bundle, second = self.run_download(self.fault_url("/big.zip?rate=%d" % (512 * 1024)), ARGS, timeout=15)
        after = self.idle_fault_stats()
        self.assert_started(second, bundle, ARGS, unpacked=False)
        self.assertEqual(after["requests"] - before["requests"], 1)
        self.assertLess(after["bytes_sent"] - before["bytes_sent"], 4 * 1024 * 1024)

    def test_private_and_a_hit_whatever_the_umask(self):
        self.publish("umask.zip", agent_archive(("shared-data", b"x", 0o666), ("tools/", b"", 0o777)))
        for mask in (0o002, 0o000):
            with self.subTest(umask=oct(mask)):
                self.clear_cache()
                saved = os.umask(mask)  # the program inherits it
                try:
                    for unpacked in (True, False):
                        bundle, result = self.run_download(self.nginx.url("umask.zip"), ARGS)
                        self.assert_started(result, bundle, ARGS, unpacked=unpacked)
                finally:
                    os.umask(saved)
                for path in walk(os.path.join(self.home, ".korvex")):  # ours the user's alone; the agent's not written
                    private = 0o022 if "installagent" in path or not os.path.isdir(path) else 0o077
                    self.assertEqual(os.stat(path).st_mode & private, 0, path)
                for name in (VALIDATION_FILE, ".lock"):
                    self.assertEqual(os.stat(self.cache(name)).st_mode & 0o777, 0o600, name)

    def test_signed_cache_is_current_only_for_its_key(self):
        path = os.path.join(self.www, self.publish("signed.zip", agent_archive()))
        with tempfile.TemporaryDirectory(prefix="bootstrap-key-") as folder:
            key = minisign_key(folder)
            self.publish("signed.zip.minisig", minisign_sign(key, path))
            self.publish("legacy.zip", agent_archive(("legacy", b"x", 0o644)))
            self.publish("legacy.zip.minisig", minisign_sign(key, os.path.join(self.www, "legacy.zip"), "-l"))
        runs = [  # (archive, the bundle's key, unpacked, signature requests, the stored key id after)
            ("signed.zip", None, True, 0, None),  # an unsigned bundle fetches no signature
            ("signed.zip", key.public, True, 1, key.key_id),  # its cache is outdated for a bundle with a key
            ("signed.zip", key.public, False, 0, key.key_id),  # a hit: no signature fetched
            ("signed.zip", None, False, 0, key.key_id),  # current for an unsigned bundle too
            ("legacy.zip", key.public, True, 1, key.key_id),  # a legacy signature verifies too
        ]
        for number, (name, public, unpacked, requests, stored) in enumerate(runs):
            with self.subTest(run=number):
                before = self.nginx.error_log("access.log").count(".minisig")
                bundle = self.download_bundle(self.nginx.url(name), "run-%d" % number, {KEY_FILE: public} if public
                                              else {})
                result = self.run_program(bundle.program, ARGS)
                self.assert_started(result, bundle, ARGS, unpacked=unpacked)
                self.assertEqual(self.nginx.error_log("access.log").count(".minisig") - before, requests)
                self.assertEqual(self.stored_validation_string(".verifiedkey"), stored)
        self.assertEqual(os.stat(self.cache(".verifiedkey")).st_mode & 0o777, 0o600)

    def test_two_runs_on_one_cache(self):
        """Sent slowly, so that they overlap: both start the agent, the cache holds one whole unpacking."""
        for name, before in (("first.zip", None), ("second.zip", "outdated"), ("second.zip", "current")):
            with self.subTest(name, cache=before):
                if before != "current":
                    self.publish(name, padded(name))
                bundle = self.download_bundle(self.fault_url("/%s?rate=2000000" % name), "together")
                procs = [self.start_program(bundle.program, ARGS, {"AGENT_RECORD": self.record_file + str(i)})
                         for i in range(2)]
                for result in [self.finish_program(proc) for proc in procs]:
                    logs, lines = split_stderr(result.stderr)
                    self.assertEqual((result.status, logs, lines.count(AGENT_SAYS)), (0, [], 1), result.stderr)
                self.assertEqual(self.stored_validation_string(), b'"file-%d"' % os.path.getsize(
                    os.path.join(self.www, name)))
                self.assertEqual(sorted(os.listdir(self.cache("installagent"))), sorted(["install", name]))
                with zipfile.ZipFile(os.path.join(self.www, name)) as served:
                    self.assertEqual(read(self.cache("installagent", name)), served.read(name), "mixes two unpackings")

    def test_install_agent_in_use_is_never_replaced(self):
        """A cached agent still reading its files while another bundle brings a newer archive: the newer one
        runs from a temporary folder, and replaces the cache on a later run."""
        reader = (b'echo started > "$AGENT_RECORD.started"\nsleep "${AGENT_SLEEP:-0}"\n'
                  b'cat "$(dirname "$0")/data" > "$AGENT_RECORD.data"\n')
        self.publish("reader.zip", zip_archive(("install", reader, 0o644), ("data", b"first archive", 0o644)))
        self.publish("newer.zip", padded("newer", 1000))
        first_bundle = self.download_bundle(self.nginx.url("reader.zip"), "product C")
        newer = self.download_bundle(self.nginx.url("newer.zip"), "product D")
        for first_started in ("after unpacking", "from a cache hit"):
            with self.subTest(first_started):
                self.clear_cache()
                if first_started == "from a cache hit":
                    self.assertEqual(self.run_program(first_bundle.program, ARGS).status, 0)
                record = os.path.join(self.root, "first")
                first = self.start_program(first_bundle.program, ARGS, {"AGENT_RECORD": record, "AGENT_SLEEP": "2"})
                self.wait_until(lambda: os.path.exists(record + ".started"), "the first agent start", bound=20)
                result = self.run_program(newer.program, ARGS)
                self.assert_started(result, newer, ARGS, why=b"another run's install agent uses it; .*")
                self.assertEqual(self.finish_program(first).status, 0)
                self.assertEqual(read(record + ".data"), b"first archive")
                os.remove(record + ".started")
                for unpacked in (True, False):
                    result = self.run_program(newer.program, ARGS)
                    self.assert_started(result, newer, ARGS, unpacked=unpacked)

    def test_folders_above_the_cache_are_never_changed(self):
        """Not ours: judged through links; when not acceptable the run goes on without the cache."""
        korvex, release = os.path.join(self.home, ".korvex"), os.path.dirname(os.path.join(self.home, CACHE_DIR))
        shared = tempfile.mkdtemp(prefix="bootstrap-shared-home-")  # sticky and open to all, like /tmp
        self.addCleanup(shutil.rmtree, shared)
        os.chmod(shared, 0o1777)

        def relocate():
            os.rename(korvex, os.path.join(self.root, "dot-korvex"))
            os.symlink(os.path.join(self.root, "dot-korvex"), korvex)
            shutil.rmtree(self.cache())

        def made_by(owner):
            return lambda: [(os.chmod(p, 0o755), os.chown(p, owner, owner)) for p in walk(shared + "/.korvex")]
        cases = {  # label -> (HOME, spoil the planted cache, the folder judged, why; None: the cache is used)
            "top folder writable by the group": (self.home, lambda: os.chmod(korvex, 0o770), korvex,
                                                 b" may be written by group or others; run chmod go-w %s"),
            "release folder of another user": (self.home, lambda: os.chown(release, NOBODY, NOBODY), release,
                                               b" belongs to another user; .*"),
            "top folder a link to the user's own": (self.home, relocate, korvex, None),
            "shared home, made by root": (shared, made_by(0), os.path.join(shared, CACHE_DIR),
                                          b" belongs to another user and cannot be removed"),
            "shared home, made by another user": (shared, made_by(1), os.path.join(shared, ".korvex"),
                                                  b" belongs to another user; .*"),
        }
        for label, (home, spoil, folder, why) in cases.items():
            with self.subTest(label):
                for path in (os.path.join(self.home, ".korvex"), os.path.join(shared, ".korvex"),
                             os.path.join(self.root, "dot-korvex")):
                    shutil.rmtree(path, ignore_errors=True)
                cache = self.plant(home, self.nginx.etag("agent.zip"))
                spoil()
                judged = [folder, os.path.join(cache, VALIDATION_FILE)][:2 if why else 1]
                before = [os.lstat(path)[:5] for path in judged]  # kind, mode, inode, device, links
                for unpacked in (True, False) if why is None else (True,):
                    bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, {"HOME": home},
                                                       unprivileged=home == shared)
                    if why is None:
                        self.assert_started(result, bundle, ARGS, unpacked=unpacked)
                    else:
                        path = re.escape(os.fsencode(folder))
                        self.assert_started(result, bundle, ARGS, why=path + why.replace(b"%s", path))
                self.assertEqual([os.lstat(path)[:5] for path in judged], before)
                self.assertFalse(os.path.exists(self.record_file + ".planted"), "an untrusted agent ran")

    def test_entries_that_climb_out_stay_inside(self):
        archive = agent_archive(("../escape-parent", b"x", 0o644), ("sub/../../../escape-deeper", b"x", 0o644))
        bundle = self.make_bundle({ARCHIVE: archive}, parent=self.folder("bundle archive"))
        self.assert_succeeded(self.run_program(bundle.program, ARGS))
        bundle, result = self.run_download(self.nginx.url(self.publish("climbing.zip", archive)), ARGS)
        self.assert_started(result, bundle, ARGS)
        found = {os.path.relpath(p, self.root) for p in walk(self.root) if os.path.basename(p).startswith("escape-")}
        self.assertEqual(found, {os.path.join("home", CACHE_DIR, "installagent", n) for n in ("escape-parent",
                                                                                               "sub/escape-deeper")})

    def test_full_disk_leaves_no_current_cache(self):
        home = self.folder("small-home")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", home], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", home], check=True)
        _, result = self.run_download(self.nginx.url(self.publish("large.zip", padded("large", 4_000_000))), ARGS,
                                      env={"HOME": home})
        self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log()], also=(UNZIP_TOOL_FAILED,))
        self.assertFalse(os.path.exists(os.path.join(home, CACHE_DIR, VALIDATION_FILE)))
        shutil.rmtree(os.path.join(home, ".korvex"))  # room again: the next run ends well
        bundle, result = self.run_download(self.nginx.url("agent.zip"), ARGS, env={"HOME": home})
        self.assert_started(result, bundle, ARGS, cache=home)


if __name__ == "__main__":
    unittest.main()
