"""qavopublish from the outside (keys and signatures against openssl, LZSS against an independent
decoder, the mirror `build` writes, refusals leaving nothing) and the build's public key check."""
import hashlib
import os
import random
import re
import subprocess
import time
import unittest

from harness import (ED25519, KEY, OPENSSL, PUBLIC, SOURCE, ScratchTest, keyid, mode, openssl,
                     publisher, read, sha256, write)

SIGNING, SIGNING_PUBLIC = ED25519 % "private", ED25519 % "public"


def lzss_decode(data):
    """A decoder written from the format: 4096-byte ring of blanks, flag bytes
    with literals as 1 bits, 12-bit positions and lengths of 3 to 18."""
    ring, r, out, i = bytearray(b" " * 4078 + b"\0" * 18), 4078, bytearray(), 0
    while i < len(data):
        flags, i = data[i], i + 1
        for bit in range(8):
            if flags >> bit & 1 and i < len(data):
                pos, length, i = None, 1, i + 1
            elif not flags >> bit & 1 and i + 1 < len(data):
                pos, length = data[i] | (data[i + 1] & 0xF0) << 4, (data[i + 1] & 0x0F) + 3
                i += 2
            else:
                return bytes(out)
            for k in range(length):  # a reference may copy what it writes
                c = data[i - 1] if pos is None else ring[(pos + k) % 4096]
                out.append(c)
                ring[r], r = c, (r + 1) % 4096
    return bytes(out)


def key_numbers(pem, private=False):
    """(modulus, public exponent) as openssl reads them."""
    text = openssl("rsa", "-noout", "-text", "-in", pem, *([] if private else ["-pubin"])).decode()
    modulus = re.search(r"odulus:\s*\n((?:\s+[0-9a-f:]+\n)+)", text).group(1)
    return int(re.sub(r"[\s:]", "", modulus), 16), int(re.search(r"xponent: (\d+)", text).group(1))


def md5_int(data):
    return int.from_bytes(hashlib.md5(data).digest(), "little")


def catalogue(path):
    """The text of a published catalogue, and its files as property maps."""
    text = lzss_decode(read(path)[:-128]).decode("latin-1")
    files = [dict(re.findall(r'(\w+) = ("[^"]*"|pre \d+|post \d+|\S+)', block))
             for block in re.findall(r"<(?:file|update)>(.*?)</", text, re.S)]
    return text, {f["sitepath"]: f for f in files}


@unittest.skipUnless(OPENSSL, "openssl missing")
class Sandbox(ScratchTest):
    def tool(self, *args, status=0):
        done = publisher(*args)
        self.assertEqual(done.returncode, status, (args, done.stderr))
        return done.stderr.decode()

    def keygen(self):
        self.tool("keygen", self.path())
        return self.path("private-key.pem"), self.path("public-key.pem")


