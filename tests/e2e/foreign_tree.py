"""A download-server tree that publish.py did not write, as another tool or a hand lays one out: tabs and CRLF
line ends, each document's expiry time as its root's last child (past, so a pinned build refuses it until it
is signed again), the language files in a folder of their own that several products share, and the package in
a third. Every document is signed with the publisher's key."""
import os
import shutil
from pathlib import Path

from signing import publish, signed_documents  # tools/, on the path signing puts it

LANG_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "setup", "ui", "language")
LANGUAGES = ("en-us", "zh-cn", "zh-tw")
PAST = "2001-01-01T00:00:00Z"
LANG_FOLDER = ("zansetup", "languages", "shared")


def _write_signed(path, data, identity):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    signed_documents.write_document(path, data, signed_documents.signing_of(identity.key, identity.cert))
    return path


def language_files(root, identity):
    """The shared language files, each with its expiry time last."""
    paths = {}
    for code in LANGUAGES:
        data = Path(LANG_SOURCE, code + ".locale").read_bytes()
        end = data.rindex(b"</language>")
        data = data[:end] + b"  <expires>" + PAST.encode() + b"</expires>\n" + data[end:]
        paths[code] = _write_signed(os.path.join(root, *LANG_FOLDER, code + ".locale"), data, identity)
    return paths


def product(root, base_url, name, version, installer, identity):
    """The path of soft.info of NAME VERSION where the setup program asks, its package in zansetup/packages/,
    its language files the shared ones (made by language_files)."""
    package = os.path.join(root, "zansetup", "packages", "%s-%s.exe" % (name.lower(), version))
    os.makedirs(os.path.dirname(package), exist_ok=True)
    shutil.copyfile(installer, package)
    base = base_url.rstrip("/")
    lines = ['<?xml version="1.0" encoding="utf-8"?>', "<soft_info>",
             "\t<name>%s</name>" % name, "\t<version>%s</version>" % version,
             "\t<exec_level>user</exec_level>", '\t<phase><dir_opt show="0"/></phase>',
             "\t<dir><install><default>%%PROGRAMFILES%%\\%s</default></install></dir>" % name,
             "\t<package>", "\t\t<url>%s/zansetup/packages/%s</url>" % (base, os.path.basename(package)),
             "\t\t<checksum>%s</checksum>" % publish.file_md5(package),
             "\t\t<sha256>%s</sha256>" % publish.file_sha256(package), "\t</package>", "\t<lang>"]
    lines += ["\t\t<%s>%s/%s/%s.locale</%s>" % (code, base, "/".join(LANG_FOLDER), code, code) for code in LANGUAGES]
    lines += ["\t</lang>", "\t<expires>%s</expires>" % PAST, "</soft_info>", ""]
    info = os.path.join(root, "zansetup", "soft", name, version, "soft.info")
    return _write_signed(info, "\r\n".join(lines).encode("utf-8"), identity)
