"""Debian's squid as a proxy that asks for Basic credentials, on loopback,
for the tests: its configuration, password file (made by htpasswd) and logs
live in a folder of the build, it runs unprivileged and ends by itself.

    with Squid(folder, port, users={"alice": "secret"}) as proxy:
        proxy.address             # "127.0.0.1:PORT"
        proxy.access_log()        # [(status, user, url)], oldest first
"""
import os
import shutil
import subprocess

import servers

CONFIG = """\
http_port {host}:{port}
pid_filename {folder}/squid.pid
cache_log {folder}/cache.log
access_log stdio:{folder}/access.log squid
logfile_rotate 0
coredump_dir {folder}
cache deny all
cache_mem 8 MB
pinger_enable off
netdb_filename none
shutdown_lifetime 0 seconds
dns_v4_first on
auth_param basic program /usr/lib/squid/basic_ncsa_auth {folder}/passwords
auth_param basic realm ZanSetup test proxy
auth_param basic children 2
acl loopback_dst dst 127.0.0.1
acl authenticated proxy_auth REQUIRED
# Only the tests' own servers may be reached through it.
http_access deny !loopback_dst
http_access allow authenticated
http_access deny all
"""


class Squid:
    """squid on `host`:`port` asking for Basic credentials of `users`
    (name: password), configured and logging in `folder`, which stop()
    removes."""

    def __init__(self, folder, port, users, host=servers.HOST, time_limit=servers.TIME_LIMIT):
        self.folder = os.path.abspath(folder)
        self.port = int(port)
        self.host = host
        self.users = dict(users)
        self.time_limit = time_limit
        self.process = None

    @property
    def address(self):
        return "%s:%d" % (self.host, self.port)

    def _write_passwords(self):
        path = os.path.join(self.folder, "passwords")
        for i, (name, password) in enumerate(sorted(self.users.items())):
            # -i: the password on standard input, never on a command line.
            subprocess.run(["htpasswd", "-i", "-B"] + ([] if i else ["-c"]) + [path, name],
                           input=password.encode("utf-8"), check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def start(self):
        if servers._port_open(self.port):
            raise RuntimeError("port %d is already in use" % self.port)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self._write_passwords()
        config = os.path.join(self.folder, "squid.conf")
        with open(config, "w") as f:
            f.write(CONFIG.format(host=self.host, port=self.port, folder=self.folder))
        privileges = servers._unprivileged()
        if privileges:
            os.chmod(self.folder, 0o755)
            for name in os.listdir(self.folder) + [""]:
                os.chown(os.path.join(self.folder, name), privileges["user"], privileges["group"])
        self.process = subprocess.Popen(
            ["timeout", str(self.time_limit), "squid", "-N", "-f", config],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, **privileges)
        servers._wait_listening(self.port, self.process, "squid", os.path.join(self.folder, "cache.log"), timeout=30)
        return self

    def stop(self):
        if self.process is not None:
            servers._kill_group(self.process.pid)
            self.process.wait()
            self.process = None
        shutil.rmtree(self.folder, ignore_errors=True)

    def access_log(self):
        """(status, user, url) of each request squid answered, oldest first."""
        path = os.path.join(self.folder, "access.log")
        entries = []
        if not os.path.exists(path):
            return entries
        with open(path, errors="replace") as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 8:
                    entries.append((fields[3].split("/")[-1], fields[7], fields[6]))
        return entries

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
