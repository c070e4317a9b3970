"""The per-user cache: hits, replacements, trust in it and in the folders above it, privacy whatever the umask;
signed caches, runs at once, an agent in use, entries that climb out, a full disk."""
import os
import re
import subprocess
import tempfile
import unittest
import zipfile

from bootstrap_fixture import (AGENT_SAYS, ARCHIVE, CACHE_DIR, KEY_FILE, NO_ETAG_LOG, NOBODY, UNPACK_FAILED,
                               UNZIP_TOOL_FAILED, VALIDATION_FILE, DownloadTestCase, agent_archive, minisign_key,
                               minisign_sign, read, split_stderr, unpack_log, walk, zip_archive)

ARGS = ["--from-cache", "two words"]


def padded(label, size=2_000_000):
    """Many reads: a check repeated at every read shows as a repeated log line."""
    return agent_archive((label, os.urandom(size), 0o666), compression=zipfile.ZIP_STORED)


class CacheTest(DownloadTestCase):

    def test_cache_table(self):
        """A cache filled, then spoiled, meets the server's answer: a hit, a replacement, or not used nor changed."""
        shared = self.enterContext(tempfile.TemporaryDirectory(prefix="bootstrap-shared-home-"))  # outside the sandbox
        os.chmod(shared, 0o1777)  # sticky and open to all, like /tmp
        self.publish("small.zip", padded("padding"))
        cache, korvex, moved = self.cache(), self.home + "/.korvex", self.root + "/moved"
        agent, release, shared_cache = cache + "/installagent", os.path.dirname(cache), os.path.join(shared, CACHE_DIR)

        def link(path):  # to the same thing elsewhere
            os.rename(path, moved)
            os.symlink(moved, path)

        def made_by(owner):
            return lambda: [(os.chmod(p, 0o755), os.chown(p, owner, owner)) for p in walk(shared + "/.korvex")]

        def unremovable_link():  # the user's own cache; its validation string a link in a folder it may not write
            link(os.path.join(shared_cache, VALIDATION_FILE))
            os.chmod(shared_cache, 0o500)
        # label -> (a spoil of the filled cache, a hit (or, not used: the folder named and why)[, the query it was
        #           filled from, the server's answer]); "shared": the shared HOME, and the runs another user's
        cases = {
            "64 KiB ETag, sent slowly": (None, True, "etag_size=65536", "small.zip?etag_size=65536&rate=100000"),
            "empty body with the cached ETag": (None, True, "etag=%22q%22", "empty?etag=%22q%22"),
            "no ETag, but a redirect's the same": (None, False, "etag=r", "r?etag=r&redirect=/small.zip%3Fnoetag"),
            "validation string without the agent": (lambda: os.remove(agent + "/install"), False),
            "untrusted: cache folder another's": (lambda: os.chown(cache, NOBODY, NOBODY), False),
            "untrusted: agent folder writable by all": (lambda: os.chmod(agent, 0o777), False),
            "untrusted: validation string a symbolic link": (lambda: link(cache + "/" + VALIDATION_FILE), False),
            "top folder a link to the user's own": (lambda: link(korvex), True, "", "small.zip?rate=100000"),
            "top folder writable by the group": (lambda: os.chmod(korvex, 0o770), (
                korvex, b" may be written by group or others; run chmod go-w %s")),
            "release folder of another user": (lambda: os.chown(release, NOBODY, NOBODY), (
                release, b" belongs to another user; .*")),
            "shared, made by root": (made_by(0), (shared_cache, b" belongs to another user and cannot be removed")),
            "shared, made by another user": (made_by(1), (shared + "/.korvex", b" belongs to another user; .*")),
            "shared, a link the user cannot remove": (unremovable_link, (
                shared_cache + "/" + VALIDATION_FILE, b" is a symbolic link and cannot be removed")),
        }
        self.addCleanup(os.umask, os.umask(0o002))  # the program inherits it; 000 for the second run
        for label, (spoil, outcome, *queries) in cases.items():
            (fill, answer), home = queries or ("", "small.zip"), shared if "shared" in label else self.home
            cached, (folder, why) = os.path.join(home, CACHE_DIR), outcome if isinstance(outcome, tuple) else ("", None)
            stored = os.path.join(cached, VALIDATION_FILE)
            judged = [folder, stored] if why else []
            with self.subTest(label):
                subprocess.run(["rm", "-rf", korvex, shared + "/.korvex", moved], check=True)  # links, not targets
                os.umask(0o002)
                self.assertEqual(self.run_download(self.fault_url("/small.zip?" + fill), (), {"HOME": home},
                                                   unprivileged=home == shared)[1].status, 0)
                before, marker = read(stored), os.path.join(cached, "installagent", "marker")
                os.close(os.open(marker, os.O_CREAT, 0o600))  # gone if replaced
                if spoil:
                    spoil()
                kept = [os.lstat(path)[:5] for path in judged]  # kind, mode, inode, device, links
                os.umask(0)
                sent = self.idle_fault_stats()["bytes_sent"]
                bundle, result = self.run_download(self.fault_url(answer), ARGS, {"HOME": home},
                                                   unprivileged=home == shared)
                named = re.escape(os.fsencode(folder))
                self.assert_started(result, bundle, ARGS, unpacked=outcome is not True, logs=[NO_ETAG_LOG] * (
                    "noetag" in answer), why=why and named + why.replace(b"%s", named))
                self.assertEqual([os.lstat(path)[:5] for path in judged], kept)
                # A hit starts at the first data, and abandons the rest (20 s of it, sent slowly).
                self.assertEqual(self.idle_fault_stats()["bytes_sent"] - sent < 1_000_000, outcome is True)
                self.assertEqual((read(stored), os.path.exists(marker)),
                                 (None if "noetag" in answer else before, bool(outcome)))
                if home == self.home and not why:  # the user's alone, and the agent's files written by no one else
                    for path in walk(korvex):
                        private = 0o022 if "installagent" in path or not os.path.isdir(path) else 0o077
                        self.assertEqual((os.stat(path).st_uid, os.stat(path).st_mode & private), (0, 0), path)
                    for name in {VALIDATION_FILE, ".lock"} & set(os.listdir(cached)):
                        self.assertEqual(os.stat(os.path.join(cached, name)).st_mode & 0o777, 0o600, name)

    def test_signed_cache_is_current_only_for_its_key(self):
        key, archive = minisign_key(self.folder("key")), self.www + "/" + self.publish("agent.zip", agent_archive())
        self.publish("agent.zip.minisig", minisign_sign(key, archive))
        # (the bundle's key, unpacked, signature requests, the stored key id after)
        runs = [(None, True, 0, None), (key.public, True, 1, key.key_id), (key.public, False, 0, key.key_id)]
        for number, (public, unpacked, requests, stored) in enumerate(runs):
            with self.subTest(run=number):
                before = self.nginx.error_log("access.log").count(".minisig")
                bundle = self.download_bundle(self.nginx.url("agent.zip"), "run-%d" % number,
                                              {KEY_FILE: public} if public else {})
                self.assert_started(self.run_program(bundle.program, ARGS), bundle, ARGS, unpacked=unpacked)
                self.assertEqual(self.nginx.error_log("access.log").count(".minisig") - before, requests)
                self.assertEqual(self.stored_validation_string(".verifiedkey"), stored)

    def test_two_runs_on_one_cache(self):
        for name, before in (("first.zip", None), ("second.zip", "outdated"), ("second.zip", "current")):
            with self.subTest(name, cache=before):
                self.publish(name, padded(name))  # the same size: the same ETag
                bundle = self.download_bundle(self.fault_url("/%s?rate=2000000" % name), "together")  # they overlap
                procs = [self.start_program(bundle.program, ARGS, {"AGENT_RECORD": self.record_file + str(i)})
                         for i in range(2)]
                for result in [self.finish_program(proc) for proc in procs]:
                    logs, lines = split_stderr(result.stderr)
                    self.assertEqual((result.status, logs, lines.count(AGENT_SAYS)), (0, [], 1), result.stderr)
                self.assertEqual(self.stored_validation_string(), b'"file-%d"' % len(read(self.www + "/" + name)))
                self.assertEqual((sorted(os.listdir(self.cache("installagent"))), os.path.getsize(self.cache(
                    "installagent", name))), (sorted(["install", name]), 2_000_000), "not one whole unpacking")

    def test_install_agent_in_use_is_never_replaced(self):
        reader = (b'echo started > "$AGENT_RECORD.started"\nsleep "${AGENT_SLEEP:-0}"\n'
                  b'cat "$(dirname "$0")/data" > "$AGENT_RECORD.data"\n')
        self.publish("reader.zip", zip_archive(("install", reader, 0o644), ("data", b"first archive", 0o644)))
        newer = self.download_bundle(self.nginx.url(self.publish("newer.zip", padded("newer", 1000))), "product D")
        record, first_bundle = self.root + "/first", self.download_bundle(self.nginx.url("reader.zip"), "product C")
        first = self.start_program(first_bundle.program, ARGS, {"AGENT_RECORD": record, "AGENT_SLEEP": "2"})
        self.wait_until(lambda: os.path.exists(record + ".started"), "the first agent start", bound=20)
        result = self.run_program(newer.program, ARGS)
        self.assert_started(result, newer, ARGS, why=b"another run's install agent uses it; .*")
        self.assertEqual((self.finish_program(first).status, read(record + ".data")), (0, b"first archive"))
        for unpacked in (True, False):  # unused now: replaced, then a hit
            self.assert_started(self.run_program(newer.program, ARGS), newer, ARGS, unpacked=unpacked)

    def test_entries_that_climb_out_stay_inside(self):
        archive = agent_archive(("../escape-parent", b"x", 0o644), ("sub/../../../escape-deeper", b"x", 0o644))
        bundle = self.make_bundle({ARCHIVE: archive}, parent=self.folder("bundle archive"))
        self.assert_succeeded(self.run_program(bundle.program, ARGS))
        bundle, result = self.run_download(self.nginx.url(self.publish("climbing.zip", archive)), ARGS)
        self.assert_started(result, bundle, ARGS)
        found = {os.path.relpath(path, self.cache("installagent")) for path in walk(self.root) if "/escape-" in path}
        self.assertEqual(found, {"escape-parent", "sub/escape-deeper"})

    def test_full_disk_leaves_no_current_cache(self):
        home = self.folder("small-home")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", home], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", home], check=True)
        _, result = self.run_download(self.nginx.url(self.publish("large.zip", padded("large", 4_000_000))), ARGS,
                                      env={"HOME": home})
        self.assert_download_failed(result, [UNPACK_FAILED], [unpack_log()], also=(UNZIP_TOOL_FAILED,))
        self.assertFalse(os.path.exists(os.path.join(home, CACHE_DIR, VALIDATION_FILE)))
        subprocess.run(["rm", "-r", home + "/.korvex"], check=True)  # room again: the next run ends well
        bundle, result = self.run_download(self.nginx.url(self.publish("agent.zip", agent_archive())), ARGS,
                                           {"HOME": home})
        self.assert_started(result, bundle, ARGS, cache=home)


if __name__ == "__main__":
    unittest.main()
