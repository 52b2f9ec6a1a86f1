"""Debian's squid as a proxy that asks for Basic credentials, on loopback, for the tests: its
configuration, password file (made by htpasswd) and logs live in a folder of the build, it runs
unprivileged and ends by itself."""
import os
import subprocess

import servers
from pathlib import Path

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


class Squid(servers.ServerProcess):
    """squid on 127.0.0.1:`port` asking for the Basic credentials {name: password} of `users`, in `folder`."""

    start_timeout = 30

    def __init__(self, folder, port, users, time_limit=servers.TIME_LIMIT):
        super().__init__(folder, [port], time_limit)
        self.port = int(port)
        self.users = dict(users)

    def configure(self):
        passwords = os.path.join(self.folder, "passwords")
        for i, (name, password) in enumerate(sorted(self.users.items())):
            # -i: the password on standard input, never on a command line.
            subprocess.run(["htpasswd", "-i", "-B"] + ([] if i else ["-c"]) + [passwords, name],
                           input=password.encode("utf-8"), check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        config = os.path.join(self.folder, "squid.conf")
        Path(config).write_text(CONFIG.format(host=servers.HOST, port=self.port, folder=self.folder))
        return ["squid", "-N", "-f", config], os.path.join(self.folder, "cache.log")

    def access_log(self):
        """(status, user, url) of each request squid answered, oldest first."""
        path = Path(self.folder, "access.log")
        rows = [line.split() for line in path.read_text(errors="replace").splitlines()] if path.exists() else []
        return [(fields[3].split("/")[-1], fields[7], fields[6]) for fields in rows if len(fields) >= 8]
