"""What decides what runs comes over https whose certificate was checked,
never falls back to plain http, and is bounded; the package must match every
digest its document publishes. The download server is nginx over TLS with
certificates of the test CA (tls.py), trusted in the test prefix only."""
import hashlib
import os
import shutil
import unittest

import servers
from harness import (FAULT_PORT, SECOND_PORT, E2ETestCase, ProductServer, Sandbox, Wine,
                     set_document_text, wait_exit)

INFO_ERROR = "language.downloadinfoerror"
PACKAGE_ERROR = "language.downloadprodcueerror"
INSTALL_ERROR = "language.installprodcueerror"


class Https(E2ETestCase):
    @staticmethod
    def package(box, name):
        return os.path.join(box.download_dir(), name, "install.exe")

    def test_the_document_server_needs_a_trusted_certificate_for_its_name(self):
        rows = [("trusted", None),
                ("untrusted", "the server's certificate is not trusted, error 12057"),
                ("wrong-name", "the server's certificate is for another host name, error 12038"),
                ("expired", "the server's certificate has expired or is not yet valid, error 12037")]
        for kind, refusal in rows:
            with self.subTest(kind):
                box = Sandbox("https-document-" + kind)
                name = "Cert-" + kind
                with ProductServer(box, certificate=kind) as server:
                    published = server.publish(name, version="1.0", dir_opt_show=0)
                    lines = self.run_setup(box, name, INFO_ERROR if refusal else None)
                    requests = server.access_log()
                if not refusal:
                    self.assertTrue([e for e in requests if "DemoSetup" in e.request])
                    continue
                self.assertIn("%s, url: %s" % (refusal, published.info_url), lines)
                self.assertIn("Download soft.xml failed, url: %s, error code: 200" % published.info_url, lines)
                self.assertFalse([e for e in requests if "DemoSetup" in e.request])
                self.assertFalse(os.path.exists(self.package(box, name)))

    def test_the_package_comes_over_checked_https_or_not_at_all(self):
        redirect = "location = /downgrade.exe { return 302 http://127.0.0.1:%d/big/300000; }" % FAULT_PORT
        box = Sandbox("https-package")
        elsewhere = servers.Nginx(os.path.join(box.root, "server"), SECOND_PORT, tls="untrusted")
        with servers.FaultServer(FAULT_PORT) as fault, ProductServer(box, locations=redirect) as server, \
                elsewhere:
            untrusted = "%s/zansetup/soft/Untrusted/1.0/DemoSetup.exe" % elsewhere.base_url
            downgrade = server.base_url + "/downgrade.exe"
            too_large = fault.base_url + "/range-total/300000/6000000000"
            rows = [("Untrusted", untrusted, "the server's certificate is not trusted, error 12057, url: " +
                     untrusted),
                    ("Downgrade", downgrade, "refused a redirect from https to plain http, url: %s, to: %s" %
                     (downgrade, fault.base_url + "/big/300000")),
                    ("TooLarge", too_large,
                     "the file to download is larger than the download can take: 6000000000 bytes")]
            for name, url, refusal in rows:
                with self.subTest(name):
                    published = server.publish(name, version="1.0", dir_opt_show=0)
                    set_document_text(published.info_path, "package/url", url)
                    lines = self.run_setup(box, name, PACKAGE_ERROR)
                    self.assertIn(refusal, lines)
                    package = self.package(box, name)
                    self.assertIn("DownloadFile failed, URL:%s, path:%s" % (url, box.windows_download_dir(name) +
                                                                           "install.exe"), lines)
                    self.assertFalse(os.path.exists(package))
                    # At most the probe's ten bytes: nothing was sized for 6 GB.
                    self.assertLessEqual(os.path.getsize(package + ".tmp") if os.path.exists(package + ".tmp")
                                         else 0, 10)

    def test_documents_are_bounded_and_the_language_file_named_by_its_code(self):
        box = Sandbox("https-documents")
        with ProductServer(box) as server:
            # A valid document of 3 MB: refused while it arrives.
            large = server.publish("Large", version="1.0", dir_opt_show=0)
            with open(large.info_path, encoding="utf-8") as f:
                text = f.read()
            with open(large.info_path, "w", encoding="utf-8") as f:
                f.write(text.replace("</soft_info>", "<padding>%s</padding></soft_info>" % ("x" * 3000000)))
            lines = self.run_setup(box, "Large", INFO_ERROR)
            self.assertIn("refused an answer larger than 1048576 bytes, url: " + large.info_url, lines)
            self.assertIn("Download soft.xml failed, url: %s, error code: 200" % large.info_url, lines)

            # A language address that ends in a DLL's name stores the file under the code.
            named = server.publish("Named", version="1.0", dir_opt_show=0)
            dll = os.path.join(os.path.dirname(named.lang_paths["en-us"]), "version.dll")
            shutil.copyfile(named.lang_paths["en-us"], dll)
            set_document_text(named.info_path, "lang/en-us", named.lang_urls["en-us"].replace("en-us.locale",
                                                                                             "version.dll"))
            self.run_setup(box, "Named")
            folder = os.path.join(box.download_dir(), "Named")
            self.assertEqual(["en-us.locale", "install.exe"], sorted(os.listdir(folder)))
            with open(dll, "rb") as served, open(os.path.join(folder, "en-us.locale"), "rb") as stored:
                self.assertEqual(served.read(), stored.read())

    def test_a_package_whose_md5_or_sha256_differs_is_never_run(self):
        # The SHA-256 must match even when the MD5 does.
        box = Sandbox("https-digests")
        with ProductServer(box) as server:
            for name, wrong, kind in (("Md5", "wrong_checksum", "md5"), ("Sha", "wrong_sha256", "sha256")):
                box.reset_log()
                published = server.publish(name, version="1.0", dir_opt_show=0, **{wrong: True})
                lines = self.run_setup(box, name, INSTALL_ERROR)
                with open(published.package_path, "rb") as f:
                    real = hashlib.new(kind, f.read()).hexdigest()
                expected = published.checksum if kind == "md5" else published.sha256
                self.assertIn("compare %s failed, expected: %s, real: %s" % (kind, expected, real), lines)
                self.assertIn("check md5 failed", lines)
                self.assertFalse([l for l in lines if l.startswith("begin install:")])

            # The package on disk matches its MD5 alone: it is fetched again,
            # and refused again, never run.
            box.reset_log()
            lines = self.run_setup(box, "Sha", INSTALL_ERROR)
            self.assertIn("Produce isnot exist, download", lines)
            self.assertFalse([l for l in lines if l.startswith("begin install:")])


class PlainHttp(E2ETestCase):
    """A build for a plain-http server still works; it protects nothing."""

    def test_a_plain_http_base_installs(self):
        box = Sandbox("http-base", variant="http")
        base = "http://127.0.0.1:%d" % SECOND_PORT
        with ProductServer(box, base=base) as server:
            server.publish("Plain", version="1.0", dir_opt_show=0)
            process = self.start(Wine("en-us"), '"%s" App=Plain Ver=1.0' % box.program)
            self.assertEqual(2, wait_exit(process, timeout=120))
        lines = box.log_lines()
        self.assertIn("the Produce url:%s/zansetup/soft/Plain/1.0/soft.info" % base, lines)
        self.assertIn("end install", lines)


if __name__ == "__main__":
    unittest.main()
