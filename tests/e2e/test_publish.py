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


@unittest.skipUnless(os.path.exists(TOOL), "qavopublish not built")
class PublishTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qavo-publish-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tool(self, *args):
        return subprocess.run([TOOL, *args], capture_output=True, text=True)

    def assert_no_leftovers(self, *expected):
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(expected))

    def keygen(self):
        keys = self.path("keys")
        os.mkdir(keys)
        result = self.tool("keygen", keys)
        self.assertEqual(result.returncode, 0, result.stderr)
        return os.path.join(keys, "private-key.pem"), os.path.join(keys, "public-key.pem")


class KeygenTest(PublishTest):
    @unittest.skipUnless(OPENSSL, "openssl missing")
    def test_writes_a_1022_bit_pair_with_exponent_65537(self):
        private, public = self.keygen()
        modulus, exponent = key_numbers(public)
        self.assertEqual(modulus.bit_length(), 1022)
        self.assertEqual(exponent, 65537)
        self.assertEqual(key_numbers(private, private=True), (modulus, exponent))
        self.assertEqual(stat.S_IMODE(os.stat(private).st_mode) & 0o077, 0)
        with open(public) as f:
            self.assertIn("-----BEGIN PUBLIC KEY-----", f.read())

    @unittest.skipUnless(OPENSSL, "openssl missing")
    def test_refuses_to_overwrite_and_to_use_a_missing_directory(self):
        private, public = self.keygen()
        def contents():
            return [self.read(os.path.join("keys", name)) for name in ("private-key.pem", "public-key.pem")]

        before = contents()
        result = self.tool("keygen", os.path.dirname(private))
        self.assertEqual(result.returncode, 2)
        self.assertIn("refusing to overwrite", result.stderr)
        self.assertEqual(contents(), before)
        self.assertEqual(sorted(os.listdir(os.path.dirname(private))), ["private-key.pem", "public-key.pem"])
        self.assertEqual(self.tool("keygen", self.path("absent")).returncode, 2)


