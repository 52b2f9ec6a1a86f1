"""The documents of a download-server tree as a pinned setup program takes
them: each names the instant it stops being taken (a child "expires" of
its root, UTC, "2027-01-31T00:00:00Z"; publishing puts it first) and
carries a detached signature beside it, FILE.p7s (CMS, DER, SHA-256, the
signer's certificate inside).

A server can then replay a signed document only until it expires: the
publisher keeps signing what it serves (resign(), over any tree's layout)
and withdraws a release by no longer signing it (resign(drop=...))."""
import datetime
import hashlib
import os
import re
import subprocess
import urllib.parse
import xml.etree.ElementTree as ET
import xml.parsers.expat

# Products' documents, and the update documents, which must carry a halt
# or a withdrawal to every installation sooner (expires_days_of).
DEFAULT_EXPIRES_DAYS = 30
UPDATE_EXPIRES_DAYS = 7
EXPIRES_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
# Each flavour's update document, below zansetup/.
UPDATE_DOCUMENTS = {"x86": "new.xml", "x64": "new-x64.xml"}


def _openssl(*args, data=None):
    """Runs the openssl command line and returns its standard output."""
    result = subprocess.run(("openssl",) + args, input=data, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], _reasons(result.stderr.decode(errors="replace"))))
    return result.stdout


def _reasons(errors):
    """openssl's error lines ("...:error:CODE:LIBRARY:FUNCTION:REASON:FILE:LINE:")
    as one line of their reasons."""
    reasons = []
    for line in errors.splitlines():
        parts = line.split(":")
        reason = parts[5] if len(parts) > 6 and parts[1] == "error" else line.strip()
        if reason and reason not in reasons:
            reasons.append(reason)
    return "; ".join(reasons)


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


class StampError(ValueError):
    """A document whose bytes cannot take an expiry time."""


def _tag_end(data, at):
    """The index just past the tag that starts at `at`: its ">" outside
    quoted attribute values."""
    quote = None
    for i in range(at + 1, len(data)):
        c = data[i:i + 1]
        if quote:
            if c == quote:
                quote = None
        elif c in (b'"', b"'"):
            quote = c
        elif c == b">":
            return i + 1
    raise StampError("a tag that does not end")


