#!/usr/bin/env python3
"""Publishes a product to a download-server tree: its install-information
document, its language files and its installer package.

    publish.py ROOT NAME INSTALLER [--version V] [--base URL] [options]

writes, below ROOT (the folder the web server serves):

    zansetup/soft/NAME[/VERSION]/soft.info
    zansetup/soft/NAME[/VERSION]/lang/CODE.locale   one per language
    zansetup/soft/NAME[/VERSION]/PACKAGE            the installer

or, with --update, a new setup program for the programs already out there:

    publish.py ROOT --update PROGRAM --version V [--base URL] [--path P]
                    [--flavour x86|x64] [--channel NAME] [--rollout P]
                    [--withdraw V ...]

    zansetup/new.xml                                the update document of the
                                                    32-bit programs (x86)
    zansetup/new-x64.xml                            ... of the 64-bit ones (x64)
    zansetup/new[-x64]-NAME.xml                     ... of the channel NAME
    zansetup/update/V/ZanSetup.exe                  the x86 program, or
    zansetup/update/V/x64/ZanSetup.exe              the x64 one (--path: another
                                                    place below zansetup/, where
                                                    every %VER% stands for V)

Each flavour of the setup program reads only its own update document, so
an update never changes the flavour. The flavour is the program's own (the
machine field of its file header) unless --flavour says otherwise.

--rollout P offers the update to P percent of the installations (0 to 100,
two decimals at most; 0 halts it), --withdraw V (repeatable) lets
installations of version V take it even when it is older, and --channel
NAME publishes it only to the installations on that channel.

The document's addresses are absolute, on the server's base address. Options
leave out elements, give a wrong digest or drop a language entry, so that
tests can publish the broken documents the setup program must survive.

With --sign-key KEY --sign-cert CERT (PEM files) every document written gets
a detached signature beside it, FILE.p7s (CMS, SHA-256, the signer's
certificate inside), and the certificate's pin is printed: the value a
pinned build carries in ZANSETUP_PUBLISHER_PINS.

Every document names the UTC time it expires at, --expires DAYS from now
(30 unless told, 7 for update documents; --no-expires writes none): a
pinned build refuses it after that, and refuses one that names none. Before
then, sign the tree again with new times; nothing else in it changes:

    publish.py --resign ROOT --sign-key KEY --sign-cert CERT [--expires DAYS]
                             [--drop PATH ...]

re-signs every signed document of the tree, wherever it lies (a file with
FILE.p7s beside it), and --drop takes the documents at or below PATH out of
it (a product version's folder, say), with the language files only they
name: every copy elsewhere dies at its expiry. On a document that cannot be
stamped or signed it names it in one line and leaves the tree as it was.

    publish.py --pin CERT                           prints only that pin

Run with --help for every option; import it and call publish() for the same.
"""
import argparse
import hashlib
import os
import re
import shutil
import sys
import urllib.parse
import xml.etree.ElementTree as ET

from signed_documents import (DEFAULT_EXPIRES_DAYS, UPDATE_DOCUMENTS, UPDATE_EXPIRES_DAYS, ResignError, expiry_text,
                              publisher_pin, resign, signing_of, stamp_expiry, write_document)

DEFAULT_BASE = "https://localhost:8780"
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_LANG_DIR = os.path.join(HERE, "..", "setup", "ui", "language")
LANGUAGES = ("zh-cn", "zh-tw", "en-us")


class Published:
    """Where everything went: file paths on disk and their addresses."""

    def __init__(self, folder, info_path, info_url, package_path, package_url, checksum, sha256,
                 lang_paths, lang_urls, signatures, expires):
        self.folder = folder
        self.info_path = info_path
        self.info_url = info_url
        self.package_path = package_path
        self.package_url = package_url
        self.checksum = checksum          # as written into the document (None if left out)
        self.sha256 = sha256              # the same for soft_info.package.sha256
        self.lang_paths = lang_paths      # code -> file, for the entries written
        self.lang_urls = lang_urls        # code -> address
        self.signatures = signatures      # document -> its .p7s; empty when unsigned
        self.expires = expires            # the expires text of every document; None: left out

    def __repr__(self):
        return "Published(%r)" % self.__dict__


def file_digest(path, algorithm):
    digest = hashlib.new(algorithm)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def file_md5(path):
    return file_digest(path, "md5")


def file_sha256(path):
    return file_digest(path, "sha256")


