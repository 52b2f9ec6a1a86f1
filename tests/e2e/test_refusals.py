"""What the setup program refuses, as one table: the server's certificate (of the test CA, trusted in the test
prefix only) and redirects, bounded documents, install information that fails, the package's digests, and in a
pinned build every document the publisher's key did not sign for this run. Each row is one run: the box it
ends at, the lines it logs, and what it must not have fetched, stored or run; rows are grouped by build and
server."""
import hashlib
import os
import shutil
import subprocess
import sys

import foreign_tree
import servers
import signing
from pathlib import Path
from harness import (BUILD, DEMO_PRODUCT, DEVELOPMENT_LINE, FAULT_PORT, IDOK, SECOND_PORT, SOURCE, E2ETestCase,
                     ProductServer, ProtectedLog, Sandbox, Wine, read_locale_text, read_log_lines, set_document_text,
                     wait_exit, windows_path)

CAPTION = read_locale_text("en-us", "language.caption")
INFO = (CAPTION, read_locale_text("en-us", "language.downloadinfoerror"))
PACKAGE = (CAPTION, read_locale_text("en-us", "language.downloadprodcueerror"))
INSTALL = (CAPTION, read_locale_text("en-us", "language.installprodcueerror"))
# The elevated run's own refusal, in no language file.
NOT_ELEVATED = ("ZanSetup", "ZanSetup does not run with administrator rights from this folder, and its protected "
                "copy could not be started. Start ZanSetup again without administrator rights; it asks for them "
                "when a product needs them.")
PUBLISHER = signing.test_publisher(BUILD)
SIGNED = {"sign_key": PUBLISHER.key, "sign_cert": PUBLISHER.cert}
PAST = "2001-01-01T00:00:00Z"
INFO_FAILED = "Download soft.xml failed, url: {info}, error code: {code}"


def row(name, make, box, lines, version="1.0", fetched=None, rights=None, code=2, product=None, then=None):
    """`make(server, product)` publishes and returns the values `lines` name ({info}, {lang}, ...); `product`:
    the name's words before a comma; `fetched`: whether the package was asked for (None: not checked);
    `rights`: the run's, its log then the protected one; `then(lines, requests, folder)`: the row's own
    checks."""
    return dict(locals(), fetched=False if box is INFO else fetched,
                product=product or name.split(",")[0].replace(" ", ""))


def published_values(published, **more):
    return dict({"info": published.info_url, "lang": published.lang_urls.get("en-us"), "code": 200}, **more)


def published_with(change=None, identity=None, version="1.0", **options):
    """A row's `make`: the product published with `options`, signed by `identity` if given, then
    `change(server, published)`, whose values the row's lines may name too."""
    def make(server, name):
        signed = {"sign_key": identity.key, "sign_cert": identity.cert} if identity else {}
        published = server.publish(name, version=version, dir_opt_show=0, **signed, **options)
        return published_values(published, **((change(server, published) if change else None) or {}))
    return make


class RefusalCase(E2ETestCase):
    def refuse(self, box, server, case):
        """Runs one row and checks what every refusal must show."""
        box.reset_log()
        name = case["product"]
        values = case["make"](server, name) if case["make"] else {}
        log = ProtectedLog() if case["rights"] else None
        before = len(server.access_log())
        wine = Wine("en-us")
        process = self.start(wine, '"%s" App=%s Ver=%s' % (box.program, name, case["version"]), case["rights"])
        answer = wine.find_message(*case["box"], timeout_ms=60000)
        self.assertIsNotNone(answer, "no box %r; log: %r" % (case["box"][1], log.lines() if log else box.log_lines()))
        wine.click(answer, IDOK)
        self.assertEqual(case["code"], wait_exit(process, timeout=120))
        lines = log.lines() if log else box.log_lines()
        for line in case["lines"]:
            self.assertIn(line.format(**values), lines)
        self.assertFalse([line for line in lines if line.startswith("begin install:") or line == "end install"])
        requests = server.access_log()[before:]
        folder = os.path.join(box.download_dir(), name)
        if case["fetched"] is not None:
            packages = [e.request for e in requests if "DemoSetup" in e.request or "evil" in e.request]
            self.assertEqual(case["fetched"], bool(packages), packages)
        if case["box"] is INFO:
            self.assertFalse(os.path.isfile(os.path.join(folder, "en-us.locale")), "a language file was stored")
        if case["box"] is PACKAGE:
            self.assertFalse(os.path.exists(os.path.join(folder, "install.exe")))
            self.assertIn("DownloadFile failed, URL:%s, path:%sinstall.exe" % (
                values["package"], box.windows_download_dir(name)), lines)
        if case["then"]:
            case["then"](lines, requests, folder)
        kind = {INFO: "info", PACKAGE: "package", INSTALL: "install"}.get(case["box"], "elevated")
        sys.stderr.write("\n%-36s %-8s %s" % (case["name"], kind, (case["lines"] or [""])[0].format(**values)))

    def check_table(self, box, server, rows):
        for case in rows:
            with self.subTest(case["name"]):
                self.refuse(box, server, case)
        sys.stderr.write("\n")


