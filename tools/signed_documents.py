"""The documents of a download-server tree as a pinned setup program takes
them: each names the instant it stops being taken (a first child "expires"
of its root, UTC, "2027-01-31T00:00:00Z") and carries a detached signature
beside it, FILE.p7s (CMS, DER, SHA-256, the signer's certificate inside).

A server can then replay a signed document only until it expires: the
publisher keeps signing what it serves (resign()) and withdraws a release by
no longer signing it."""
import datetime
import hashlib
import os
import re
import subprocess
import xml.etree.ElementTree as ET

DEFAULT_EXPIRES_DAYS = 30
EXPIRES_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
# Each flavour's update document, below zansetup/.
UPDATE_DOCUMENTS = {"x86": "new.xml", "x64": "new-x64.xml"}


def _openssl(*args, data=None):
    """Runs the openssl command line and returns its standard output."""
    result = subprocess.run(("openssl",) + args, input=data, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], result.stderr.decode(errors="replace").strip()))
    return result.stdout


def publisher_pin(cert_path):
    """The pin of a publisher certificate (PEM; the first one in the file):
    SHA-256 over its SubjectPublicKeyInfo in DER, as lower-case hex. The
    pin names the key, so a renewed certificate for the same key keeps it."""
    public_key = _openssl("x509", "-in", cert_path, "-pubkey", "-noout")
    der = _openssl("pkey", "-pubin", "-outform", "DER", data=public_key)
    return hashlib.sha256(der).hexdigest()


def signing_of(sign_key, sign_cert, signed_attributes=True):
    """(key, certificate, signed_attributes), or None for unsigned; a key
    without its certificate (or the other way round) is a mistake rather
    than a wish for unsigned documents."""
    if (sign_key is None) != (sign_cert is None):
        raise ValueError("signing needs both the key and the certificate")
    return (sign_key, sign_cert, signed_attributes) if sign_key is not None else None


def sign_document(path, sign_key, sign_cert, signed_attributes=True):
    """Writes PATH.p7s, a detached CMS signature of the file's bytes, and
    returns its path. Without signed attributes the signature covers the
    content digest alone; the setup program takes both forms."""
    signature = path + ".p7s"
    try:
        _openssl("cms", "-sign", "-binary", "-md", "sha256", "-outform", "DER", "-in", path,
                 "-signer", sign_cert, "-inkey", sign_key, "-out", signature + ".tmp",
                 *(() if signed_attributes else ("-noattr",)))
        os.replace(signature + ".tmp", signature)
    finally:
        if os.path.exists(signature + ".tmp"):
            os.remove(signature + ".tmp")
    return signature


def expiry_text(days=DEFAULT_EXPIRES_DAYS, at=None):
    """The text of an expires element: `at` as it is given (tests write
    broken ones), else `days` from now (negative: already past), to the
    second; None when both are None."""
    if at is not None:
        return at
    if days is None:
        return None
    when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return when.strftime(EXPIRES_FORMAT)


def stamp_expiry(data, expires):
    """The document's bytes `data` with its root's first child saying
    `expires`: the element put in first, indented as the next line, or its
    text replaced when it is there. Every other byte stays as it was."""
    root = ET.fromstring(data)
    element = b"<expires>" + expires.encode("ascii") + b"</expires>"
    start = re.search(rb"<" + re.escape(root.tag.encode("utf-8")) + rb"(?=[\s/>])[^>]*>", data)
    if start is None or start.group().endswith(b"/>"):
        raise ValueError("no start tag of <%s> to put expires after" % root.tag)
    if root.find("expires") is None:
        space = re.compile(rb"\s*").match(data, start.end()).group()
        return data[:start.end()] + space + element + data[start.end():]
    # Anywhere else it could stand for another expiry than the one replaced.
    first = re.compile(rb"(\s*)<expires>[^<]*</expires>").match(data, start.end())
    if first is None or root[0].tag != "expires":
        raise ValueError("expires is not the first child of <%s>" % root.tag)
    return data[:first.end(1)] + element + data[first.end():]


def write_document(path, data, signing):
    """Writes the bytes and, with signing = (key, certificate,
    signed_attributes), their signature; returns the signature's path or
    None."""
    # Written aside and renamed: the server never hands out half a document.
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)
    if signing:
        return sign_document(path, *signing)
    # A signature left from an earlier signed run would no longer match.
    if os.path.exists(path + ".p7s"):
        os.remove(path + ".p7s")
    return None


def tree_documents(root):
    """Every document of a published tree, in name order: each soft.info
    with the language files of its folder, and the update documents."""
    documents = []
    for folder, subfolders, files in os.walk(os.path.join(root, "zansetup", "soft")):
        subfolders.sort()
        if "soft.info" in files:
            documents.append(os.path.join(folder, "soft.info"))
            lang = os.path.join(folder, "lang")
            if os.path.isdir(lang):
                documents += [os.path.join(lang, n) for n in sorted(os.listdir(lang)) if n.endswith(".locale")]
    return documents + [p for p in (os.path.join(root, "zansetup", n) for n in UPDATE_DOCUMENTS.values())
                        if os.path.isfile(p)]


def resign(root, sign_key, sign_cert, expires_days=DEFAULT_EXPIRES_DAYS, expires_at=None,
           signed_attributes=True):
    """Gives every document of the tree below `root` a new expiry time and
    signs it again; packages, programs and every other byte of the
    documents stay as they are. Returns the documents, in name order."""
    signing = signing_of(sign_key, sign_cert, signed_attributes)
    expires = expiry_text(expires_days, expires_at)
    if signing is None or expires is None:
        raise ValueError("signing again needs the key, the certificate and an expiry time")
    # All read and stamped first: a document that cannot be stamped leaves
    # the whole tree as it was.
    stamped = []
    for path in tree_documents(root):
        with open(path, "rb") as f:
            stamped.append((path, stamp_expiry(f.read(), expires)))
    for path, data in stamped:
        write_document(path, data, signing)
    return [path for path, _ in stamped]