def _digests(path, checksum, wrong_checksum, sha256, wrong_sha256):
    """The MD5 and SHA-256 texts to publish for `path`: the file's own, or
    the given texts, or well-formed digests of something else."""
    if checksum is None:
        checksum = file_md5(path)
        if wrong_checksum:
            checksum = hashlib.md5(checksum.encode("ascii")).hexdigest()
    if sha256 is None:
        sha256 = file_sha256(path)
        if wrong_sha256:
            sha256 = hashlib.sha256(sha256.encode("ascii")).hexdigest()
    return checksum, sha256


def _write_document(path, document, expires, signing):
    """Writes the XML document with its expiry time (None: none) and, with
    signing, its signature; returns the signature's path or None."""
    ET.indent(document)
    data = ('<?xml version="1.0" encoding="utf-8"?>\n' + ET.tostring(document, encoding="unicode")
            + "\n").encode("utf-8")
    return write_document(path, data if expires is None else stamp_expiry(data, expires), signing)


def _check_segment(what, text):
    # The setup program puts name and version into the path as they stand;
    # anything that leaves its folder would publish somewhere else.
    if not text or text in (".", "..") or "/" in text or "\\" in text:
        raise ValueError("unusable %s: %r" % (what, text))


def _add(root, key, text=None, attributes=None):
    """Adds the element that the dotted key names ("soft_info.a.b"): parents
    are reused, the last element is always new (so repeated keys give
    siblings, as the conflict list needs)."""
    parts = key.split(".")
    if parts[0] != root.tag:
        raise ValueError("key outside %s: %s" % (root.tag, key))
    node = root
    for i, part in enumerate(parts[1:], 1):
        child = node.find(part) if i < len(parts) - 1 else None
        if child is None:
            child = ET.SubElement(node, part)
        node = child
    if text is not None:
        node.text = text
    for name, value in (attributes or {}).items():
        node.set(name, value)
    return node


