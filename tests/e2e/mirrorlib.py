"""Helpers of the mirror tests: a description tree in a temporary directory,
`qavopublish build` on it, and an independent reader of the catalogue it
writes (signature block, LZSS stream and text)."""
import os
import re
import subprocess

from test_publish import lzss_decode

BIN = os.environ.get("QAVO_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("QAVO_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(BIN, "tools", "qavopublish")
DEMO_PRIVATE = os.path.join(SOURCE, "keys", "demo-private-key.pem")
DEMO_PUBLIC = os.path.join(SOURCE, "keys", "demo-public-key.pem")
SIGNATURE = 128


def tool(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120)


def build(description, mirror, *options, key=DEMO_PRIVATE):
    return tool("build", "--key", key, *options, description, mirror)


def write(path, data, mtime=None, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode())
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    if mode is not None:
        os.chmod(path, mode)
    return path


_TOKEN = re.compile(r'\s*(?:(<!--.*?-->)|(<[^>]*>)|(=)|"([^"]*)"|([^\s<=>"]+))', re.S)


def tokens(text):
    at, out = 0, []
    while True:
        m = _TOKEN.match(text, at)
        if not m or m.end() == at:
            break
        at = m.end()
        if m.group(1):
            continue
        if m.group(2):
            out.append(("tag", m.group(2).lower()))
        elif m.group(3):
            out.append(("=", "="))
        else:
            out.append(("word", m.group(4) if m.group(4) is not None else m.group(5)))
    if text[at:].strip():
        raise ValueError("cannot read catalogue from: %r" % text[at:at + 40])
    return out


def parse_catalogue(text):
    """Returns {'update': {...}, 'kit': name, 'modules': [{'name', 'require',
    'needs', 'files': [{...}]}]} with name lists in file order."""
    toks = tokens(text)
    pos = 0

    def take():
        nonlocal pos
        pos += 1
        return toks[pos - 1]

    def properties(end):
        props = {}
        while toks[pos] != ("tag", end):
            key = take()[1].lower()
            assert take() == ("=", "=")
            if key == "exec":
                props[key] = (take()[1], take()[1])
            else:
                props[key] = take()[1]
        take()
        return props

    result = {"modules": [], "kit": None}
    assert take() == ("tag", "<update>")
    result["update"] = properties("</update>")
    assert take() == ("tag", "<kit>")
    while toks[pos] != ("tag", "</kit>"):
        if toks[pos] == ("word", "name"):
            take(), take()
            result["kit"] = take()[1]
            continue
        assert take() == ("tag", "<module>")
        module = {"files": [], "require": [], "needs": []}
        while toks[pos] != ("tag", "</module>"):
            if toks[pos] == ("tag", "<file>"):
                take()
                module["files"].append(properties("</file>"))
                continue
            key = take()[1].lower()
            assert take() == ("=", "=")
            if key == "name":
                module["name"] = take()[1]
            else:
                while toks[pos][0] == "word" and (pos + 1 >= len(toks) or toks[pos + 1][0] != "="):
                    module[key].append(take()[1])
        take()
        result["modules"].append(module)
    take()
    assert pos == len(toks), toks[pos:]
    return result


def read_catalogue(path):
    """(catalogue text, payload, signature) of a published catalogue."""
    with open(path, "rb") as f:
        data = f.read()
    payload, signature = data[:-SIGNATURE], data[-SIGNATURE:]
    return lzss_decode(payload).decode("latin-1"), payload, signature
