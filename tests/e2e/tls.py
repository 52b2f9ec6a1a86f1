"""The test certificate authority: certificates for the servers of the tests and the demo, made with openssl
into BUILD_DIR/tls and trusted only inside the build's own Wine prefixes (testenv.py adds the CA to a prefix's
local machine "Root" store), never in the machine's own trust store. Each kind of server certificate
(_SERVERS) has its key."""
import fcntl
import os
import shutil
import subprocess
import time
from pathlib import Path

# Certificates name a host, never an address (Wine matches no IP name): https goes to this one.
HOST = "localhost"

_CONFIG = """\
[ req ]
distinguished_name = subject
[ subject ]
[ ca ]
default_ca = issuer
[ issuer ]
database = {folder}/index.txt
new_certs_dir = {folder}/issued
serial = {folder}/serial
default_md = sha256
policy = anything
unique_subject = no
[ anything ]
commonName = supplied
[ authority ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ server ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:${{ENV::ZAN_NAME}}
"""

# kind: (issuer, host name, validity); the rogue CA is one that nobody trusts.
_SERVERS = {
    "trusted": ("ca", HOST, None),
    "wrong-name": ("ca", "wrong-name.invalid", None),
    "expired": ("ca", HOST, ("200101000000Z", "201231000000Z")),
    "untrusted": ("rogue-ca", HOST, None),
}
KINDS = tuple(_SERVERS)


def folder(build):
    return os.path.join(os.path.abspath(build), "tls")


def ca_pem(build):
    """The test CA's certificate in PEM, for tools on this side (curl)."""
    return os.path.join(folder(build), "ca.pem")


def ca_der(build):
    """The test CA's certificate in DER, as the prefix's store takes it."""
    return os.path.join(folder(build), "ca.der")


def certificate(build, kind="trusted"):
    """(certificate file, key file) of a server certificate of `kind`."""
    if kind not in KINDS:
        raise ValueError("no certificate kind %r" % kind)
    base = os.path.join(folder(build), kind)
    return base + ".pem", base + ".key"


def _openssl(*args, name=HOST):
    # The configuration names the server's host through the environment.
    result = subprocess.run(["openssl"] + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env=dict(os.environ, ZAN_NAME=name), text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], result.stderr.strip()))


def _authority(where, name, subject):
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", os.path.join(where, name + ".key"),
             "-out", os.path.join(where, name + ".pem"), "-days", "3650", "-subj", "/CN=" + subject,
             "-config", os.path.join(where, "openssl.cnf"), "-extensions", "authority")


def _server(where, kind):
    issuer, host, dates = _SERVERS[kind]
    key, request = os.path.join(where, kind + ".key"), os.path.join(where, kind + ".csr")
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
             "-subj", "/CN=" + host)
    # A day's margin before now, so clocks a little apart still agree.
    dates = dates or tuple(time.strftime("%y%m%d%H%M%SZ", time.gmtime(time.time() + days * 86400))
                           for days in (-1, 800))
    _openssl("ca", "-batch", "-notext", "-config", os.path.join(where, "openssl.cnf"),
             "-extensions", "server", "-cert", os.path.join(where, issuer + ".pem"),
             "-keyfile", os.path.join(where, issuer + ".key"), "-in", request,
             "-out", os.path.join(where, kind + ".pem"), "-startdate", dates[0], "-enddate", dates[1], name=host)
    os.remove(request)


def ensure(build):
    """Makes the authorities and every server certificate once per build folder (fixtures take turns)."""
    os.makedirs(os.path.abspath(build), exist_ok=True)
    with open(os.path.join(os.path.abspath(build), "tls.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        where = folder(build)
        if not os.path.exists(os.path.join(where, "complete")):
            _make(build, where)
    return where


def _make(build, where):
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(os.path.join(where, "issued"))
    Path(where, "openssl.cnf").write_text(_CONFIG.format(folder=where))
    Path(where, "index.txt").write_text("")
    Path(where, "serial").write_text("1000\n")
    _authority(where, "ca", "ZanSetup Test CA")
    _authority(where, "rogue-ca", "Nobody's CA")
    for kind in KINDS:
        _server(where, kind)
    _openssl("x509", "-in", os.path.join(where, "ca.pem"), "-outform", "DER", "-out", ca_der(build))
    # nginx runs as nobody and must read the test keys; they guard nothing.
    os.chmod(where, 0o755)
    for name in os.listdir(where):
        path = os.path.join(where, name)
        if os.path.isfile(path):
            os.chmod(path, 0o644)
    open(os.path.join(where, "complete"), "w").close()