def publish(root, name, installer, version=None, base_url=DEFAULT_BASE,
            exec_level="user", dir_opt_show=1, default_dir=None, read_key=None,
            conflict_processes=(), lang_dir=DEFAULT_LANG_DIR, languages=LANGUAGES,
            omit=(), checksum=None, wrong_checksum=False, sha256=None, wrong_sha256=False,
            package_name=None, span=None, workers=None, mirrors=(), extra=(), sign_key=None, sign_cert=None,
            signed_attributes=True, expires_days=DEFAULT_EXPIRES_DAYS, expires_at=None):
    """Writes the product's tree below `root` and returns a Published.

    The document starts with its expiry time, soft_info.expires, then
    soft_info.name and, for a version, soft_info.version: a pinned build
    takes a signed document only until it expires, and only for the
    product and version it asked for.

    exec_level     text of soft_info.exec_level ("Administrator" demands rights)
    dir_opt_show   the "show" attribute of soft_info.phase.dir_opt; None writes
                   the element without the attribute
    default_dir    soft_info.dir.install.default; None means
                   "%PROGRAMFILES%\\NAME"
    read_key       soft_info.dir.install.read (registry path); None leaves it out
    conflict_processes
                   texts of soft_info.conflict.process; empty leaves conflict out
    languages      codes that get a language file and a soft_info.lang entry
    omit           dotted keys of elements to leave out, e.g.
                   "soft_info.package.checksum" or "soft_info.lang.en-us"
    checksum       text for soft_info.package.checksum instead of the real MD5
    wrong_checksum a well-formed digest that is not the package's
    sha256, wrong_sha256
                   the same for soft_info.package.sha256
    package_name   file name of the package in the tree (default: the
                   installer's own name)
    span, workers  soft_info.package.span and .workers, the opt-in for long
                   lines: up to `span` 100 KiB blocks per ranged request (1
                   to 1024), on `workers` connections (1 to 8); None leaves
                   them out, and the download asks for one block at a time
                   on two connections
    mirrors        full addresses of other servers with the same package
                   (soft_info.package.mirror, repeatable): a try that fails
                   moves on to the next, and the digests judge the file
    extra          (dotted key, text) pairs of further elements, such as a
                   conflict child with another name
    sign_key, sign_cert
                   PEM files: soft.info and every language file get a .p7s
    signed_attributes
                   False signs without signed attributes (-noattr)
    expires_days   soft.info and every language file expire this many days
                   from now (negative: already expired); None leaves expires
                   out, and the language files are the source's bytes
    expires_at     the expires text itself instead, written as it is
    """
    _check_segment("product name", name)
    if version is not None:
        _check_segment("version", version)
    signing = signing_of(sign_key, sign_cert, signed_attributes)
    expires = expiry_text(expires_days, expires_at)
    base_url = base_url.rstrip("/")
    omit = set(omit)

    def omitted(key):
        return any(key == o or key.startswith(o + ".") for o in omit)

    parts = ["zansetup", "soft", name] + ([version] if version is not None else [])
    folder = os.path.join(root, *parts)
    url_folder = base_url + "/" + "/".join(urllib.parse.quote(p) for p in parts)
    os.makedirs(folder, exist_ok=True)

    package_name = package_name or os.path.basename(installer)
    _check_segment("package name", package_name)
    package_path = os.path.join(folder, package_name)
    if os.path.abspath(installer) != os.path.abspath(package_path):
        shutil.copyfile(installer, package_path)
    package_url = url_folder + "/" + urllib.parse.quote(package_name)
    checksum, sha256 = _digests(package_path, checksum, wrong_checksum, sha256, wrong_sha256)

    # The language folder holds only what this document points to.
    lang_folder = os.path.join(folder, "lang")
    shutil.rmtree(lang_folder, ignore_errors=True)
    lang_paths, lang_urls, signatures = {}, {}, {}
    for code in languages:
        if omitted("soft_info.lang." + code):
            continue
        os.makedirs(lang_folder, exist_ok=True)
        lang_paths[code] = os.path.join(lang_folder, code + ".locale")
        with open(os.path.join(lang_dir, code + ".locale"), "rb") as f:
            text = f.read()
        signature = write_document(lang_paths[code], text if expires is None else stamp_expiry(text, expires),
                                   signing)
        lang_urls[code] = url_folder + "/lang/" + code + ".locale"
        if signature:
            signatures[lang_paths[code]] = signature

    if default_dir is None:
        default_dir = "%PROGRAMFILES%\\" + name
    entries = [("soft_info.name", name, None),
               ("soft_info.version", version, None),
               ("soft_info.exec_level", exec_level, None),
               ("soft_info.phase.dir_opt", None,
                None if dir_opt_show is None else {"show": str(dir_opt_show)}),
               ("soft_info.dir.install.read", read_key, None),
               ("soft_info.dir.install.default", default_dir, None),
               ("soft_info.package.url", package_url, None)]
    entries += [("soft_info.package.mirror", mirror, None) for mirror in mirrors]
    entries += [("soft_info.package.checksum", checksum, None),
                ("soft_info.package.sha256", sha256, None),
                ("soft_info.package.span", None if span is None else str(span), None),
                ("soft_info.package.workers", None if workers is None else str(workers), None)]
    entries += [("soft_info.conflict.process", p, None) for p in conflict_processes]
    entries += [("soft_info.lang." + code, url, None) for code, url in lang_urls.items()]
    entries += [(key, text, None) for key, text in extra]

    document = ET.Element("soft_info")
    for key, text, attributes in entries:
        if omitted(key):
            continue
        if text is None and key != "soft_info.phase.dir_opt":
            continue
        _add(document, key, text, attributes)

    info_path = os.path.join(folder, "soft.info")
    signature = _write_document(info_path, document, expires, signing)
    if signature:
        signatures[info_path] = signature

    return Published(folder, info_path, url_folder + "/soft.info", package_path, package_url,
                     None if omitted("soft_info.package.checksum") else checksum,
                     None if omitted("soft_info.package.sha256") else sha256,
                     lang_paths, lang_urls, signatures, expires)


UPDATE_PATH = "update/%VER%/ZanSetup.exe"
FLAVOURS = ("x86", "x64")
# The default place of each flavour's program.
UPDATE_PATHS = {"x86": UPDATE_PATH, "x64": "update/%VER%/x64/ZanSetup.exe"}
IMAGE_FILE_MACHINE_AMD64 = 0x8664