class PublishTest(Sandbox):
    def test_keys_and_signatures_agree_with_openssl(self):
        private, public = self.keygen()
        modulus, exponent = key_numbers(public)
        ed_private, ed_public = (self.path("ed25519-%s-key.pem" % k) for k in ("private", "public"))
        self.assertEqual((modulus.bit_length(), exponent, key_numbers(private, private=True),
                          mode(private) & 0o077, mode(ed_private)),
                         (1022, 65537, (modulus, exponent), 0, 0o600))
        self.assertEqual(openssl("pkey", "-in", ed_private, "-pubout"), read(ed_public))
        before = read(private)
        self.assertIn("refusing to overwrite", self.tool("keygen", self.path(), status=2))
        self.assertEqual(read(private), before)
        for payload in (b"catalogue payload\n" * 40, os.urandom(5000), b""):
            payload_path = write(self.path("payload"), payload)
            self.tool("sign", "--key", private, payload_path, self.path("signed"))
            signed = read(self.path("signed"))
            self.assertEqual((signed[:-128], pow(int.from_bytes(signed[-128:], "little"), exponent,
                                                  modulus)), (payload, md5_int(payload)))
        self.tool("verify", "--key", PUBLIC, self.path("signed"), status=1)
        # A signature made by openssl verifies; no changed byte does.
        signed = b"by openssl" + openssl("rsautl", "-sign", "-raw", "-inkey", private, "-in", write(
            self.path("digest.be"), md5_int(b"by openssl").to_bytes(128, "big")))[::-1]
        self.tool("verify", "--key", public, write(self.path("theirs"), signed))
        for offset in (0, 9, 10, 70, 137):
            tampered = bytearray(signed)
            tampered[offset] ^= 1
            self.assertIn("signature does not match", self.tool(
                "verify", "--key", public, write(self.path("theirs"), bytes(tampered)), status=1))
            self.assertEqual(read(self.path("theirs")), bytes(tampered))

    def test_compression_round_trips_through_an_independent_decoder(self):
        text = read(os.path.join(SOURCE, "integrity", "lzss.cpp")) * 3
        # Blanks and zeros first match the ring as it starts: blanks, then 18 zeros (2 references).
        for data, ratio in ((text, 0.5), (random.Random(3).randbytes(200000), None),
                            (b"", None), (b" " * 40 + b"\0" * 40 + text, 0.5),
                            (b"\0" * 18 + b" " * 18, 1 / 6), (b"\0" * 300000, 0.125)):
            self.tool("compress", write(self.path("in"), data), self.path("packed"))
            self.tool("decompress", self.path("packed"), self.path("out"))
            packed = read(self.path("packed"))
            self.assertEqual((lzss_decode(packed), read(self.path("out")), ratio is None or
                              len(packed) < len(data) * ratio), (data, data, True))
        write(self.path("cut"), packed[:len(packed) // 2 + 1])
        self.tool("decompress", self.path("cut"), self.path("out"))
        self.assertTrue(0 < len(read(self.path("out"))) < len(data))
        self.assertEqual(sorted(os.listdir(self.dir)), ["cut", "in", "out", "packed"])

    def test_errors_leave_no_output(self):
        private, public = self.keygen()
        payload, out = write(self.path("payload"), b"data"), self.path("out")
        openssl("genrsa", "-out", self.path("big.pem"), "1024")
        for args in (("sign", "--key", public, payload, out), ("sign", payload, out),
                     ("sign", "--key", self.path("absent.pem"), payload, out),
                     ("sign", "--key", private, self.path("absent"), out),
                     ("sign", "--key", self.path("big.pem"), payload, out),
                     ("verify", "--key", public, payload), ("compress", self.path("x"), out),
                     ("compress", payload, self.path("no", "dir")), ("keygen", self.path("no")),
                     ("frobnicate",)):
            self.assertNotEqual(self.tool(*args, status=2).strip(), "", args)
        self.assertEqual(sorted(os.listdir(self.dir)), ["big.pem", "ed25519-private-key.pem",
                         "ed25519-public-key.pem", "payload", "private-key.pem", "public-key.pem"])

    def test_build_script_takes_only_keys_the_updater_can_hold(self):
        def generate(key):
            return subprocess.run(["cmake", "-DKEY=" + key, "-DOUT=" + self.path("key.cpp"), "-P",
                                   os.path.join(SOURCE, "integrity", "public_key.cmake")],
                                  capture_output=True, text=True)
        self.assertEqual(generate(PUBLIC).returncode, 0)  # the updater's use shows it right
        os.unlink(self.path("key.cpp"))
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1022", "-pkeyopt",
                "rsa_keygen_pubexp:4294967297", "-out", self.path("bige"))
        openssl("genrsa", "-out", self.path("k1024"), "1024")
        for name in ("k1024", "bige"):
            openssl("pkey", "-in", self.path(name), "-pubout", "-out", self.path(name + ".pub"))
        for key, message in ((self.path("k1024.pub"), "has 1024 bits"),
                             (self.path("bige.pub"), "does not fit 32 bits"),
                             (KEY, "not a PEM public key")):
            done = generate(key)
            self.assertEqual((done.returncode != 0, message in " ".join(done.stderr.split()),
                              os.path.exists(self.path("key.cpp"))), (True, True, False), done)


DESCRIPTION = """\
# test mirror
catalogue qavoe.info
kit "kit <with> = odd, [chars] | here"
update qavoupdate ${BINDIR}/qavoupdate from bin/qavoupdate
module engine
    require base extra   # walked in this order
    needs qavomd
    file engine/engine.so "${DATADIR}/my dir/a,b"
    file engine/setup "" post 1
    file engine/db ${DATADIR}/db signed
    file "" /usr/sbin/restart-daemon pre 2
module base
    file base/data ${DATADIR}/data
module extra
module qavomd
"""
SOURCES = {"bin/qavoupdate": b"\x7fELF updater" * 50, "engine/engine.so": b"engine " * 3000,
           "engine/setup": b"#!/bin/sh\n", "engine/db": bytes(range(256)) * 9, "base/data": b""}


class BuildTest(Sandbox):
    def build(self, text, *options, status=0, sources=SOURCES):
        for number, (name, data) in enumerate(sources.items()):
            write(self.path("release", name), data, 1000000000 + number)
        desc = write(self.path("release", "mirror.desc"), text)
        return self.tool("build", "--key", KEY, *options, desc, self.path("mirror"), status=status)

    def test_catalogue_and_mirror(self):
        started = int(time.time())
        self.build(DESCRIPTION)
        text, files = catalogue(self.path("mirror", "qavoe.info"))
        self.tool("verify", "--key", PUBLIC, self.path("mirror", "qavoe.info"))
        self.assertIn('<kit> name = "kit <with> = odd, [chars] | here"', text)
        self.assertIn("<module> name = engine require = extra base needs = qavomd", text)
        self.assertEqual(re.findall(r"<module> name = (\w+)", text),
                         ["engine", "base", "extra", "qavomd"])
        self.assertEqual((files["qavoupdate"]["localpath"], files["engine/engine.so"]["localpath"],
                          files["engine/setup"]["localpath"], files["engine/setup"]["exec"]),
                         ("${BINDIR}/qavoupdate", '"${DATADIR}/my dir/a,b"', '""', "post 1"))
        self.assertEqual(files['""'], {"sitepath": '""', "localpath": "/usr/sbin/restart-daemon",
                                       "exec": "pre 2"})
        # A signed file has no digest and the size of its mirror copy.
        self.assertEqual(("md5" in files["engine/db"], files["engine/db"]["size"]),
                         (False, str(9 * 256 + 128)))
        for number, (name, data) in enumerate(SOURCES.items()):
            site = "qavoupdate" if name == "bin/qavoupdate" else name
            published = self.path("mirror", site)
            self.assertEqual(read(published)[:len(data) if site == "engine/db" else None], data)
            # New files are listed no earlier than their publication.
            self.assertGreaterEqual(int(files[site]["time"]), started)
            self.assertEqual((os.stat(published).st_mtime, mode(published)),
                             (int(files[site]["time"]), 0o644))
            if site != "engine/db":
                self.assertEqual((files[site]["md5"], files[site]["size"]),
                                 (hashlib.md5(data).hexdigest(), str(len(data))))
        self.tool("verify", "--key", PUBLIC, self.path("mirror", "engine", "db"))
        self.assertEqual(mode(self.path("mirror", "engine")), 0o755)
        # Republished, only a changed file gets a new time; every source is dated as before.
        time.sleep(1.1)
        started = int(time.time())
        self.build(DESCRIPTION, sources=dict(SOURCES, **{"engine/engine.so": b"engine 2 " * 3000}))
        after = catalogue(self.path("mirror", "qavoe.info"))[1]
        for site in ("qavoupdate", "engine/setup", "engine/db", "base/data"):
            self.assertEqual(after[site]["time"], files[site]["time"], site)
        self.assertGreaterEqual(int(after["engine/engine.so"]["time"]), started)
        self.assertEqual(os.stat(self.path("mirror", "engine", "engine.so")).st_mtime,
                         int(after["engine/engine.so"]["time"]))
        done = self.tool("build", "--key", self.keygen()[0], self.path("release", "mirror.desc"),
                         self.path("mirror"))
        self.assertIn("warning: this key is not the one built into this updater", done)
        self.tool("verify", "--key", PUBLIC, self.path("mirror", "qavoe.info"), status=1)

    def test_manifest_vouches_for_the_served_files(self):
        started = int(time.time())
        self.build(DESCRIPTION, "--signing-key", SIGNING, "--valid-days", "3")
        sig = self.path("mirror", "qavoe.info.sig")
        text = read(sig).decode("ascii")
        lines = text.splitlines()
        served = [s for s in catalogue(self.path("mirror", "qavoe.info"))[1] if s != '""']
        self.assertEqual(lines[0], "qavo-manifest 1")
        serial, expires = int(lines[1][len("serial "):]), int(lines[2][len("expires "):])
        self.assertTrue(started <= serial <= time.time() and expires - serial == 3 * 86400, lines)
        self.assertEqual(lines[3:-1], ["catalogue " + sha256(read(self.path(
            "mirror", "qavoe.info")))] + ["file %s %d %s" % (
                sha256(read(self.path("mirror", s))), len(read(self.path("mirror", s))), s)
            for s in served])
        tag, signer, signature = lines[-1].split(" ", 1)[1].split(" ")
        self.assertEqual((tag, signer), ("ed25519", keyid(ED25519)))
        openssl("pkeyutl", "-verify", "-pubin", "-inkey", SIGNING_PUBLIC, "-rawin", "-in",
                write(self.path("body"), text[:text.rindex("signature ")].encode()), "-sigfile",
                write(self.path("signature"), bytes.fromhex(signature)))
        self.tool("verify", self.path("mirror", "qavoe.info"))
        # Two rebuilds with engine.so edited (and at once: the serial still moves forward). The
        # index of the third lists one direct patch from each older version, none for the others.
        versions = [read(self.path("mirror", "engine", "engine.so"))]
        for n in (2, 3):
            stale = read(self.path("mirror", "qavoe.info.delta")) if n == 3 else None
            versions.append(versions[-1][:4000 * n] + b"edit %d" % n + versions[-1][4000 * n + 9:])
            self.build(DESCRIPTION, "--signing-key", SIGNING,
                       sources=dict(SOURCES, **{"engine/engine.so": versions[-1]}))
        self.assertGreater(int(read(sig).splitlines()[1].split()[1]), serial)
        delta = read(self.path("mirror", "qavoe.info.delta")).decode().splitlines()
        entries = [line.split(" ") for line in delta[2:-1]]
        self.assertEqual((delta[:2], [e[:4] for e in entries]), (
            ["qavo-delta 1", read(sig).decode().splitlines()[1]],
            [["patch", "engine/engine.so", sha256(v), sha256(versions[2])] for v in versions[1::-1]]))
        for (_, _, base, target, size, patch_digest, site), old in zip(entries, versions[1::-1]):
            patch = read(self.path("mirror", site))
            self.assertEqual((site, len(patch), sha256(patch)), ("patches/engine/engine.so/%s-%s.zst"
                             % (base[:16], target[:16]), int(size), patch_digest))
            subprocess.run(["zstd", "-qfd", "--long=31", "--patch-from=" + write(
                self.path("base"), old), self.path("mirror", site), "-o", self.path("out")], check=True)
            self.assertEqual(read(self.path("out")), versions[2])
        # --keep 1: the history keeps the served versions and the one before engine.so's; a kept
        # version that lost its bytes is dropped for an older one, and a cached patch that does
        # not give its target is made again.
        history = self.path("release", "mirror.desc.history")
        write(os.path.join(history, "files", sha256(versions[1])), b"?")
        write(os.path.join(history, "patches", "%s-%s.zst" % tuple(entries[1][2:4])), b"?")
        warned = self.build(DESCRIPTION, "--signing-key", SIGNING, "--keep", "1",
                            sources=dict(SOURCES, **{"engine/engine.so": versions[2]}))
        for said in ("does not hold the version it is named by", ".zst does not give its target"):
            self.assertIn(said, warned)
        self.assertEqual(sorted(os.listdir(os.path.join(history, "files"))), sorted(
            {sha256(read(self.path("mirror", s))) for s in served} | {sha256(versions[0])}))
        self.assertEqual(len(read(self.path("mirror", "qavoe.info.delta")).splitlines()), 4)
        self.tool("verify", self.path("mirror", "qavoe.info"))
        other = self.keygen()[0].replace("private-key", "ed25519-public-key")
        for site, change, options, message in (
                ("qavoe.info.sig", lambda d: d.replace(b"expires ", b"expires 9"), (),
                 "manifest signature does not match"),
                ("engine/engine.so", lambda d: d[:-1] + b"!", (), "engine.so does not match"),
                ("base/data", lambda d: d, ("--signing-key", other), "none of those given"),
                (entries[1][6], lambda d: d[:-1] + b"!", (), "engine.so/%s-" % entries[1][2][:16]),
                ("qavoe.info.delta", lambda d: d.replace(b"serial ", b"serial 9"), (),
                 "patch index signature does not match"),
                ("qavoe.info.delta", lambda d: stale, (), "is not the manifest's")):
            with self.subTest(site=site):
                kept = read(self.path("mirror", site))
                write(self.path("mirror", site), change(kept))
                self.assertIn(message, self.tool("verify", *options, self.path(
                    "mirror", "qavoe.info"), status=1))
                write(self.path("mirror", site), kept)
        for options, message in ((("--signing-key", KEY), "not an Ed25519 key"),
                                 (("--signing-key", SIGNING, "--valid-days", "0"), "from 1 to"),
                                 (("--signing-key", SIGNING, "--valid-days=99999"), "from 1 to"),
                                 (("--valid-days", "3"), "needs --signing-key"),
                                 (("--history", self.path("h")), "need --signing-key"),
                                 (("--signing-key", SIGNING, "--keep=101"), "from 1 to 100")):
            self.assertIn(message, self.build(DESCRIPTION, *options, status=2))
        self.assertIn("gets no manifest", self.build(DESCRIPTION))
        self.assertFalse(os.path.exists(sig) or os.path.exists(sig[:-3] + "delta"))

    def test_refused_descriptions_leave_everything_as_it_was(self):
        cases = [
            ("module a\nfrobnicate x\n", ":2: unknown keyword 'frobnicate'"),
            ("file a /x\n", ":1: 'file' outside a module"),
            ("module a\nmodule a\n", ":2: module 'a' already described on line 1"),
            ("module nerio\n", "'nerio' is reserved"),
            ("module a/b\n", "module name 'a/b' may hold only"),
            ("module a\nfile base/data relative\n", "must start with '/' or a placeholder"),
            ("module a\nfile base/data ${LIBDIR}/x\n", "unknown placeholder"),
            ("module a\nfile /etc/passwd /x\n", "mirror path '/etc/passwd' is absolute"),
            ("module a\nfile ../base/data /x\n", "has an empty, '.' or '..' part"),
            ("module a\nfile base/da%20ta /x\n", "may hold only letters, digits"),
            *[("module a\nfile %s /x\n" % s, "is reserved")
              for s in ("qavoe.info", "qavoe.info.sig", "qavoe.info.delta", "patches/x")],
            ("module a\nfile base/data /x\nmodule b\nfile base/data /y\n",
             ":4: mirror path 'base/data' already listed on line 2"),
            ("module a\nfile base/data /x pre 0\n", "'pre' needs a number from 1 to 1000000"),
            ("module a\nfile base/data /x pre 1 post 1\n", "more than one of 'pre' and 'post'"),
            ("module a\nfile \"\" /x\n", "must be a 'pre' or 'post' program"),
            ("module a\nfile base/data \"/x\\\\y\"\n", "holds a backslash"),
            ("module a\nfile base/data \"/x\n", "unterminated quoted word"),
            ("catalogue a/b\nmodule a\n", "catalogue name 'a/b' must be one file name"),
            ("# nothing\n", "the description lists no module"),
            ("module a\n" + "#" * 5000 + "\n", ":2: line longer than 4096 bytes"),
            ("module a\nfile missing/file /x\n", ":2: cannot open"),
            ("module a\nrequire b\nmodule b\nrequire c\nmodule c\nrequire a\n",
             "dependency cycle: a -> b -> c -> a"),
            ("module a\nrequire b\nmodule b\nneeds a\n", "dependency cycle: a -> b -> a"),
            ("module a\nrequire ghost\n", "module 'a' depends on 'ghost', which is not described")]
        self.build("module only\nfile base/data /x\n")
        before = {name: read(self.path("mirror", name)) for name in ("qavoe.info", "base/data")}
        for text, message in cases:
            with self.subTest(text=text[:60]):
                self.assertIn(message, self.build(text, status=2))
                self.assertEqual(sorted(os.listdir(self.dir)), ["mirror", "release"])
                self.assertEqual({n: read(self.path("mirror", n)) for n in before}, before)
        self.build("module a\nrequire ghost\n", "--unchecked-dependencies")
        # Refused: a public key to sign with; a directory that build did not make (never replaced).
        write(self.path("other", "precious"), b"keep me")
        for key, mirror in ((PUBLIC, "mirror"), (KEY, "other")):
            self.tool("build", "--key", key, self.path("release", "mirror.desc"), self.path(mirror),
                      status=2)
        self.assertEqual(os.listdir(self.path("other")), ["precious"])


if __name__ == "__main__":
    unittest.main()