class Unpinned(RefusalCase):
    def test_information_packages_and_digests_that_fail_are_refused_before_anything_runs(self):
        box = Sandbox("refusals")
        redirect = "location = /downgrade.exe { return 302 http://127.0.0.1:%d/big/300000; }" % FAULT_PORT
        elsewhere = servers.Nginx(os.path.join(box.root, "server"), SECOND_PORT, tls="untrusted")
        with servers.FaultServer(FAULT_PORT) as fault, ProductServer(box, locations=redirect) as server, \
                elsewhere:
            def no_document(server, name):
                return {"info": "%s/zansetup/soft/%s/1.0/soft.info" % (server.base_url, name), "code": 404}

            def language_unstored(server, published):
                # Fetched whole, but a folder takes its place in the download folder.
                os.makedirs(os.path.join(box.download_dir(), "Languageunstored", "en-us.locale", "inside"))

            def probe_only(lines, requests, folder):
                # At most the probe's ten bytes: nothing was sized for 6 GB.
                tmp = os.path.join(folder, "install.exe.tmp")
                self.assertLessEqual(os.path.getsize(tmp) if os.path.exists(tmp) else 0, 10)

            def asked_once(lines, requests, folder):
                # A 404 is an answer, not a fault.
                self.assertEqual(1, len([e for e in requests if "/nothing/DemoSetup.exe" in e.request]))
                self.assertFalse([line for line in lines if line.startswith("trying again in ")], lines)

            def large_document(server, published):
                # A valid document of 3 MB: refused while it arrives.
                text = Path(published.info_path).read_text(encoding="utf-8")
                with open(published.info_path, "w", encoding="utf-8") as f:
                    f.write(text.replace("</soft_info>", "<padding>%s</padding></soft_info>" % ("x" * 3000000)))

            def package_at(url):
                def change(server, published):
                    set_document_text(published.info_path, "package/url", url)
                    return {"package": url, "fault": fault.base_url}
                return published_with(change)

            def wrong(digest):
                def change(server, published):
                    with open(published.package_path, "rb") as f:
                        real = hashlib.new(digest.replace("checksum", "md5"), f.read()).hexdigest()
                    return {"md5": published.checksum, "sha256": published.sha256, "real": real}
                return published_with(change, **{"wrong_" + digest: True})

            untrusted = "%s/zansetup/soft/Untrusted/1.0/DemoSetup.exe" % elsewhere.base_url
            rows = [
                row("No document", no_document, INFO, [INFO_FAILED]),
                row("No language, for the user", published_with(omit=["soft_info.lang.en-us"]), INFO,
                    ["Download language url: ", "Download language failed, url: , error code: 200"]),
                row("Language 404", published_with(lambda server, published: os.remove(published.lang_paths["en-us"])),
                    INFO, ["Download language failed, url: {lang}, error code: 404"]),
                row("Language unstored", published_with(language_unstored), INFO,
                    ["Download language failed, url: {lang}, error code: 200"],
                    then=lambda lines, requests, folder: self.assertTrue(os.path.isdir(folder + "/en-us.locale"))),
                row("Large, soft.info of 3 MB", published_with(large_document), INFO,
                    ["refused an answer larger than 1048576 bytes, url: {info}", INFO_FAILED]),
                row("Untrusted package server", package_at(untrusted), PACKAGE,
                    ["the server's certificate is not trusted, error 12057, url: {package}"]),
                row("Downgrade, https to http", package_at(server.base_url + "/downgrade.exe"), PACKAGE,
                    ["refused a redirect from https to plain http, url: {package}, to: {fault}/big/300000"]),
                row("TooLarge, 6 GB package", package_at(fault.base_url + "/range-total/300000/6000000000"),
                    PACKAGE, ["the file to download is larger than the download can take: 6000000000 bytes"],
                    then=probe_only),
                row("Missing package, 404", package_at(server.base_url + "/zansetup/nothing/DemoSetup.exe"),
                    PACKAGE, [], then=asked_once),
                # The SHA-256 must match even when the MD5 does.
                row("Md5 wrong", wrong("checksum"), INSTALL, fetched=True,
                    lines=["compare md5 failed, expected: {md5}, real: {real}", "check md5 failed"]),
                row("Sha wrong", wrong("sha256"), INSTALL, fetched=True,
                    lines=["compare sha256 failed, expected: {sha256}, real: {real}", "check md5 failed"]),
                # The package on disk matches its MD5 alone: fetched again, refused again.
                row("Sha again, kept on disk", None, INSTALL, fetched=True, product="Shawrong",
                    lines=["Produce isnot exist, download", "check md5 failed"]),
            ]
            self.check_table(box, server, rows)

    def test_the_document_server_needs_a_trusted_certificate_for_its_name(self):
        box = Sandbox("refusals-certificates")
        rows = [row(kind, published_with(), INFO, [refusal + ", url: {info}", INFO_FAILED]) for kind, refusal in (
            ("untrusted", "the server's certificate is not trusted, error 12057"),
            ("wrong-name", "the server's certificate is for another host name, error 12038"),
            ("expired", "the server's certificate has expired or is not yet valid, error 12037"))]
        for case in rows:
            with self.subTest(case["name"]), ProductServer(box, certificate=case["name"]) as server:
                self.refuse(box, server, case)
        sys.stderr.write("\n")