def program_machine(path):
    """The machine field of a Windows program's file header; None for a
    file that is no such program."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    pe = int.from_bytes(head[0x3C:0x40], "little")
    if pe + 6 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        return None
    return int.from_bytes(head[pe + 4:pe + 6], "little")


def program_flavour(path):
    """x64 for an x86-64 program, x86 for anything else."""
    return "x64" if program_machine(path) == IMAGE_FILE_MACHINE_AMD64 else "x86"


class PublishedUpdate:
    def __init__(self, document_path, program_path, url, checksum, sha256, signature, expires):
        self.document_path = document_path
        self.program_path = program_path
        self.url = url                    # as written: "%VER%" not yet replaced
        self.checksum = checksum
        self.sha256 = sha256
        self.signature = signature        # the document's .p7s, or None when unsigned
        self.expires = expires            # its expires text, or None when left out

    def __repr__(self):
        return "PublishedUpdate(%r)" % self.__dict__


ROLLOUT = re.compile(r"^(100(\.00?)?|\d{1,2}(\.\d{1,2})?)$")
CHANNEL = re.compile(r"^[a-z0-9-]{1,32}$")
DOTTED_NUMBERS = re.compile(r"^\d+(\.\d+)*$")


def _release_controls(rollout, channel, withdrawn):
    """Refuses what the setup program would not read as the publisher
    meant it."""
    if rollout is not None and not ROLLOUT.match(rollout):
        raise ValueError("the rollout is a percentage from 0 to 100 with two decimals at most, not %r" % rollout)
    if channel is not None and not CHANNEL.match(channel):
        raise ValueError("a channel is 1 to 32 characters of a-z, 0-9 and -, not %r" % channel)
    for version in withdrawn:
        if not DOTTED_NUMBERS.match(version):
            raise ValueError("a withdrawn version is dotted numbers, as version blocks carry, not %r" % version)


def update_document_name(flavour, channel=None):
    """new.xml, new-x64.xml, or with a channel new-beta.xml, new-x64-beta.xml."""
    name = UPDATE_DOCUMENTS[flavour]
    return name if channel is None else name[:-len(".xml")] + "-" + channel + ".xml"


def publish_update(root, program, version, base_url=DEFAULT_BASE, path=None,
                   checksum=None, wrong_checksum=False, sha256=None, wrong_sha256=False,
                   sign_key=None, sign_cert=None, signed_attributes=True, flavour=None,
                   expires_days=UPDATE_EXPIRES_DAYS, expires_at=None, rollout=None, channel=None,
                   withdrawn=()):
    """Publishes `program` as the new setup program of its flavour (x86 or
    x64; by default the program's own): copies it to `path` below zansetup/
    (every "%VER%" replaced by `version`; by default the flavour's place)
    and writes the flavour's update document, zansetup/new.xml or
    new-x64.xml, with the version, the address (keeping "%VER%") and the
    digests, and its expiry time as publish() writes it (7 days ahead by
    default); with sign_key and sign_cert also its .p7s. The program itself
    is copied as it is: its Authenticode signature comes from the build.

    rollout    zansetup.rollout, the percentage of installations that take
               it ("30", "0.5"; "0" halts it); None leaves it out: all do
    channel    the channel's document instead (new-NAME.xml)
    withdrawn  versions that take it even when it is older
               (zansetup.withdrawn.version each)"""
    _check_segment("version", version)
    _release_controls(rollout, channel, withdrawn)
    flavour = flavour or program_flavour(program)
    if flavour not in FLAVOURS:
        raise ValueError("the flavour is x86 or x64, not %r" % flavour)
    path = path or UPDATE_PATHS[flavour]
    signing = signing_of(sign_key, sign_cert, signed_attributes)
    expires = expiry_text(expires_days, expires_at)
    base_url = base_url.rstrip("/")
    parts = path.replace("%VER%", version).split("/")
    for part in parts:
        _check_segment("update path", part)
    program_path = os.path.join(root, "zansetup", *parts)
    os.makedirs(os.path.dirname(program_path), exist_ok=True)
    shutil.copyfile(program, program_path)
    url = base_url + "/zansetup/" + "/".join(urllib.parse.quote(p, safe="%") for p in path.split("/"))
    checksum, sha256 = _digests(program_path, checksum, wrong_checksum, sha256, wrong_sha256)
    document = ET.Element("zansetup")
    for tag, text in (("version", version), ("url", url), ("checksum", checksum), ("sha256", sha256),
                      ("rollout", rollout)):
        if text is not None:
            ET.SubElement(document, tag).text = text
    if withdrawn:
        listed = ET.SubElement(document, "withdrawn")
        for item in withdrawn:
            ET.SubElement(listed, "version").text = item
    document_path = os.path.join(root, "zansetup", update_document_name(flavour, channel))
    signature = _write_document(document_path, document, expires, signing)
    return PublishedUpdate(document_path, program_path, url, checksum, sha256, signature, expires)


def _add_signing_options(parser, required=False, default_days=DEFAULT_EXPIRES_DAYS):
    """The key, the certificate and the expiry time; `required` for a
    command that only signs, which always writes an expiry time."""
    parser.add_argument("--sign-key", metavar="KEY", required=required, help="publisher's private key (PEM)")
    parser.add_argument("--sign-cert", metavar="CERT", required=required, help="publisher's certificate (PEM)")
    parser.add_argument("--no-signed-attributes", action="store_true",
                        help="sign without signed attributes (openssl cms -noattr)")
    expiry = parser.add_mutually_exclusive_group()
    expiry.add_argument("--expires", type=int, default=default_days, metavar="DAYS",
                        help="the documents expire this many days from now [%s]"
                        % (default_days or "30, update documents 7"))
    if not required:
        expiry.add_argument("--no-expires", action="store_true",
                            help="write no expiry time (a pinned build refuses such documents)")


def _signing_options(parser, args):
    """The keyword arguments for publish()/publish_update()/resign() and the
    pin to print (None when unsigned)."""
    if (args.sign_key is None) != (args.sign_cert is None):
        parser.error("--sign-key and --sign-cert go together")
    options = dict(sign_key=args.sign_key, sign_cert=args.sign_cert,
                   signed_attributes=not args.no_signed_attributes,
                   expires_days=None if getattr(args, "no_expires", False) else args.expires)
    return options, publisher_pin(args.sign_cert) if args.sign_cert else None


def main_pin(argv):
    parser = argparse.ArgumentParser(prog="publish.py --pin",
                                     description="Prints the pin of a publisher certificate.")
    parser.add_argument("--pin", required=True, metavar="CERT", help="the certificate (PEM)")
    args = parser.parse_args(argv)
    print(publisher_pin(args.pin))
    return 0


def main_resign(argv):
    parser = argparse.ArgumentParser(prog="publish.py --resign",
                                     description="Signs every document of a published tree again, with a "
                                     "new expiry time; nothing else changes.")
    parser.add_argument("--resign", required=True, metavar="ROOT", help="folder the web server serves")
    parser.add_argument("--drop", action="append", default=[], metavar="PATH",
                        help="take the signed documents at or below PATH (below ROOT) out of the tree (repeatable)")
    _add_signing_options(parser, required=True, default_days=None)
    args = parser.parse_args(argv)
    signing, pin = _signing_options(parser, args)
    if not os.path.isdir(args.resign):
        parser.error("no folder " + args.resign)
    try:
        documents, dropped = resign(args.resign, drop=args.drop, **signing)
    except (ResignError, ValueError, OSError) as error:
        # One line that names the document; the tree is as it was.
        print("publish.py --resign: %s; the tree is left as it was" % error, file=sys.stderr)
        return 1
    if not documents and not dropped:
        parser.error("no signed documents below " + args.resign)
    for path, expires in documents:
        print("signed", path, "until", expires)
    for path in dropped:
        print("dropped", path)
    print("pin", pin)
    return 0


def main_update(argv):
    parser = argparse.ArgumentParser(prog="publish.py ROOT --update",
                                     description="Publishes a new setup program as the update.")
    parser.add_argument("root", help="folder the web server serves")
    parser.add_argument("--update", required=True, metavar="PROGRAM", help="the new setup program")
    parser.add_argument("--version", required=True, help="its version")
    parser.add_argument("--base", default=DEFAULT_BASE, help="server base address [%(default)s]")
    parser.add_argument("--path", help="place below zansetup/ [update/%%VER%%/ZanSetup.exe, "
                        "for x64 update/%%VER%%/x64/ZanSetup.exe]")
    parser.add_argument("--flavour", choices=FLAVOURS,
                        help="the programs it updates [the program's own: x64 for an x86-64 program]")
    parser.add_argument("--wrong-checksum", action="store_true", help="a digest that does not match")
    parser.add_argument("--rollout", metavar="P", help="percentage of installations that take it, 0 to 100 "
                        "with two decimals at most; 0 halts it [all]")
    parser.add_argument("--channel", metavar="NAME", help="publish to this channel's document "
                        "(1 to 32 of a-z, 0-9, -) [the default channel]")
    parser.add_argument("--withdraw", action="append", default=[], metavar="V",
                        help="a withdrawn version, whose installations take this one even when older (repeatable)")
    _add_signing_options(parser, default_days=UPDATE_EXPIRES_DAYS)
    args = parser.parse_args(argv)
    signing, pin = _signing_options(parser, args)
    try:
        _release_controls(args.rollout, args.channel, args.withdraw)
    except ValueError as error:
        parser.error(str(error))
    result = publish_update(args.root, args.update, args.version, base_url=args.base, path=args.path,
                            wrong_checksum=args.wrong_checksum, flavour=args.flavour, rollout=args.rollout,
                            channel=args.channel, withdrawn=args.withdraw, **signing)
    print("document", result.document_path)
    print("expires", result.expires)
    if pin:
        print("signature", result.signature)
        print("pin", pin)
    print("program", result.program_path)
    print("url", result.url)
    print("checksum", result.checksum)
    print("sha256", result.sha256)
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if any(a == "--pin" or a.startswith("--pin=") for a in argv):
        return main_pin(argv)
    if any(a == "--update" or a.startswith("--update=") for a in argv):
        return main_update(argv)
    if any(a == "--resign" or a.startswith("--resign=") for a in argv):
        return main_resign(argv)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root", help="folder the web server serves")
    parser.add_argument("name", help="product name")
    parser.add_argument("installer", help="the product's installer program")
    parser.add_argument("--version", help="product version (none: versionless layout)")
    parser.add_argument("--base", default=DEFAULT_BASE, help="server base address [%(default)s]")
    parser.add_argument("--exec-level", default="user", help="soft_info.exec_level [%(default)s]")
    show = parser.add_mutually_exclusive_group()
    show.add_argument("--dir-opt-show", default="1",
                      help="show attribute of soft_info.phase.dir_opt [%(default)s]")
    show.add_argument("--no-dir-opt-show", action="store_true",
                      help="write dir_opt without its show attribute")
    parser.add_argument("--default-dir", help="soft_info.dir.install.default [%%PROGRAMFILES%%\\NAME]")
    parser.add_argument("--read-key", help="soft_info.dir.install.read (registry path)")
    parser.add_argument("--conflict", action="append", default=[], metavar="EXE",
                        help="a soft_info.conflict.process entry (repeatable)")
    parser.add_argument("--lang-dir", default=DEFAULT_LANG_DIR, help="folder of the *.locale files")
    parser.add_argument("--omit", action="append", default=[], metavar="KEY",
                        help="leave out an element, e.g. soft_info.lang.en-us (repeatable)")
    digest = parser.add_mutually_exclusive_group()
    digest.add_argument("--checksum", help="text for soft_info.package.checksum")
    digest.add_argument("--wrong-checksum", action="store_true", help="a digest that does not match")
    parser.add_argument("--package-name", help="file name of the package in the tree")
    parser.add_argument("--span", type=int, help="100 KiB blocks per ranged request, 1 to 1024 "
                        "(soft_info.package.span) [left out: 1]")
    parser.add_argument("--workers", type=int, help="connections of the download, 1 to 8 "
                        "(soft_info.package.workers) [left out: 2]")
    parser.add_argument("--mirror", action="append", default=[], metavar="URL",
                        help="the full address of the package on another server (soft_info.package.mirror, "
                        "repeatable), tried in turn when a try fails")
    parser.add_argument("--extra", action="append", default=[], metavar="KEY=TEXT",
                        help="a further element (repeatable)")
    _add_signing_options(parser)
    args = parser.parse_args(argv)
    signing, pin = _signing_options(parser, args)

    extra = []
    for item in args.extra:
        key, sep, text = item.partition("=")
        if not sep:
            parser.error("--extra wants KEY=TEXT: " + item)
        extra.append((key, text))
    result = publish(args.root, args.name, args.installer, version=args.version, base_url=args.base,
                     exec_level=args.exec_level,
                     dir_opt_show=None if args.no_dir_opt_show else args.dir_opt_show,
                     default_dir=args.default_dir, read_key=args.read_key,
                     conflict_processes=args.conflict, lang_dir=args.lang_dir, omit=args.omit,
                     checksum=args.checksum, wrong_checksum=args.wrong_checksum,
                     package_name=args.package_name, span=args.span, workers=args.workers,
                     mirrors=args.mirror, extra=extra,
                     **signing)
    print("soft.info", result.info_path)
    print("expires", result.expires)
    if pin:
        print("signed", len(result.signatures), "documents")
        print("pin", pin)
    print("info url", result.info_url)
    print("package url", result.package_url)
    print("checksum", result.checksum)
    print("sha256", result.sha256)
    for code, url in sorted(result.lang_urls.items()):
        print("lang", code, url)
    return 0


if __name__ == "__main__":
    sys.exit(main())