class CompressTest(PublishTest):
    def round_trip(self, data, ratio=None):
        self.write("in", data)
        self.assertEqual(self.tool("compress", self.path("in"), self.path("packed")).returncode, 0)
        packed = self.read("packed")
        self.assertEqual(lzss_decode(packed), data)
        if ratio is not None:
            self.assertLess(len(packed), len(data) * ratio)
        self.assertEqual(self.tool("decompress", self.path("packed"), self.path("out")).returncode, 0)
        self.assertEqual(self.read("out"), data)
        self.assert_no_leftovers("in", "packed", "out")

    def test_text(self):
        with open(os.path.join(SOURCE, "integrity", "lzss.cpp"), "rb") as f:
            self.round_trip(f.read() * 3, ratio=0.5)

    def test_random_and_empty(self):
        rng = random.Random(3)
        self.round_trip(bytes(rng.getrandbits(8) for _ in range(70000)))
        self.round_trip(b"")

    def test_repetitive(self):
        self.round_trip(b"\0" * 100000, ratio=0.125)
        self.round_trip(b"spam and eggs " * 5000, ratio=0.125)

    def test_truncated_stream_decodes_a_prefix(self):
        data = b"".join(b"line %d of the catalogue\n" % i for i in range(300))
        self.write("in", data)
        self.tool("compress", self.path("in"), self.path("packed"))
        packed = self.read("packed")
        self.write("cut", packed[: len(packed) // 2 + 1])
        self.assertEqual(self.tool("decompress", self.path("cut"), self.path("out")).returncode, 0)
        out = self.read("out")
        self.assertTrue(0 < len(out) < len(data) and data.startswith(out))

    def test_missing_input_leaves_nothing(self):
        for command in ("compress", "decompress"):
            result = self.tool(command, self.path("absent"), self.path("out"))
            self.assertEqual(result.returncode, 2)
            self.assertIn("absent", result.stderr)
        self.write("in", b"data")
        self.assertEqual(self.tool("compress", self.path("in"), self.path("no/dir/out")).returncode, 2)
        self.assert_no_leftovers("in")


@unittest.skipUnless(OPENSSL, "openssl missing")
class SignTest(PublishTest):
    def setUp(self):
        super().setUp()
        self.private, self.public = self.keygen()
        self.modulus, self.exponent = key_numbers(self.public)

    def sign(self, payload, name="signed"):
        self.write("payload", payload)
        result = self.tool("sign", "--key", self.private, self.path("payload"), self.path(name))
        self.assertEqual(result.returncode, 0, result.stderr)
        return self.read(name)

    def test_signature_is_the_digest_to_the_private_power(self):
        payload = b"catalogue payload\n" * 40
        signed = self.sign(payload)
        self.assertEqual(signed[:-128], payload)
        signature = int.from_bytes(signed[-128:], "little")
        self.assertEqual(pow(signature, self.exponent, self.modulus), md5_int(payload))

    def test_openssl_recovers_the_digest(self):
        payload = os.urandom(5000)
        signed = self.sign(payload)
        self.write("sig.be", signed[-128:][::-1])
        recovered = subprocess.run(
            [OPENSSL, "pkeyutl", "-verifyrecover", "-pubin", "-inkey", self.public,
             "-pkeyopt", "rsa_padding_mode:none", "-in", self.path("sig.be")],
            capture_output=True, check=True).stdout
        self.assertEqual(int.from_bytes(recovered, "big"), md5_int(payload))

    def test_verifies_a_signature_made_by_openssl(self):
        payload = b"signed by openssl"
        self.write("digest.be", md5_int(payload).to_bytes(128, "big"))
        made = subprocess.run(
            [OPENSSL, "rsautl", "-sign", "-raw", "-inkey", self.private, "-in", self.path("digest.be")],
            capture_output=True)
        if made.returncode != 0:
            self.skipTest("openssl has no raw RSA signing: " + made.stderr.decode())
        path = self.write("signed", payload + made.stdout[::-1])
        result = self.tool("verify", "--key", self.public, path)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.tool("verify", "--key=" + self.private, path).returncode, 0)

    def test_tampered_files_are_refused_and_unchanged(self):
        signed = self.sign(b"x" * 1000)
        for offset in (0, 500, 999, 1000, 1060, 1127):
            tampered = bytearray(signed)
            tampered[offset] ^= 0x01
            path = self.write("tampered", bytes(tampered))
            result = self.tool("verify", "--key", self.public, path)
            self.assertEqual(result.returncode, 1, offset)
            self.assertIn("signature does not match", result.stderr)
            self.assertEqual(self.read("tampered"), bytes(tampered))

    def test_other_key_refuses(self):
        path = self.write("signed", self.sign(b"payload"))
        self.assertEqual(self.tool("verify", "--key", DEMO_PUBLIC, path).returncode, 1)

    def test_empty_payload_and_signing_in_place(self):
        signed = self.sign(b"")
        self.assertEqual(len(signed), 128)
        path = self.write("inplace", b"in place")
        self.assertEqual(self.tool("sign", "--key", self.private, path, path).returncode, 0)
        self.assertEqual(self.tool("verify", "--key", self.public, path).returncode, 0)
        self.assertEqual(self.read("inplace")[:-128], b"in place")

    def test_errors_leave_no_output(self):
        self.write("payload", b"data")
        cases = [
            ("sign", "--key", self.public, self.path("payload"), self.path("out")),  # not private
            ("sign", "--key", self.path("absent.pem"), self.path("payload"), self.path("out")),
            ("sign", "--key", self.private, self.path("absent"), self.path("out")),
            ("sign", self.path("payload"), self.path("out")),  # no key
            ("verify", "--key", self.public, self.path("payload")),  # shorter than a signature
            ("verify", "--key", self.public, self.path("absent")),
            ("frobnicate",),
        ]
        for args in cases:
            result = self.tool(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr.strip(), args)
        self.assert_no_leftovers("keys", "payload")

    def test_keys_too_large_for_the_updater_are_refused(self):
        big = self.path("big.pem")
        subprocess.run([OPENSSL, "genrsa", "-out", big, "1024"], capture_output=True, check=True)
        self.write("payload", b"data")
        result = self.tool("sign", "--key", big, self.path("payload"), self.path("out"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("1022", result.stderr)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_built_in_key_is_the_configured_one(self):
        self.write("payload", b"demo mirror catalogue")
        result = self.tool("sign", "--key", DEMO_PRIVATE, self.path("payload"), self.path("demo"))
        self.assertEqual(result.returncode, 0, result.stderr)
        configured = DEMO_PUBLIC
        cache = os.path.join(BIN, "CMakeCache.txt")
        if os.path.exists(cache):
            with open(cache) as f:
                found = re.search(r"^QAVO_PUBLIC_KEY:FILEPATH=(.*)$", f.read(), re.M)
            if found:
                configured = found.group(1)
        demo = os.path.realpath(configured) == os.path.realpath(DEMO_PUBLIC)
        self.assertEqual(self.tool("verify", self.path("demo")).returncode, 0 if demo else 1)


@unittest.skipUnless(OPENSSL and shutil.which("cmake"), "openssl or cmake missing")
class BuildKeyTest(PublishTest):
    SCRIPT = os.path.join(SOURCE, "integrity", "public_key.cmake")

    def generate(self, key):
        result = subprocess.run(["cmake", "-DKEY=" + key, "-DOUT=" + self.path("key.cpp"), "-P", self.SCRIPT],
                                capture_output=True, text=True)
        result.stderr = " ".join(result.stderr.split())  # cmake wraps its messages
        return result

    def public_of(self, private):
        public = private + ".pub"
        subprocess.run([OPENSSL, "pkey", "-in", private, "-pubout", "-out", public], capture_output=True, check=True)
        return public

    def test_demo_key_becomes_its_words(self):
        result = self.generate(DEMO_PUBLIC)
        self.assertEqual(result.returncode, 0, result.stderr)
        source = self.read("key.cpp").decode()
        words = [int(w, 16) for w in re.findall(r"0x([0-9a-f]+)u", source)]
        modulus, exponent = key_numbers(DEMO_PUBLIC)
        self.assertEqual(sum(w << (32 * i) for i, w in enumerate(words[:-1])), modulus)
        self.assertEqual(words[-1], exponent)

    def test_refuses_a_modulus_over_1022_bits(self):
        key = self.path("k1024.pem")
        subprocess.run([OPENSSL, "genrsa", "-out", key, "1024"], capture_output=True, check=True)
        result = self.generate(self.public_of(key))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("has 1024 bits", result.stderr)
        self.assertFalse(os.path.exists(self.path("key.cpp")))

    def test_refuses_an_exponent_over_32_bits(self):
        key = self.path("bige.pem")
        subprocess.run([OPENSSL, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1022",
                        "-pkeyopt", "rsa_keygen_pubexp:4294967297", "-out", key], capture_output=True, check=True)
        result = self.generate(self.public_of(key))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("does not fit 32 bits", result.stderr)

    def test_refuses_a_file_that_is_not_a_public_key(self):
        result = self.generate(DEMO_PRIVATE)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("not a PEM public key", result.stderr)


if __name__ == "__main__":
    unittest.main()
