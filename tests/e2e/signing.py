"""Code-signing for tests: throw-away self-signed identities made with openssl at run time (no key is ever
kept in the repository) and Authenticode signatures put on, taken off and broken with osslsigncode."""
import os
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import publish  # noqa: E402
import signed_documents  # noqa: E402

DOS_STUB_TEXT = b"This program cannot be run in DOS mode"


class Identity:
    """A fresh RSA key and self-signed certificate in `folder` (there already unless `fresh`) for the extended
    key usage `usage` (timeStamping, for an authority of time stamps, is critical)."""

    def __init__(self, folder, name, fresh=True, usage="codeSigning"):
        self.name = name
        self.key = os.path.join(folder, name + ".key")
        self.cert = os.path.join(folder, name + ".crt")
        if fresh:
            os.makedirs(folder, exist_ok=True)
            run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                 "-keyout", self.key, "-out", self.cert, "-subj", "/CN=" + name,
                 "-addext", "basicConstraints=critical,CA:FALSE",
                 "-addext", "keyUsage=critical,digitalSignature",
                 "-addext", "extendedKeyUsage=" + ("critical," if usage == "timeStamping" else "") + usage])
        self.pin = publish.publisher_pin(self.cert)


def test_publisher(build):
    """The publisher whose pin the build's pinned test program carries (made by the configure)."""
    return Identity(os.path.join(build, "test-publisher"), "publisher", fresh=False)


def run(args):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                     result.stdout.decode(errors="replace")))
    return result


def sign(path, identity):
    """Signs the file in place; a signature it carried is replaced."""
    if carries_signature(path):
        remove_signature(path)
    run(["osslsigncode", "sign", "-certs", identity.cert, "-key", identity.key, "-n", "ZanSetup",
         "-h", "sha256", "-in", path, "-out", path + ".signed"])
    os.replace(path + ".signed", path)


def sign_document_expiring(path, expires, identity):
    """Gives a document the expiry text `expires` and signs it again, as publish.py --resign does a tree."""
    data = signed_documents.stamp_expiry(Path(path).read_bytes(), expires)
    signed_documents.write_document(path, data, signed_documents.signing_of(identity.key, identity.cert))


def remove_signature(path):
    run(["osslsigncode", "remove-signature", "-in", path, "-out", path + ".unsigned"])
    os.replace(path + ".unsigned", path)


def carries_signature(path):
    """Whether the PE certificate table that the file's header names is not empty."""
    data = Path(path).read_bytes()
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("not a PE file")
    (magic,) = struct.unpack_from("<H", data, pe + 24)
    directories = pe + 24 + {0x10B: 96, 0x20B: 112}[magic]
    return struct.unpack_from("<II", data, directories + 4 * 8)[1] != 0


def tamper(path):
    """Changes a byte that the signature covers and the program does not need: one of the DOS stub's text."""
    data = bytearray(Path(path).read_bytes())
    at = data.find(DOS_STUB_TEXT, 0, 0x200)
    if at < 0:
        raise AssertionError("no DOS stub message in %s" % path)
    data[at] ^= 0x20
    Path(path).write_bytes(data)


def verify(path, cert, timestamp_cert=None):
    """osslsigncode's (passed, report) on the file against `cert` and the system roots, its time stamp against
    `timestamp_cert` if given."""
    bundle = path + ".roots.pem"
    parts = (cert, "/etc/ssl/certs/ca-certificates.crt")
    Path(bundle).write_bytes(b"".join(Path(p).read_bytes() + b"\n" for p in parts if os.path.exists(p)))
    try:
        timestamp = ["-TSA-CAfile", timestamp_cert] if timestamp_cert else []
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", bundle] + timestamp + ["-in", path],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    finally:
        os.remove(bundle)
    return result.returncode == 0, result.stdout.decode(errors="replace")
