"""The publishing tool: the tree it writes is what the setup program asks the
server for, and the document holds exactly the element paths it reads."""
import collections
import datetime
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
sys.path.insert(0, TOOLS)

import foreign_tree  # noqa: E402
import publish  # noqa: E402

BASE = "https://localhost:8780"
Identity = collections.namedtuple("Identity", "key cert")
LANG_DIR = os.path.join(HERE, "..", "..", "setup", "ui", "language")


def element_paths(info_path):
    """(dotted path, text, attributes) of every element in document order."""
    def walk(node, prefix):
        path = prefix + node.tag
        yield path, (node.text or "").strip(), dict(node.attrib)
        for child in node:
            yield from walk(child, path + ".")

    return list(walk(ET.parse(info_path).getroot(), ""))


def element_texts(info_path):
    return {path: text for path, text, _ in element_paths(info_path)}


def program_paths():
    """The dotted element paths the setup program's sources read."""
    found = set()
    for path in glob.glob(os.path.join(HERE, "..", "..", "setup", "*", "*.cpp")):
        with open(path, encoding="utf-8") as f:
            found.update(re.findall(r'"(soft_info(?:\.[a-z0-9_]+)*)', f.read()))
    return found


def tool(*args):
    return subprocess.run([sys.executable, os.path.join(TOOLS, "publish.py")] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


def openssl(*args):
    return subprocess.run(("openssl",) + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree_bytes(root):
    """Every file below `root`: its path there -> its bytes."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = read(path)
    return files


def days_ahead(expires):
    """How many days ahead an expires text lies; it must have the one form the setup program reads."""
    when = datetime.datetime.strptime(expires, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
    assert when.strftime("%Y-%m-%dT%H:%M:%SZ") == expires, expires
    return (when - datetime.datetime.now(datetime.timezone.utc)).total_seconds() / 86400


def without_expiry(data, expires):
    """The document's bytes without its expires element and the line break and indent before it."""
    element = b"<expires>" + expires.encode("ascii") + b"</expires>"
    assert data.count(element) == 1, data[:200]
    return data.replace(b"\n  " + element, b"", 1)


class Publish(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.TemporaryDirectory()
        cls.key = os.path.join(cls.keys.name, "publisher.key")
        cls.cert = os.path.join(cls.keys.name, "publisher.crt")
        made = openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                       "-keyout", cls.key, "-out", cls.cert, "-days", "2", "-subj", "/CN=test publisher")
        assert made.returncode == 0, made.stderr
        cls.pin = publish.publisher_pin(cls.cert)
        cls.signing = dict(sign_key=cls.key, sign_cert=cls.cert)
        cls.identity = Identity(cls.key, cls.cert)

    @classmethod
    def tearDownClass(cls):
        cls.keys.cleanup()

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.root = os.path.join(self.tmp.name, "www")
        self.installer = os.path.join(self.tmp.name, "DemoSetup.exe")
        # Some bytes whose digest is not that of an empty file, past one 64 KiB read.
        self.package_bytes = bytes(range(256)) * 300 + b"tail"
        self.md5, self.sha256 = (hashlib.new(name, self.package_bytes).hexdigest() for name in ("md5", "sha256"))
        with open(self.installer, "wb") as f:
            f.write(self.package_bytes)

    def served(self, url):
        """The file that a server rooted at the tree delivers for an address."""
        self.assertTrue(url.startswith(BASE + "/"), url)
        return os.path.join(self.root, *url[len(BASE) + 1:].split("/"))

    def verifies(self, document, signature):
        return openssl("cms", "-verify", "-binary", "-inform", "DER", "-in", signature,
                       "-content", document, "-noverify", "-out", os.devnull).returncode == 0

    def test_versioned_tree_holds_exactly_the_document_paths_and_files_and_a_versionless_one_sits_beside(self):
        default_dir, read_key = "%PROGRAMFILES%\\Demo \u6f14\u793a", "HKEY_CURRENT_USER\\Software\\Demo\\InstallDir"
        result = publish.publish(self.root, "Demo", self.installer, version="1.0", base_url=BASE + "/",
                                 exec_level="Administrator", dir_opt_show=1, default_dir=default_dir,
                                 read_key=read_key, conflict_processes=["DemoAgent.exe", "demo.exe"], lang_dir=LANG_DIR)
        self.assertEqual(os.path.join(self.root, "zansetup", "soft", "Demo", "1.0", "soft.info"), result.info_path)
        self.assertEqual(BASE + "/zansetup/soft/Demo/1.0/soft.info", result.info_url)
        self.assertEqual(result.info_path, self.served(result.info_url))
        self.assertEqual((self.md5, self.sha256), (result.checksum, result.sha256))

        lang = {code: BASE + "/zansetup/soft/Demo/1.0/lang/%s.locale" % code for code in ("zh-cn", "zh-tw", "en-us")}
        self.assertAlmostEqual(publish.DEFAULT_EXPIRES_DAYS, days_ahead(result.expires), delta=0.01)
        # Each value given is where the program reads it, and the document
        # holds no element the program does not read.
        rows = element_paths(result.info_path)
        given = {"soft_info.expires": [result.expires], "soft_info.name": ["Demo"], "soft_info.version": ["1.0"],
                 "soft_info.exec_level": ["Administrator"], "soft_info.dir.install.read": [read_key],
                 "soft_info.dir.install.default": [default_dir],
                 "soft_info.package.url": [result.package_url], "soft_info.package.checksum": [self.md5],
                 "soft_info.package.sha256": [self.sha256], "soft_info.conflict.process": ["DemoAgent.exe", "demo.exe"]}
        given.update(("soft_info.lang." + code, [url]) for code, url in lang.items())
        self.assertEqual(given, {path: [text for p, text, _ in rows if p == path] for path in given})
        self.assertEqual([{"show": "1"}], [a for p, _, a in rows if p == "soft_info.phase.dir_opt"])
        # Below a path the program reads whole (the conflict list, the languages), any child is read.
        known = program_paths()
        whole = {r for r in known if not any(o.startswith(r + ".") for o in known)}
        self.assertEqual([], [p for p, _, _ in rows if not any(r == p or r.startswith(p + ".") for r in known)
                              and p.rsplit(".", 1)[0] not in whole])

        # UTF-8 with a declaration that says so, the Chinese text as UTF-8 bytes.
        raw = read(result.info_path)
        self.assertTrue(raw.startswith(b'<?xml version="1.0" encoding="utf-8"?>'))
        self.assertIn("\u6f14\u793a".encode("utf-8"), raw)

        # Every address resolves to its file in the tree, with the right bytes: a language file is the
        # program's own with the expiry time added as the root's first child.
        self.assertEqual(self.package_bytes, read(self.served(result.package_url)))
        self.assertEqual(lang, result.lang_urls)
        for code, url in lang.items():
            served = read(self.served(url))
            self.assertEqual(read(os.path.join(LANG_DIR, code + ".locale")), without_expiry(served, result.expires))
            self.assertEqual(("expires", result.expires), (ET.fromstring(served)[0].tag, ET.fromstring(served)[0].text))

        # The versionless layout, beside the version, leaves it as it was.
        plain = publish.publish(self.root, "Demo", self.installer, lang_dir=LANG_DIR, package_name="install.exe")
        self.assertEqual(os.path.join(self.root, "zansetup", "soft", "Demo", "soft.info"), plain.info_path)
        self.assertEqual(BASE + "/zansetup/soft/Demo/soft.info", plain.info_url)
        self.assertEqual(BASE + "/zansetup/soft/Demo/install.exe", plain.package_url)
        self.assertEqual(self.package_bytes, read(self.served(plain.package_url)))
        paths = element_texts(plain.info_path)
        self.assertEqual("Demo", paths["soft_info.name"])
        self.assertNotIn("soft_info.version", paths, "a versionless document names no version")
        self.assertEqual(BASE + "/zansetup/soft/Demo/lang/en-us.locale", paths["soft_info.lang.en-us"])
        self.assertTrue(os.path.exists(self.served(paths["soft_info.lang.en-us"])))
        self.assertEqual(raw, read(result.info_path))
        self.assertTrue(os.path.exists(self.served(result.lang_urls["zh-cn"])))

    def test_broken_documents_for_the_failure_cases(self):
        wrong = publish.publish(self.root, "Demo", self.installer, version="1.0",
                                wrong_checksum=True, wrong_sha256=True, dir_opt_show=None,
                                omit=["soft_info.lang.en-us", "soft_info.exec_level", "soft_info.name"],
                                lang_dir=LANG_DIR, expires_days=None)
        paths = dict((p, (t, a)) for p, t, a in element_paths(wrong.info_path))
        for element, right in (("checksum", self.md5), ("sha256", self.sha256)):
            self.assertRegex(paths["soft_info.package." + element][0], "^[0-9a-f]{%d}$" % len(right))
            self.assertNotEqual(right, paths["soft_info.package." + element][0])
        self.assertEqual(("", {}), paths["soft_info.phase.dir_opt"], "dir_opt without show")
        present = {"soft_info.version": True, "soft_info.lang.zh-cn": True, "soft_info.exec_level": False,
                   "soft_info.name": False, "soft_info.lang.en-us": False, "soft_info.dir.install.read": False,
                   "soft_info.conflict": False, "soft_info.expires": False}
        self.assertEqual(present, {path: path in paths for path in present})
        self.assertEqual(["zh-cn", "zh-tw"], sorted(wrong.lang_paths))
        self.assertIsNone(wrong.expires)
        for code, path in wrong.lang_paths.items():
            self.assertEqual(read(os.path.join(LANG_DIR, code + ".locale")), read(path), "no expiry, no change")

        # Published again over the same version: the dropped language file goes
        # too, and whole branches can be left out.
        first = publish.publish(self.root, "Demo", self.installer, version="1.0", lang_dir=LANG_DIR)
        self.assertTrue(os.path.exists(first.lang_paths["en-us"]))
        again = publish.publish(self.root, "Demo", self.installer, version="1.0", lang_dir=LANG_DIR,
                                omit=["soft_info.package.checksum", "soft_info.package.sha256",
                                      "soft_info.phase", "soft_info.lang"])
        self.assertEqual((None, None, {}), (again.checksum, again.sha256, again.lang_urls))
        self.assertFalse(os.path.exists(first.lang_paths["en-us"]))
        self.assertEqual(["soft_info", "soft_info.dir", "soft_info.dir.install", "soft_info.dir.install.default",
                          "soft_info.exec_level", "soft_info.expires", "soft_info.name", "soft_info.package",
                          "soft_info.package.url", "soft_info.version"], sorted(element_texts(again.info_path)))

    def test_names_that_leave_their_folder_and_half_a_signing_pair_are_refused_with_nothing_written(self):
        calls = [(publish.publish, (name, self.installer), dict(version=version, lang_dir=LANG_DIR))
                 for name, version in (("..", None), ("a/b", None), ("Demo", "../1.0"), ("", None))]
        calls += [(publish.publish_update, (self.installer, version), dict(path=path))
                  for version, path in (("../2.0", publish.UPDATE_PATH), ("2.0", "../%VER%/x.exe"))]
        calls.append((publish.publish, ("Other", self.installer), dict(sign_key=self.key, lang_dir=LANG_DIR)))
        for function, args, options in calls:
            with self.subTest(args=args, options=options), self.assertRaises(ValueError):
                function(self.root, *args, **options)
        self.assertFalse(os.path.exists(self.root))

    def test_command_line_writes_the_same_tree_signed(self):
        result = tool(self.root, "Demo", self.installer, "--version", "3.0", "--conflict", "a.exe",
                      "--conflict", "b.exe", "--extra", "soft_info.conflict.program=c.exe", "--dir-opt-show", "0",
                      "--omit", "soft_info.lang.zh-tw", "--checksum", "ABC", "--default-dir", "C:\\Apps\\Demo",
                      "--span", "64", "--workers", "4", "--expires", "-3", "--sign-key", self.key,
                      "--sign-cert", self.cert)
        self.assertEqual(0, result.returncode, result.stderr)
        info = os.path.join(self.root, "zansetup", "soft", "Demo", "3.0", "soft.info")
        self.assertIn("info url " + BASE + "/zansetup/soft/Demo/3.0/soft.info", result.stdout)
        self.assertIn("pin " + self.pin + "\n", result.stdout)
        self.assertTrue(self.verifies(info, info + ".p7s"))
        rows = element_paths(info)
        self.assertEqual([("soft_info.conflict.process", "a.exe"), ("soft_info.conflict.process", "b.exe"),
                          ("soft_info.conflict.program", "c.exe")],
                         [(p, t) for p, t, _ in rows if p.startswith("soft_info.conflict.")])
        paths = dict((p, (t, a)) for p, t, a in rows)
        self.assertEqual({"show": "0"}, paths["soft_info.phase.dir_opt"][1])
        self.assertEqual("ABC", paths["soft_info.package.checksum"][0])
        self.assertEqual(("64", "4"), (paths["soft_info.package.span"][0], paths["soft_info.package.workers"][0]))
        self.assertEqual("C:\\Apps\\Demo", paths["soft_info.dir.install.default"][0])
        self.assertNotIn("soft_info.lang.zh-tw", paths)
        self.assertAlmostEqual(-3, days_ahead(paths["soft_info.expires"][0]), delta=0.01)
        self.assertIn("expires " + paths["soft_info.expires"][0] + "\n", result.stdout)

    def test_command_lines_the_tool_cannot_serve_are_refused_and_change_nothing(self):
        # A tree with a signed version and one published before there were keys.
        publish.publish(self.root, "Demo", self.installer, version="1.0", lang_dir=LANG_DIR)
        publish.publish(self.root, "Demo", self.installer, version="2.0", lang_dir=LANG_DIR, **self.signing)
        empty = os.path.join(self.tmp.name, "empty")
        os.makedirs(empty)
        product, update = [self.root, "Demo", self.installer], [self.root, "--update", self.installer, "--version", "2"]
        resign = ["--resign", self.root, "--sign-key", self.key, "--sign-cert", self.cert]
        not_in_tree = "publish.py --resign: cannot drop %s: it is not in the tree "
        rows = [(update + [option, value], 2, repr(value)) for option, value in (
            ("--rollout", "100.5"), ("--rollout", "30%"), ("--rollout", "-1"), ("--channel", "Beta"),
            ("--channel", "b" * 33), ("--channel", "../new"), ("--withdraw", "v1.0"))]
        rows += [
            (product + ["--extra", "no-equals-sign"], 2, "--extra wants KEY=TEXT: no-equals-sign"),
            (product + ["--sign-key", self.key], 2, "--sign-key and --sign-cert go together"),
            (update + ["--sign-cert", self.cert], 2, "--sign-key and --sign-cert go together"),
            (resign[:4], 2, "the following arguments are required: --sign-cert"),
            (["--resign", empty] + resign[2:], 2, "no signed documents below " + empty),
            (resign + ["--drop", "../outside"], 1, not_in_tree % "../outside"),
            (resign + ["--drop", "zansetup/soft/Demo/9.9"], 1, not_in_tree % "zansetup/soft/Demo/9.9"),
            (resign + ["--drop", "zansetup/soft/Demo/1.0"], 1,
             "publish.py --resign: cannot drop zansetup/soft/Demo/1.0: it holds no signed document"),
        ]
        before = tree_bytes(self.root)
        for args, code, named in rows:
            with self.subTest(args=args[1:]):
                run = tool(*args)
                self.assertEqual((code, ""), (run.returncode, run.stdout))
                self.assertIn(named, run.stderr)
                self.assertEqual(before, tree_bytes(self.root))

    def test_update_document_names_the_program_by_placeholder_and_digest_in_its_flavours_document(self):
        # A file header that says x86-64, before the same bytes.
        x64 = os.path.join(self.tmp.name, "x64.exe")
        with open(x64, "wb") as f:
            f.write(b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0" + (0x8664).to_bytes(2, "little")
                    + self.package_bytes)
        placeholder = ["--base", BASE + "/", "--path", "update/%VER%/ZanSetup-%VER%.exe"]
        for program, extra, document, placed in (
                (self.installer, placeholder, "new.xml", "update/%VER%/ZanSetup-%VER%.exe"),
                (self.installer, [], "new.xml", "update/%VER%/ZanSetup.exe"),
                (x64, [], "new-x64.xml", "update/%VER%/x64/ZanSetup.exe"),
                (self.installer, ["--flavour", "x64", "--no-expires"], "new-x64.xml",
                 "update/%VER%/x64/ZanSetup.exe")):
            with self.subTest(document=document, extra=extra):
                shutil.rmtree(os.path.join(self.root, "zansetup"), ignore_errors=True)
                result = tool(self.root, "--update", program, "--version", "3.0", *extra)
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertIn("url " + BASE + "/zansetup/" + placed + "\n", result.stdout)
                self.assertEqual(read(program),
                                 read(os.path.join(self.root, "zansetup", *placed.replace("%VER%", "3.0").split("/"))))
                documents = sorted(n for n in os.listdir(os.path.join(self.root, "zansetup")) if n.endswith(".xml"))
                self.assertEqual([document], documents, "one document, the flavour's")
                expected = {"zansetup": "", "zansetup.version": "3.0", "zansetup.url": BASE + "/zansetup/" + placed,
                            "zansetup.checksum": hashlib.md5(read(program)).hexdigest(),
                            "zansetup.sha256": hashlib.sha256(read(program)).hexdigest()}
                printed = dict(line.split(" ", 1) for line in result.stdout.splitlines())
                if "--no-expires" not in extra:
                    expected["zansetup.expires"] = printed["expires"]
                self.assertEqual(expected, element_texts(os.path.join(self.root, "zansetup", document)))

        wrong = publish.publish_update(self.root, self.installer, "2.1", base_url=BASE, wrong_checksum=True)
        self.assertNotEqual(self.md5, wrong.checksum)
        self.assertRegex(wrong.checksum, "^[0-9a-f]{32}$")

    def test_every_document_gets_a_signature_that_breaks_with_one_changed_byte(self):
        for attributes in (True, False):
            with self.subTest(signed_attributes=attributes):
                product = publish.publish(self.root, "Demo", self.installer, version="1.0",
                                          lang_dir=LANG_DIR, signed_attributes=attributes, **self.signing)
                update = publish.publish_update(self.root, self.installer, "2.0",
                                                signed_attributes=attributes, **self.signing)
                signatures = dict(product.signatures, **{update.document_path: update.signature})
                self.assertEqual(sorted([product.info_path, update.document_path] +
                                        list(product.lang_paths.values())), sorted(signatures))
                for document, signature in signatures.items():
                    self.assertEqual(document + ".p7s", signature)
                    self.assertTrue(self.verifies(document, signature), document)
                    self.assertEqual("expires", ET.parse(document).getroot()[0].tag, document)
                    printed = openssl("cms", "-cmsout", "-print", "-inform", "DER", "-in", signature)
                    self.assertEqual(attributes, b"messageDigest" in printed.stdout)
                    data = bytearray(read(document))
                    data[len(data) // 2] ^= 0x01
                    Path(document).write_bytes(data)
                    self.assertFalse(self.verifies(document, signature), document)
                self.assertEqual([], [n for n in os.listdir(product.folder) if n.endswith(".tmp")])

        # Published again without a key: no signature is left that no longer matches.
        plain = publish.publish(self.root, "Demo", self.installer, version="1.0", lang_dir=LANG_DIR)
        self.assertEqual({}, plain.signatures)
        self.assertFalse(os.path.exists(plain.info_path + ".p7s"))
        self.assertIsNone(publish.publish_update(self.root, self.installer, "2.0").signature)

    def resign_tool(self, *args, key=None):
        return tool("--resign", self.root, "--sign-key", key or self.key, "--sign-cert", self.cert, *args)

    def assert_renewed(self, before, documents):
        """Each of `documents` ({path: days ahead}) carries a new expiry time
        where the old one stood (or first, where there was none) and a
        signature that holds; every other byte of the tree is as `before`."""
        after = tree_bytes(self.root)
        self.assertEqual(sorted(before), sorted(after), "no file comes or goes")
        for name, data in after.items():
            path = os.path.join(self.root, name)
            if path in documents:
                expires = re.search(rb"<expires>([^<]*)</expires>", data).group(1).decode()
                self.assertAlmostEqual(documents[path], days_ahead(expires), delta=0.01, msg=name)
                old = re.search(rb"<expires>[^<]*</expires>|<expires/>", before[name])
                element = b"<expires>" + expires.encode() + b"</expires>"
                expected = (before[name].replace(old.group(), element, 1) if old else None)
                self.assertEqual(expected or before[name], data if old else without_expiry(data, expires), name)
                self.assertTrue(self.verifies(path, path + ".p7s"), name)
                self.assertNotEqual(before[name + ".p7s"], after[name + ".p7s"], name)
            elif not name.endswith(".p7s"):
                self.assertEqual(before[name], data, name)

    def test_resign_renews_only_the_expiry_and_the_signatures_of_any_layout_or_leaves_the_tree_whole(self):
        versioned = publish.publish(self.root, "Demo", self.installer, version="1.0", lang_dir=LANG_DIR,
                                    expires_days=-1, **self.signing)
        # Published with no expiry time (as before there was one): it gets one.
        plain = publish.publish(self.root, "Demo", self.installer, lang_dir=LANG_DIR, languages=("en-us",),
                                expires_days=None, **self.signing)
        updates = [publish.publish_update(self.root, self.installer, "2.0", flavour=flavour, expires_days=-1,
                                          **self.signing).document_path for flavour in publish.FLAVOURS]
        # Another tool's layout, and an update document whose expiry time stands, empty, between others.
        languages = foreign_tree.language_files(self.root, self.identity)
        info = foreign_tree.product(self.root, BASE, "Foreign", "1.0", self.installer, self.identity)
        updates.append(os.path.join(self.root, "zansetup", "new-x64-beta.xml"))
        Path(updates[-1]).write_bytes(b"<zansetup><version>2.0</version><expires/><url>u</url></zansetup>")
        foreign_tree.signed_documents.sign_document(updates[-1], self.key, self.cert)
        # Files without a signature beside them are no signed documents.
        unsigned = os.path.join(self.root, "zansetup", "soft", "Unsigned", "soft.info")
        os.makedirs(os.path.dirname(unsigned))
        Path(unsigned).write_bytes(b"<soft_info><name>Unsigned</name></soft_info>")
        before = tree_bytes(self.root)

        # Update documents 7 days ahead, products' 30, unless told.
        documents, dropped = publish.resign(self.root, **self.signing)
        products = ([plain.info_path, plain.lang_paths["en-us"], versioned.info_path, info] +
                    list(versioned.lang_paths.values()) + list(languages.values()))
        self.assertEqual(sorted(products + updates), sorted(path for path, _ in documents))
        self.assertEqual([], dropped)
        self.assert_renewed(before, dict([(p, 30) for p in products] + [(p, 7) for p in updates]))

        run = self.resign_tool("--expires", "3")
        self.assertEqual(0, run.returncode, run.stderr)
        expires = ET.parse(updates[0]).getroot()[0].text
        self.assertAlmostEqual(3, days_ahead(expires), delta=0.01)
        self.assertEqual(["signed %s until %s" % (path, expires) for path, _ in documents] + ["pin " + self.pin],
                         run.stdout.splitlines())

        # Stamped or signed, one document that cannot be is named in one line, and the tree stays as it was.
        other_key = os.path.join(self.tmp.name, "other.key")
        made = openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", other_key)
        self.assertEqual(0, made.returncode, made.stderr)
        rows = (("two expiries", b"<soft_info><expires>x</expires><name>Odd</name><expires>y</expires></soft_info>",
                 None, "cannot stamp {odd}: its root <soft_info> has 2 expires elements"),
                ("no XML", b"<soft_info><name>Odd</soft_info>", None, "cannot stamp {odd}: it is no well-formed XML ("),
                ("another key", None, other_key, "cannot sign " + documents[0][0] + ": openssl cms failed: key values "
                 "mismatch; private key does not match certificate; "))
        odd = os.path.join(self.root, "zansetup", "soft", "Odd", "soft.info")
        for name, content, key, line in rows:
            with self.subTest(name):
                shutil.rmtree(os.path.dirname(odd), ignore_errors=True)
                if content:
                    os.makedirs(os.path.dirname(odd))
                    Path(odd).write_bytes(content)
                    foreign_tree.signed_documents.sign_document(odd, self.key, self.cert)
                before = tree_bytes(self.root)
                run = self.resign_tool(key=key)
                self.assertEqual((1, ""), (run.returncode, run.stdout))
                self.assertEqual(1, len(run.stderr.splitlines()), run.stderr)
                self.assertTrue(run.stderr.startswith("publish.py --resign: " + line.format(odd=odd)), run.stderr)
                self.assertTrue(run.stderr.endswith("; the tree is left as it was\n"), run.stderr)
                self.assertEqual(before, tree_bytes(self.root))

    def test_drop_takes_a_versions_documents_out_and_keeps_what_others_name(self):
        old = publish.publish(self.root, "Demo", self.installer, version="1.0", lang_dir=LANG_DIR, **self.signing)
        kept = publish.publish(self.root, "Demo", self.installer, version="2.0", lang_dir=LANG_DIR, **self.signing)
        shared = foreign_tree.language_files(self.root, self.identity)
        foreign = [foreign_tree.product(self.root, BASE, "Foreign", version, self.installer, self.identity)
                   for version in ("1.0", "2.0")]

        run = self.resign_tool("--drop", os.path.join("zansetup", "soft", "Demo", "1.0"),
                               "--drop", os.path.relpath(foreign[0], self.root))
        self.assertEqual(0, run.returncode, run.stderr)
        gone = sorted([old.info_path, foreign[0]] + list(old.lang_paths.values()))
        self.assertEqual(["dropped " + p for p in gone],
                         [line for line in run.stdout.splitlines() if line.startswith("dropped")])
        for path in gone:
            self.assertFalse(os.path.exists(path) or os.path.exists(path + ".p7s"), path)
        # The package stays, and so does what a kept version still names.
        self.assertTrue(os.path.exists(old.package_path))
        for path in [kept.info_path, foreign[1]] + list(kept.lang_paths.values()) + list(shared.values()):
            self.assertTrue(self.verifies(path, path + ".p7s"), path)

        # The last version that names the shared language files takes them along.
        run = self.resign_tool("--drop", os.path.dirname(foreign[1]))
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertEqual(sorted([foreign[1]] + list(shared.values())),
                         [l[len("dropped "):] for l in run.stdout.splitlines() if l.startswith("dropped ")])

    def test_rollout_channel_and_withdrawals_go_into_the_signed_update_document(self):
        run = tool(self.root, "--update", self.installer, "--version", "2.0", "--sign-key", self.key,
                   "--sign-cert", self.cert, "--rollout", "30", "--channel", "beta", "--withdraw", "1.0",
                   "--withdraw", "1.1")
        self.assertEqual(0, run.returncode, run.stderr)
        document = os.path.join(self.root, "zansetup", "new-beta.xml")
        self.assertIn("document " + document + "\n", run.stdout)
        self.assertEqual(["new-beta.xml", "new-beta.xml.p7s"],
                         sorted(n for n in os.listdir(os.path.join(self.root, "zansetup")) if "xml" in n))
        rows = [(p, t) for p, t, _ in element_paths(document)]
        self.assertAlmostEqual(7, days_ahead(rows[1][1]), delta=0.01)
        self.assertEqual([("zansetup.expires", rows[1][1]), ("zansetup.version", "2.0")], rows[1:3])
        self.assertEqual([("zansetup.rollout", "30"), ("zansetup.withdrawn", ""), ("zansetup.withdrawn.version", "1.0"),
                          ("zansetup.withdrawn.version", "1.1")], rows[-4:])
        self.assertTrue(self.verifies(document, document + ".p7s"))
        self.assertIn("pin " + self.pin + "\n", run.stdout)
        self.assertEqual("new-x64-beta.xml", publish.update_document_name("x64", "beta"))

    def test_pin_is_the_sha256_of_the_certificate_s_public_key(self):
        shell = subprocess.run(
            ["bash", "-c", 'openssl x509 -in "$0" -pubkey -noout | openssl pkey -pubin -outform DER'
             ' | sha256sum', self.cert], stdout=subprocess.PIPE, universal_newlines=True, timeout=60)
        pin = shell.stdout.split()[0]
        self.assertRegex(pin, "^[0-9a-f]{64}$")
        self.assertEqual(pin, publish.publisher_pin(self.cert))
        run = tool("--pin", self.cert)
        self.assertEqual((0, pin + "\n"), (run.returncode, run.stdout))
