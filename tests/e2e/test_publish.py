"""Black-box tests of qavopublish: key pairs, LZSS files checked against an
independent decoder, signatures exchanged with openssl in both directions,
refusals that leave files alone, and the build's check of the public key."""
import hashlib
import os
import random
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

BIN = os.environ.get("QAVO_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("QAVO_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(BIN, "tools", "qavopublish")
OPENSSL = shutil.which("openssl")
DEMO_PRIVATE = os.path.join(SOURCE, "keys", "demo-private-key.pem")
DEMO_PUBLIC = os.path.join(SOURCE, "keys", "demo-public-key.pem")


def lzss_decode(data):
    """Reference decoder written from the format description."""
    ring = bytearray(b" " * 4078 + b"\0" * 18)
    r, out, i = 4078, bytearray(), 0
    while i < len(data):
        flags = data[i]
        i += 1
        for bit in range(8):
            if flags >> bit & 1:
                if i >= len(data):
                    return bytes(out)
                out.append(data[i])
                ring[r] = data[i]
                r, i = (r + 1) % 4096, i + 1
            else:
                if i + 1 >= len(data):
                    return bytes(out)
                pos = data[i] | (data[i + 1] & 0xF0) << 4
                length = (data[i + 1] & 0x0F) + 3
                i += 2
                for k in range(length):
                    c = ring[(pos + k) % 4096]
                    out.append(c)
                    ring[r] = c
                    r = (r + 1) % 4096
    return bytes(out)


def key_numbers(pem, private=False):
    """(modulus, public exponent) read by openssl."""
    args = [OPENSSL, "rsa", "-noout", "-text", "-in", pem] + ([] if private else ["-pubin"])
    text = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    modulus = re.search(r"(?:Modulus|modulus):\s*\n((?:\s+[0-9a-f:]+\n)+)", text).group(1)
    exponent = re.search(r"(?:Exponent|publicExponent): (\d+)", text).group(1)
    return int(re.sub(r"[\s:]", "", modulus), 16), int(exponent)


def md5_int(data):
    return int.from_bytes(hashlib.md5(data).digest(), "little")


def openssl(*args):
    return subprocess.run([OPENSSL, *args], capture_output=True, check=True).stdout


@unittest.skipUnless(os.path.exists(TOOL), "qavopublish not built")
class PublishTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qavo-publish-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tool(self, *args, status=None):
        result = subprocess.run([TOOL, *args], capture_output=True, text=True)
        if status is not None:
            self.assertEqual(result.returncode, status, (args, result.stderr))
        return result

    def assert_no_leftovers(self, *expected):
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(expected))

    def keygen(self):
        os.mkdir(self.path("keys"))
        self.tool("keygen", self.path("keys"), status=0)
        return self.path("keys/private-key.pem"), self.path("keys/public-key.pem")


class KeygenTest(PublishTest):
    @unittest.skipUnless(OPENSSL, "openssl missing")
    def test_writes_a_1022_bit_pair_and_refuses_to_overwrite_it(self):
        private, public = self.keygen()
        modulus, exponent = key_numbers(public)
        self.assertEqual((modulus.bit_length(), exponent), (1022, 65537))
        self.assertEqual(key_numbers(private, private=True), (modulus, exponent))
        self.assertEqual(stat.S_IMODE(os.stat(private).st_mode) & 0o077, 0)
        self.assertIn(b"-----BEGIN PUBLIC KEY-----", self.read(public))
        before = [self.read(private), self.read(public)]
        self.assertIn("refusing to overwrite", self.tool("keygen", self.path("keys"), status=2).stderr)
        self.assertEqual([self.read(private), self.read(public)], before)
        self.assertEqual(sorted(os.listdir(self.path("keys"))), ["private-key.pem", "public-key.pem"])
        self.tool("keygen", self.path("absent"), status=2)


