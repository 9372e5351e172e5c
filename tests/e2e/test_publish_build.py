"""Black-box tests of `qavopublish build`: the catalogue read back by an
independent decoder and parser, digests, sizes and times of the published
files, signatures checked with the key's numbers, quoting of awkward values,
refused descriptions that leave nothing behind, and replacing a mirror."""
import hashlib
import os
import shutil
import stat
import tempfile
import unittest

import mirrorlib
from mirrorlib import build, write
from test_publish import OPENSSL, key_numbers, md5_int

DESCRIPTION = """\
# test mirror
catalogue qavoe.info
kit "engine kit"
update qavoupdate ${BINDIR}/qavoupdate from bin/qavoupdate

module engine
    require base extra   # walked in this order
    needs qavomd
    file engine/engine.so ${DATADIR}/engine.so
    file engine/setup "" post 1
    file engine/stop ${BINDIR}/stop pre 3
    file engine/db ${DATADIR}/db signed
    file "" /usr/sbin/restart-daemon post 2
module base
    file base/data ${DATADIR}/data
module extra
module qavomd
    require base
    file qavomd/qavomd ${BINDIR}/qavomd
"""

SOURCES = {
    "bin/qavoupdate": (b"\x7fELF updater" * 50, 1000000001),
    "engine/engine.so": (b"engine " * 3000, 1000000002),
    "engine/setup": (b"#!/bin/sh\nexit 0\n", 1000000003),
    "engine/stop": (b"#!/bin/sh\nexit 0\n#stop\n", 1000000004),
    "engine/db": (bytes(range(256)) * 9, 1000000005),
    "base/data": (b"", 1000000006),
    "qavomd/qavomd": (b"daemon", 1000000007),
}


def md5hex(data):
    return hashlib.md5(data).hexdigest()


@unittest.skipUnless(os.path.exists(mirrorlib.TOOL), "qavopublish not built")
class BuildTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qavo-build-")
        self.src = os.path.join(self.dir, "release")
        self.mirror = os.path.join(self.dir, "mirror")
        self.addCleanup(shutil.rmtree, self.dir)

    def describe(self, text, sources=SOURCES):
        for name, (data, mtime) in sources.items():
            write(os.path.join(self.src, name), data, mtime)
        return write(os.path.join(self.src, "mirror.desc"), text)

    def publish(self, text, *options, sources=SOURCES, catalogue="qavoe.info"):
        result = build(self.describe(text, sources), self.mirror, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return mirrorlib.read_catalogue(os.path.join(self.mirror, catalogue))

    def contents(self):
        found = {}
        for root, _, names in os.walk(self.mirror):
            for name in names:
                with open(os.path.join(root, name), "rb") as f:
                    found[os.path.join(root, name)] = f.read()
        return found

    def assert_refused(self, text, message, left=("release",), sources=SOURCES):
        """Exit 2 naming the problem, and nothing new beside the sources."""
        result = build(self.describe(text, sources), self.mirror)
        self.assertEqual(result.returncode, 2, result.stdout)
        self.assertIn(message, result.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), list(left))
        return result

    def verify(self, path, status, key=mirrorlib.DEMO_PUBLIC):
        result = mirrorlib.tool("verify", "--key", key, path)
        self.assertEqual(result.returncode, status, result.stderr)