def _root_layout(data):
    """(root tag, end of the root's start tag, [(start, end) of every
    expires child of the root, the whole element]), read with the names as
    they stand, as the setup program reads them."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff") or b"\0" in data[:4]:
        raise StampError("it is UTF-16; documents are UTF-8")
    parser = xml.parsers.expat.ParserCreate()
    layout = {"depth": 0, "root": None, "root_end": None, "open": None, "spans": []}

    def start(name, attributes):
        at = parser.CurrentByteIndex
        if layout["depth"] == 0:
            layout["root"], layout["root_end"] = name, _tag_end(data, at)
        elif layout["depth"] == 1 and name == "expires":
            end = _tag_end(data, at)
            # An empty element <expires/> ends with its start tag.
            layout["open"] = (at, end if data[end - 2:end] == b"/>" else None)
        layout["depth"] += 1

    def finish(name):
        layout["depth"] -= 1
        if layout["depth"] == 1 and name == "expires":
            begin, end = layout["open"]
            layout["spans"].append((begin, end or _tag_end(data, parser.CurrentByteIndex)))

    parser.StartElementHandler, parser.EndElementHandler = start, finish
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError as error:
        raise StampError("it is no well-formed XML (%s)" % error)
    return layout["root"], layout["root_end"], layout["spans"]


def stamp_expiry(data, expires):
    """The document's bytes `data` with its root's child "expires" saying
    `expires`: the element replaced wherever it stands among the root's
    children, or, when there is none, put in first, indented as the next
    line. Every other byte stays as it was. Raises StampError for bytes that
    cannot take it: no XML, UTF-16, a root without children's room (<a/>), or
    more than one expires child, which could stand for another time than
    the one replaced."""
    root, root_end, spans = _root_layout(data)
    element = b"<expires>" + expires.encode("ascii") + b"</expires>"
    if len(spans) > 1:
        raise StampError("its root <%s> has %d expires elements" % (root, len(spans)))
    if spans:
        begin, end = spans[0]
        return data[:begin] + element + data[end:]
    if data[root_end - 2:root_end] == b"/>":
        raise StampError("its root <%s> is empty" % root)
    space = re.compile(rb"\s*").match(data, root_end).group()
    return data[:root_end] + space + element + data[root_end:]


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


def expires_days_of(data):
    """How long a document stays fresh by default: an update document
    (root "zansetup") 7 days, so that a halt or a withdrawal reaches every
    installation within a week; soft.info and language files 30."""
    root, _, _ = _root_layout(data)
    return UPDATE_EXPIRES_DAYS if root == "zansetup" else DEFAULT_EXPIRES_DAYS


class ResignError(Exception):
    """Why a tree was left as it was, in one line naming the document."""


def signed_documents(root):
    """Every signed document below `root`, wherever it lies: each file with
    its signature FILE.p7s beside it, in path order."""
    documents = []
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        names = set(files)
        documents += [os.path.join(folder, n) for n in sorted(files) if n + ".p7s" in names]
    return documents


def _inside(root, path):
    root, path = os.path.realpath(root), os.path.realpath(path)
    return path == root or path.startswith(root + os.sep)


def _named_languages(root, document):
    """The files of the tree that an install-information document names as
    its language files (soft_info.lang.*, absolute or relative addresses)."""
    with open(document, "rb") as f:
        tree = ET.fromstring(f.read())
    lang = tree.find("lang") if tree.tag == "soft_info" else None
    here = "/" + os.path.relpath(document, root).replace(os.sep, "/")
    named = set()
    for entry in lang if lang is not None else ():
        path = urllib.parse.unquote(urllib.parse.urlsplit(urllib.parse.urljoin(here, (entry.text or "").strip())).path)
        named.add(os.path.normpath(os.path.join(root, *[p for p in path.split("/") if p])))
    return named


def _dropped(root, documents, drops):
    """The signed documents that --drop takes: every one at or below each
    path, and the language files that a dropped soft.info names and no kept
    one does."""
    if not drops:
        return set()
    dropped = set()
    for drop in drops:
        path = drop if os.path.isabs(drop) else os.path.join(root, drop)
        if not _inside(root, path) or not os.path.exists(path):
            raise ResignError("cannot drop %s: it is not in the tree %s" % (drop, root))
        path = os.path.normpath(path)
        found = [d for d in documents if d == path or d.startswith(path + os.sep)]
        if not found:
            raise ResignError("cannot drop %s: it holds no signed document" % drop)
        dropped.update(found)
    try:
        languages = set().union(*(_named_languages(root, d) for d in dropped))
        kept = set().union(*(_named_languages(root, d) for d in documents if d not in dropped))
    except ET.ParseError as error:
        raise ResignError("cannot drop %s: a document does not read (%s)" % (", ".join(drops), error))
    return dropped | ((languages - kept) & set(documents))


def _sign_aside(path, data, signing):
    """The new bytes and their signature written beside `path` under
    temporary names; returns those names."""
    aside = path + ".resign"
    with open(aside, "wb") as f:
        f.write(data)
    return aside, sign_document(aside, *signing)


def resign(root, sign_key, sign_cert, expires_days=None, expires_at=None, signed_attributes=True, drop=()):
    """Gives every signed document below `root` a new expiry time and signs
    it again: `expires_at` as written, else `expires_days` from now, else
    each document's default (expires_days_of). Packages, programs and every
    other byte stay as they are. The documents that `drop` names (paths
    below `root`: a document, or a folder such as a product version's) go,
    with their signatures. Returns ([(document, expires)], [dropped]), in
    path order. All or nothing: on a document that cannot be stamped or
    signed, raises ResignError naming it, and the tree is as it was."""
    signing = signing_of(sign_key, sign_cert, signed_attributes)
    if signing is None:
        raise ValueError("signing again needs the key and the certificate")
    documents = signed_documents(root)
    dropped = _dropped(root, documents, drop)
    stamped = []
    for path in (d for d in documents if d not in dropped):
        with open(path, "rb") as f:
            data = f.read()
        try:
            expires = expiry_text(expires_days if expires_days is not None else expires_days_of(data), expires_at)
            stamped.append((path, expires, stamp_expiry(data, expires)))
        except StampError as error:
            raise ResignError("cannot stamp %s: %s" % (path, error))
    # Every new document and signature is made aside first: one that cannot
    # be signed leaves the tree as it was.
    aside = []
    try:
        for path, _, data in stamped:
            try:
                aside.append(_sign_aside(path, data, signing))
            except (RuntimeError, OSError) as error:
                raise ResignError("cannot sign %s: %s" % (path, error))
    except BaseException:
        for name in [n for pair in aside for n in pair] + [p + ".resign" for p, _, _ in stamped]:
            if os.path.exists(name):
                os.remove(name)
        raise
    for (path, _, _), (document, signature) in zip(stamped, aside):
        os.replace(document, path)
        os.replace(signature, path + ".p7s")
    # The signature first: a document left without one is taken by no
    # pinned build.
    for path in sorted(dropped):
        os.remove(path + ".p7s")
        os.remove(path)
    return [(path, expires) for path, expires, _ in stamped], sorted(dropped)