class CompressTest(PublishTest):
    def test_round_trips_through_the_independent_decoder(self):
        with open(os.path.join(SOURCE, "integrity", "lzss.cpp"), "rb") as f:
            text = f.read() * 3
        rng = random.Random(3)
        cases = [(text, 0.5), (bytes(rng.getrandbits(8) for _ in range(70000)), None), (b"", None),
                 (b"\0" * 100000, 0.125), (b"spam and eggs " * 5000, 0.125)]
        for data, ratio in cases:
            with self.subTest(size=len(data), ratio=ratio):
                self.write("in", data)
                self.tool("compress", self.path("in"), self.path("packed"), status=0)
                packed = self.read("packed")
                self.assertEqual(lzss_decode(packed), data)
                if ratio is not None:
                    self.assertLess(len(packed), len(data) * ratio)
                self.tool("decompress", self.path("packed"), self.path("out"), status=0)
                self.assertEqual(self.read("out"), data)
                self.assert_no_leftovers("in", "packed", "out")

    def test_truncated_stream_decodes_a_prefix(self):
        data = b"".join(b"line %d of the catalogue\n" % i for i in range(300))
        self.write("in", data)
        self.tool("compress", self.path("in"), self.path("packed"), status=0)
        self.write("cut", self.read("packed")[: len(self.read("packed")) // 2 + 1])
        self.tool("decompress", self.path("cut"), self.path("out"), status=0)
        out = self.read("out")
        self.assertTrue(0 < len(out) < len(data) and data.startswith(out))

    def test_missing_input_leaves_nothing(self):
        for command in ("compress", "decompress"):
            self.assertIn("absent", self.tool(command, self.path("absent"), self.path("out"), status=2).stderr)
        self.write("in", b"data")
        self.tool("compress", self.path("in"), self.path("no/dir/out"), status=2)
        self.assert_no_leftovers("in")


@unittest.skipUnless(OPENSSL, "openssl missing")
class SignTest(PublishTest):
    def setUp(self):
        super().setUp()
        self.private, self.public = self.keygen()
        self.modulus, self.exponent = key_numbers(self.public)

    def sign(self, payload, name="signed"):
        self.write("payload", payload)
        self.tool("sign", "--key", self.private, self.path("payload"), self.path(name), status=0)
        return self.read(name)

    def test_signature_is_the_digest_to_the_private_power(self):
        for payload in (b"catalogue payload\n" * 40, os.urandom(5000), b""):
            signed = self.sign(payload)
            self.assertEqual(signed[:-128], payload)
            signature = int.from_bytes(signed[-128:], "little")
            self.assertEqual(pow(signature, self.exponent, self.modulus), md5_int(payload))
            # openssl recovers the digest from the big-endian signature
            self.write("sig.be", signed[-128:][::-1])
            recovered = openssl("pkeyutl", "-verifyrecover", "-pubin", "-inkey", self.public,
                                "-pkeyopt", "rsa_padding_mode:none", "-in", self.path("sig.be"))
            self.assertEqual(int.from_bytes(recovered, "big"), md5_int(payload))
        self.tool("verify", "--key", DEMO_PUBLIC, self.path("signed"), status=1)  # other key
        path = self.write("inplace", b"in place")
        self.tool("sign", "--key", self.private, path, path, status=0)
        self.tool("verify", "--key", self.public, path, status=0)
        self.assertEqual(self.read("inplace")[:-128], b"in place")

    def test_verifies_a_signature_made_by_openssl(self):
        payload = b"signed by openssl"
        self.write("digest.be", md5_int(payload).to_bytes(128, "big"))
        made = subprocess.run([OPENSSL, "rsautl", "-sign", "-raw", "-inkey", self.private,
                               "-in", self.path("digest.be")], capture_output=True)
        if made.returncode != 0:
            self.skipTest("openssl has no raw RSA signing: " + made.stderr.decode())
        path = self.write("signed", payload + made.stdout[::-1])
        self.tool("verify", "--key", self.public, path, status=0)
        self.tool("verify", "--key=" + self.private, path, status=0)

    def test_tampered_files_are_refused_and_unchanged(self):
        signed = self.sign(b"x" * 1000)
        for offset in (0, 500, 999, 1000, 1060, 1127):
            tampered = bytearray(signed)
            tampered[offset] ^= 0x01
            path = self.write("tampered", bytes(tampered))
            result = self.tool("verify", "--key", self.public, path, status=1)
            self.assertIn("signature does not match", result.stderr)
            self.assertEqual(self.read("tampered"), bytes(tampered))

    def test_errors_leave_no_output(self):
        self.write("payload", b"data")
        payload, out = self.path("payload"), self.path("out")
        cases = [
            ("sign", "--key", self.public, payload, out),  # not private
            ("sign", "--key", self.path("absent.pem"), payload, out),
            ("sign", "--key", self.private, self.path("absent"), out),
            ("sign", payload, out),  # no key
            ("verify", "--key", self.public, payload),  # shorter than a signature
            ("verify", "--key", self.public, self.path("absent")),
            ("frobnicate",),
        ]
        for args in cases:
            self.assertTrue(self.tool(*args, status=2).stderr.strip(), args)
        openssl("genrsa", "-out", self.path("big.pem"), "1024")  # too large for the updater
        self.assertIn("1022", self.tool("sign", "--key", self.path("big.pem"), payload, out, status=2).stderr)
        self.assert_no_leftovers("keys", "payload", "big.pem")

    def test_built_in_key_is_the_configured_one(self):
        self.write("payload", b"demo mirror catalogue")
        self.tool("sign", "--key", DEMO_PRIVATE, self.path("payload"), self.path("demo"), status=0)
        configured = DEMO_PUBLIC
        cache = os.path.join(BIN, "CMakeCache.txt")
        if os.path.exists(cache):
            with open(cache) as f:
                found = re.search(r"^QAVO_PUBLIC_KEY:FILEPATH=(.*)$", f.read(), re.M)
            configured = found.group(1) if found else configured
        demo = os.path.realpath(configured) == os.path.realpath(DEMO_PUBLIC)
        self.tool("verify", self.path("demo"), status=0 if demo else 1)


@unittest.skipUnless(OPENSSL and shutil.which("cmake"), "openssl or cmake missing")
class BuildKeyTest(PublishTest):
    def generate(self, key):
        result = subprocess.run(["cmake", "-DKEY=" + key, "-DOUT=" + self.path("key.cpp"), "-P",
                                 os.path.join(SOURCE, "integrity", "public_key.cmake")],
                                capture_output=True, text=True)
        result.stderr = " ".join(result.stderr.split())  # cmake wraps its messages
        return result

    def test_demo_key_becomes_its_words(self):
        result = self.generate(DEMO_PUBLIC)
        self.assertEqual(result.returncode, 0, result.stderr)
        words = [int(w, 16) for w in re.findall(r"0x([0-9a-f]+)u", self.read("key.cpp").decode())]
        modulus, exponent = key_numbers(DEMO_PUBLIC)
        self.assertEqual(sum(w << (32 * i) for i, w in enumerate(words[:-1])), modulus)
        self.assertEqual(words[-1], exponent)

    def test_refuses_keys_the_updater_cannot_hold(self):
        openssl("genrsa", "-out", self.path("k1024"), "1024")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1022",
                "-pkeyopt", "rsa_keygen_pubexp:4294967297", "-out", self.path("bige"))
        for name in ("k1024", "bige"):
            openssl("pkey", "-in", self.path(name), "-pubout", "-out", self.path(name + ".pub"))
        cases = [(self.path("k1024.pub"), "has 1024 bits"), (self.path("bige.pub"), "does not fit 32 bits"),
                 (DEMO_PRIVATE, "not a PEM public key")]
        for key, message in cases:
            with self.subTest(message):
                result = self.generate(key)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(self.path("key.cpp")))


if __name__ == "__main__":
    unittest.main()