class CatalogueTest(BuildTest):
    def test_lists_every_file_with_the_digest_size_and_time_of_its_source(self):
        text, _, _ = self.publish(DESCRIPTION)
        catalogue = mirrorlib.parse_catalogue(text)
        data, mtime = SOURCES["bin/qavoupdate"]
        self.assertEqual(catalogue["update"], {
            "sitepath": "qavoupdate", "localpath": "${BINDIR}/qavoupdate",
            "size": str(len(data)), "time": str(mtime), "md5": md5hex(data)})
        self.assertEqual(catalogue["kit"], "engine kit")
        self.assertEqual([m["name"] for m in catalogue["modules"]],
                         ["engine", "base", "extra", "qavomd"])
        engine = catalogue["modules"][0]
        # The loader reverses name lists: written backwards, read forwards.
        self.assertEqual(engine["require"], ["extra", "base"])
        self.assertEqual(engine["needs"], ["qavomd"])
        files = {f["sitepath"]: f for f in engine["files"]}
        self.assertEqual(files["engine/engine.so"]["md5"], md5hex(SOURCES["engine/engine.so"][0]))
        self.assertEqual(files["engine/engine.so"]["localpath"], "${DATADIR}/engine.so")
        self.assertEqual(files["engine/setup"]["localpath"], "")
        self.assertEqual(files["engine/setup"]["exec"], ("post", "1"))
        self.assertEqual(files["engine/stop"]["exec"], ("pre", "3"))
        self.assertEqual(files[""], {"sitepath": "", "localpath": "/usr/sbin/restart-daemon",
                                     "exec": ("post", "2")})
        # A signed file has no digest and the size of its mirror copy.
        self.assertNotIn("md5", files["engine/db"])
        self.assertEqual(files["engine/db"]["size"], str(len(SOURCES["engine/db"][0]) + 128))
        self.assertEqual(files["engine/db"]["time"], str(SOURCES["engine/db"][1]))
        empty = catalogue["modules"][1]["files"][0]
        self.assertEqual((empty["size"], empty["md5"]), ("0", md5hex(b"")))
        self.assertEqual(catalogue["modules"][2], {"name": "extra", "files": [],
                                                   "require": [], "needs": []})

    def test_mirror_holds_exact_copies_with_their_times_and_signed_copies(self):
        _, payload, signature = self.publish(DESCRIPTION)
        if OPENSSL:
            modulus, exponent = key_numbers(mirrorlib.DEMO_PUBLIC)
            self.assertEqual(pow(int.from_bytes(signature, "little"), exponent, modulus), md5_int(payload))
        catalogue = os.path.join(self.mirror, "qavoe.info")
        self.verify(catalogue, 0)
        for name, (data, mtime) in SOURCES.items():
            site = "qavoupdate" if name == "bin/qavoupdate" else name
            path = os.path.join(self.mirror, site)
            with open(path, "rb") as f:
                published = f.read()
            if name == "engine/db":
                self.assertEqual(published[:-128], data)
                if OPENSSL:
                    signature = int.from_bytes(published[-128:], "little")
                    self.assertEqual(pow(signature, exponent, modulus), md5_int(data))
                self.verify(path, 0)
            else:
                self.assertEqual(published, data)
            self.assertEqual(os.stat(path).st_mtime, mtime)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644)
        self.assertEqual(stat.S_IMODE(os.stat(self.mirror).st_mode), 0o755)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.mirror, "engine")).st_mode), 0o755)
        self.assertEqual(sorted(os.listdir(self.dir)), ["mirror", "release"])
        with open(catalogue, "r+b") as f:  # a changed catalogue no longer verifies
            f.seek(5)
            byte = f.read(1)[0]
            f.seek(5)
            f.write(bytes([byte ^ 1]))
        self.verify(catalogue, 1)

    def test_awkward_values_are_quoted_and_read_back_unchanged(self):
        text, _, _ = self.publish(
            'catalogue other.cat\n'
            'kit "kit <with> = odd, [chars] | here"\n'
            'module time\n'
            '    require name\n'
            '    file size "/opt/my dir/a,b" from "with space"\n'
            '    file x/md5 "${DATADIR}/t\xe9st" \n'
            'module name\n'
            '    file EXEC /x pre 1\n'.encode("latin-1"), catalogue="other.cat",
            sources={"with space": (b"spaced", 7), "x/md5": (b"m", 8), "EXEC": (b"e", 9)})
        catalogue = mirrorlib.parse_catalogue(text)
        self.assertEqual(catalogue["kit"], "kit <with> = odd, [chars] | here")
        self.assertEqual([m["name"] for m in catalogue["modules"]], ["time", "name"])
        self.assertEqual(catalogue["modules"][0]["require"], ["name"])
        first, second = catalogue["modules"][0]["files"]
        self.assertEqual((first["sitepath"], first["localpath"]), ("size", "/opt/my dir/a,b"))
        self.assertEqual(second["localpath"], "${DATADIR}/t\xe9st")
        for quoted in ('"time"', 'sitepath = "size"', 'sitepath = "EXEC"', "sitepath = x/md5"):
            self.assertIn(quoted, text)
        self.assertTrue(os.path.exists(os.path.join(self.mirror, "other.cat")))
        self.assertFalse(os.path.exists(os.path.join(self.mirror, "qavoe.info")))

    def test_without_update_line_the_entry_has_empty_paths(self):
        text, _, _ = self.publish("module engine\n")
        catalogue = mirrorlib.parse_catalogue(text)
        self.assertEqual(catalogue["update"], {"sitepath": "", "localpath": ""})
        self.assertIsNone(catalogue["kit"])

    def test_another_key_publishes_with_a_warning(self):
        if not OPENSSL:
            self.skipTest("openssl missing")
        keys = os.path.join(self.dir, "keys")
        os.mkdir(keys)
        self.assertEqual(mirrorlib.tool("keygen", keys).returncode, 0)
        result = build(self.describe("module engine\n"), self.mirror,
                       key=os.path.join(keys, "private-key.pem"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("warning: this key is not the one built into this updater", result.stderr)
        path = os.path.join(self.mirror, "qavoe.info")
        self.verify(path, 0, key=os.path.join(keys, "public-key.pem"))
        self.verify(path, 1)


class RefusalTest(BuildTest):
    def test_bad_descriptions_name_file_and_line(self):
        cases = [
            ("module a\nfrobnicate x\n", ":2: unknown keyword 'frobnicate'"),
            ("file a /x\n", ":1: 'file' outside a module"),
            ("require a\n", ":1: 'require' outside a module"),
            ("module a\nmodule a\n", ":2: module 'a' already described on line 1"),
            ("module nerio\n", "'nerio' is reserved"),
            ("module a/b\n", "module name 'a/b' may hold only"),
            ("module a\nfile base/data\n", "needs a mirror path and an installation path"),
            ("module a\nfile base/data relative/path\n", "must start with '/' or a placeholder"),
            ("module a\nfile base/data ${LIBDIR}/x\n", "unknown placeholder"),
            ("module a\nfile /etc/passwd /x\n", "mirror path '/etc/passwd' is absolute"),
            ("module a\nfile ../base/data /x\n", "has an empty, '.' or '..' part"),
            ("module a\nfile base//data /x\n", "has an empty, '.' or '..' part"),
            ("module a\nfile base/da%20ta /x\n", "may hold only letters, digits"),
            ("module a\nfile qavoe.info /x\n", "is reserved"),
            ("module a\nfile base/data /x\nmodule b\nfile base/data /y\n",
             ":4: mirror path 'base/data' already listed on line 2"),
            ("module a\nfile base/data /x pre 0\n", "'pre' needs a number from 1 to 1000000"),
            ("module a\nfile base/data /x post 2x\n", "'post' needs a number"),
            ("module a\nfile base/data /x pre 1 post 1\n", "more than one of 'pre' and 'post'"),
            ("module a\nfile base/data /x signed signed\n", "'signed' given twice"),
            ("module a\nfile base/data /x sign\n", "unexpected word 'sign'"),
            ("module a\nfile \"\" /x\n", "must be a 'pre' or 'post' program"),
            ("module a\nfile \"\" /x pre 1 from base/data\n", "publishes nothing"),
            ("module a\nfile base/data \"/x\\\\y\"\n", "holds a backslash"),
            ("module a\nfile base/data /x\"y\n", "double quote inside the word"),
            ("module a\nfile base/data \"/x\n", "unterminated quoted word"),
            ("update qavoupdate /x signed\nmodule a\n", "unexpected word 'signed'"),
            ("update qavoupdate \"\"\nmodule a\n", "'update' needs a mirror path"),
            ("catalogue a/b\nmodule a\n", "catalogue name 'a/b' must be one file name"),
            ("kit a\nkit b\nmodule a\n", ":2: 'kit' given again (first on line 1)"),
            ("# nothing\n", "the description lists no module"),
            ("module a\n" + "#" * 5000 + "\n", ":2: line longer than 4096 bytes"),
            ("module a\nfile missing/file /x\n", ":2: cannot open"),
            ("module a\nfile base /x\n", "is not a regular file"),
        ]
        for text, message in cases:
            with self.subTest(text=text[:60]):
                result = self.assert_refused(text, message)
                self.assertIn("mirror.desc:", result.stderr)
                shutil.rmtree(self.src)

    def test_dependency_faults_are_refused_unless_unchecked(self):
        cases = [
            ("module a\nrequire b\nmodule b\nrequire c\nmodule c\nrequire a\n",
             "dependency cycle: a -> b -> c -> a"),
            ("module a\nneeds a\n", "dependency cycle: a -> a"),
            ("module a\nrequire b\nmodule b\nneeds a\n", "dependency cycle: a -> b -> a"),
            ("module a\nrequire ghost\n", "module 'a' depends on 'ghost', which is not described"),
        ]
        for text, message in cases:
            with self.subTest(text=text):
                self.assert_refused(text, message)
                result = build(self.describe(text), self.mirror, "--unchecked-dependencies")
                self.assertEqual(result.returncode, 0, result.stderr)
                shutil.rmtree(self.src)
                shutil.rmtree(self.mirror)

    def test_bad_key_and_usage(self):
        path = self.describe(DESCRIPTION)
        self.assertEqual(build(path, self.mirror, key=mirrorlib.DEMO_PUBLIC).returncode, 2)
        self.assertEqual(mirrorlib.tool("build", path, self.mirror).returncode, 2)
        self.assertEqual(mirrorlib.tool("build", "--key", mirrorlib.DEMO_PRIVATE, "--bogus",
                                        path, self.mirror).returncode, 2)
        self.assertEqual(sorted(os.listdir(self.dir)), ["release"])


class ReplaceTest(BuildTest):
    def test_a_failed_build_leaves_the_old_mirror_and_a_good_one_replaces_it(self):
        self.publish(DESCRIPTION)
        before = self.contents()
        sources = {k: v for k, v in SOURCES.items() if k != "qavomd/qavomd"}
        os.unlink(os.path.join(self.src, "qavomd", "qavomd"))
        self.assert_refused(DESCRIPTION, "qavomd/qavomd", ("mirror", "release"), sources)
        self.assertEqual(self.contents(), before)
        text, _, _ = self.publish("module only\nfile only/one /x\n", sources={"only/one": (b"1", 5)})
        self.assertEqual(sorted(os.listdir(self.mirror)), [".qavopublish-mirror", "only", "qavoe.info"])
        self.assertEqual([m["name"] for m in mirrorlib.parse_catalogue(text)["modules"]], ["only"])
        self.assertEqual(sorted(os.listdir(self.dir)), ["mirror", "release"])

    def test_refuses_to_replace_a_directory_it_did_not_publish(self):
        write(os.path.join(self.mirror, "precious"), b"keep me")
        self.assert_refused(DESCRIPTION, "refusing to replace", left=("mirror", "release"))
        with open(os.path.join(self.mirror, "precious"), "rb") as f:
            self.assertEqual(f.read(), b"keep me")
        os.unlink(os.path.join(self.mirror, "precious"))
        self.publish(DESCRIPTION)  # an empty directory is taken
        self.assertTrue(os.path.exists(os.path.join(self.mirror, "qavoe.info")))


if __name__ == "__main__":
    unittest.main()