class Pinned(RefusalCase):
    def test_what_the_key_did_not_sign_for_this_run_is_refused_before_the_package(self):
        box = Sandbox("refusals-pinned", variant="pinned")
        stranger = signing.Identity(os.path.join(box.root, "keys"), "Another publisher")

        def signed(change=None, identity=PUBLISHER, **options):
            return published_with(change, identity, **options)

        def changed(server, published):
            set_document_text(published.info_path, "package/url", server.base_url + "/evil.exe")

        def documents_of(name, version="1.0"):
            """Puts the signed soft.info of `name` `version` in place of the published one."""
            def change(server, published):
                other = server.publish(name, version=version, dir_opt_show=0, **SIGNED)
                for document in ("soft.info", "soft.info.p7s"):
                    shutil.copyfile(os.path.join(other.folder, document), os.path.join(published.folder, document))
            return change

        def language_changed(server, published):
            with open(published.lang_paths["en-us"], "ab") as f:
                f.write(b"<!-- -->")

        not_for_this_run = "the document {info} is not for this product and version"
        rows = [
            row("Changed", signed(changed), INFO, ["the signature of {info} is not valid"]),
            row("Missing", signed(lambda server, published: os.remove(published.signatures[published.info_path])),
                INFO, ["the signature of {info} is missing"]),
            row("Stranger", signed(identity=stranger), INFO, ["the signature of {info} is not by our publisher"]),
            row("Victim, of another product", signed(documents_of("Other")), INFO, [not_for_this_run]),
            row("Replay, of another version", signed(documents_of("Replay"), version="2.0"), INFO, [not_for_this_run],
                version="2.0"),
            row("Language, changed", signed(language_changed), INFO, ["the signature of {lang} is not valid"]),
            row("Expired", signed(expires_at=PAST), INFO, ["the document {info} expired on " + PAST]),
            row("OldLanguage, expired", signed(lambda server, published: signing.sign_document_expiring(
                published.lang_paths["en-us"], PAST, PUBLISHER)), INFO, ["the document {lang} expired on " + PAST]),
            row("Timeless", signed(expires_days=None), INFO, ["the document {info} gives no expiry time"]),
            row("BadTime", signed(expires_at="2027-01-31"), INFO,
                ["the document {info} gives an unreadable expiry time: 2027-01-31"]),
            row("NoSha", signed(omit=["soft_info.package.sha256"]), INSTALL, fetched=False,
                lines=["the install information gives no sha256 for the package"]),
            # Started with the rights, its protected copy must carry the
            # publisher's signature, which this build's program lacks.
            row("Elevated, copy unsigned", None, NOT_ELEVATED, rights="--elevated", code=0, fetched=False,
                lines=["the setup program does not run with administrator rights from %s\\: its protected copy "
                       "did not run" % windows_path(box.program_dir)]),
        ]
        with ProductServer(box) as server:
            # A tree another tool laid out, its signatures expired, installs
            # once publish.py --resign has signed it anew.
            foreign_tree.language_files(server.root, PUBLISHER)
            foreign_tree.product(server.root, server.base_url, "Foreign", "1.0",
                                 os.path.join(DEMO_PRODUCT, "DemoSetup.exe"), PUBLISHER)
            run = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "publish.py"), "--resign",
                                  server.root, "--sign-key", PUBLISHER.key, "--sign-cert", PUBLISHER.cert],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
            self.assertEqual(0, run.returncode, run.stdout)
            lines = self.run_setup(box, "Foreign")
            requests = [e.request for e in server.access_log()]
            for document in ("/zansetup/soft/Foreign/1.0/soft.info.p7s", "/languages/shared/en-us.locale.p7s"):
                self.assertTrue([r for r in requests if document in r], (document, requests))
            self.assertFalse([line for line in lines if line.startswith(("the signature of", "the document"))])
            self.assertNotIn(DEVELOPMENT_LINE, read_log_lines(box.log_path, with_development_line=True))
            self.check_table(box, server, rows)
        self.assertFalse(os.path.exists(box.download_dir() + "/Elevated"))
