"""One zsdriver for a whole test module ("zsdriver serve"), per Wine prefix: the harness's finds, clicks
and texts go to it over a pipe, and it starts programs on the limited token itself, instead of a Wine
process (or two) for each. The protocol is in tests/e2e/driver/driver_server.cpp."""
import atexit
import itertools
import queue
import subprocess
import threading


def escape_field(text):
    """A request field: backslash, tabs, line ends and non-ASCII as \\uXXXX, one a UTF-16 unit."""
    data = text.encode("utf-16-le")
    units = (chr(data[i] | data[i + 1] << 8) for i in range(0, len(data), 2))
    return "".join(u if " " <= u < "\x7f" and u != "\\" else "\\u%04x" % ord(u) for u in units)


class DriverServer:
    def __init__(self, command, env):
        self.env = dict(env)
        self.process = subprocess.Popen(command + ["serve"], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._requests = threading.Lock()
        self._answers = queue.Queue()
        self._ended = {}
        self._changed = threading.Condition()
        self._alive = True
        self._tags = itertools.count(1)
        threading.Thread(target=self._read, daemon=True).start()

    @property
    def alive(self):
        return self._alive and self.process.poll() is None

    def _read(self):
        out = self.process.stdout
        for line in iter(out.readline, b""):
            fields = line.decode("ascii", "replace").split()
            if len(fields) == 4 and fields[0] == "=":
                self._answers.put((fields[1], int(fields[2]), out.read(int(fields[3])).decode("utf-8", "replace")))
            elif len(fields) == 3 and fields[0] == "!":
                with self._changed:
                    self._ended[fields[1]] = int(fields[2])
                    self._changed.notify_all()
        with self._changed:
            self._alive = False
            self._changed.notify_all()
        self._answers.put(None)

    def call(self, args, timeout=60):
        """(exit code, output) of one action."""
        action = "zsdriver " + " ".join(args)
        with self._requests:
            tag = str(next(self._tags))
            line = "\t".join(escape_field(str(field)) for field in [tag] + list(args)) + "\n"
            try:
                self.process.stdin.write(line.encode("ascii"))
                self.process.stdin.flush()
            except OSError:
                raise AssertionError("the driver server has ended; %s not done" % action)
            # Answers to earlier requests that ran out of time come late: passed over.
            answer = ("",)
            while answer[0] != tag:
                try:
                    answer = self._answers.get(timeout=timeout)
                except queue.Empty:
                    raise AssertionError("%s: no answer within %d s" % (action, timeout))
                if answer is None:
                    raise AssertionError("the driver server ended during %s" % action)
            return answer[1], answer[2]

    def start(self, kind, text, rights, folder, env, output=""):
        """A program started by the server (`kind` "run": a command line, "open": a link), with `env`'s
        differences from the server's own (an empty value takes a variable away), its output into the
        file `output` (a Windows path) if given."""
        run = DriverRun(self, "p%d" % next(self._tags), [kind, text])
        changes = ["%s=%s" % (name, value) for name, value in sorted(env.items()) if self.env.get(name) != value]
        changes += ["%s=" % name for name in sorted(self.env) if name not in env]
        code, _ = self.call(["start", run.id, kind, rights or "limited", folder, output, text] + changes)
        if code != 0:
            # As a driver that could not start it ends: with its own code.
            with self._changed:
                self._ended[run.id] = code
        return run

    def exit_code(self, run_id, timeout=0):
        """The program's exit code, or None while it runs. A program whose server has gone counts as
        killed, as a killed driver's would."""
        with self._changed:
            self._changed.wait_for(lambda: run_id in self._ended or not self._alive, timeout)
            if run_id in self._ended:
                # The code a Unix parent sees of a Wine process.
                return self._ended[run_id] & 0xFF
            return None if self._alive else -9

    def close(self):
        try:
            self.process.stdin.close()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()


class DriverRun:
    """A program the server started, with the Popen calls the tests make."""

    def __init__(self, server, run_id, args):
        self.server = server
        self.id = run_id
        self.args = args
        self.returncode = None

    def poll(self, timeout=0):
        if self.returncode is None:
            self.returncode = self.server.exit_code(self.id, timeout)
        return self.returncode

    def wait(self, timeout=None):
        if self.poll(timeout) is None:
            raise subprocess.TimeoutExpired(self.args, timeout)
        return self.returncode

    def kill(self):
        if self.server.alive and self.poll() is None:
            self.server.call(["kill", self.id])


_servers = {}


def server_for(command, env, key):
    """The server of the prefix `key` names, started on first use (again when its prefix's server has
    ended it)."""
    server = _servers.get(key)
    if server is None or not server.alive:
        server = _servers[key] = DriverServer(command, env)
    return server


@atexit.register
def _close_all():
    for server in _servers.values():
        server.close()
