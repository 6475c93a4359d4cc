"""The servers the benchmark measures against, each with a configuration of
its own on loopback ports: nginx (the published folders, also with its own
rate limit), an rsync daemon, and the slow link of link.py in front of both.

A port is free when asked for; another program may take it before the
server binds it, so a failed start is retried on new ports.
"""

import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

from measure import BenchError

HERE = Path(__file__).resolve().parent
# The one nginx configuration of the demo, the tests and the benchmark.
NGINX_TEMPLATE = HERE.parent / "scripts" / "nginx.conf.in"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _await(process, probe, seconds=10.0):
    """Waits (bounded) until `probe` succeeds while `process` lives."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            if probe():
                return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def _stop(process):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _url_ok(url):
    with urllib.request.urlopen(url, timeout=2) as answer:
        return answer.status == 200


class Nginx:
    """nginx as a studio would run it for static files: one worker,
    sendfile, an access log of every response's status and body bytes. Two
    more ports serve the same: one with nginx's own rate limit, one for the
    slow link of link.py, with a small send buffer (see there)."""

    def __init__(self, binary, work, root, limit_rate):
        self.binary, self.dir, self.root, self.limit_rate = binary, work / "nginx", root, limit_rate
        self.process = None
        self.port = self.limited_port = self.link_port = None
        self.log = self.dir / "access.log"
        self._read = 0

    def config(self):
        servers = "\n".join(
            f'  server {{ listen 127.0.0.1:{port}{extra}; root "{self.root}";{rate} }}'
            for port, extra, rate in (
                (self.port, "", ""),
                (self.limited_port, "", f" limit_rate {self.limit_rate};"),
                (self.link_port, " sndbuf=64k", "")))
        values = {"@PREFIX@": str(self.dir), "@USER@": "user root;" if _is_root() else "",
                  "@LOG_FORMAT@": "brightwick", "@SERVERS@": servers}
        text = NGINX_TEMPLATE.read_text()
        for placeholder, value in values.items():
            text = text.replace(placeholder, value)
        return text

    def start(self):
        (self.dir / "tmp").mkdir(parents=True, exist_ok=True)
        for _ in range(5):
            self.port, self.limited_port, self.link_port = free_port(), free_port(), free_port()
            (self.dir / "nginx.conf").write_text(self.config())
            self.process = subprocess.Popen(
                [self.binary, "-p", f"{self.dir}/", "-e", str(self.dir / "error.log"),
                 "-c", str(self.dir / "nginx.conf")])
            ready = "http://127.0.0.1:{}/ready"
            if _await(self.process, lambda: all(_url_ok(ready.format(port)) for port in (
                    self.port, self.limited_port, self.link_port))):
                self.mark()
                return
            _stop(self.process)
            self.process = None
        raise BenchError("nginx did not start: " + _tail(self.dir / "error.log"))

    def stop(self):
        _stop(self.process)

    def mark(self):
        """Starts a new stretch of the access log for entries()."""
        self._read = self.log.stat().st_size if self.log.exists() else 0

    def entries(self, expect=0):
        """The responses since the last mark: (status, body bytes, port,
        range asked for, path); then marks. nginx logs a response to a
        client that was killed once it notices, so this waits (bounded) for
        `expect` of them."""
        deadline = time.monotonic() + 5
        while True:
            with open(self.log, "rb") as log:
                log.seek(self._read)
                data = log.read()
            data = data[:data.rfind(b"\n") + 1]
            if data.count(b"\n") >= expect or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        self._read += len(data)
        text = data.decode("utf-8", "replace")
        found = []
        for line in text.splitlines():
            status, sent, port, rest = line.split(" ", 3)
            asked, path = rest[1:].split('" ', 1)
            found.append((int(status), int(sent), int(port), asked, path))
        return found


class Rsyncd:
    """An rsync daemon serving folders read-only, one module each."""

    def __init__(self, work, modules):
        self.dir, self.modules = work / "rsyncd", modules
        self.process = None
        self.port = None

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        import grp
        import os
        import pwd
        user, group = pwd.getpwuid(os.getuid()).pw_name, grp.getgrgid(os.getgid()).gr_name
        lines = [f"pid file = {self.dir}/rsyncd.pid", f"log file = {self.dir}/rsyncd.log",
                 "use chroot = no", f"uid = {user}", f"gid = {group}"]
        for name, path in self.modules.items():
            lines += [f"[{name}]", f"  path = {path}", "  read only = yes"]
        (self.dir / "rsyncd.conf").write_text("\n".join(lines) + "\n")
        for _ in range(5):
            self.port = free_port()
            self.process = subprocess.Popen(
                ["rsync", "--daemon", "--no-detach", f"--config={self.dir}/rsyncd.conf",
                 "--address=127.0.0.1", f"--port={self.port}"])
            probe = ["rsync", f"rsync://127.0.0.1:{self.port}/"]
            if _await(self.process, lambda: subprocess.run(
                    probe, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0):
                return
            _stop(self.process)
            self.process = None
        raise BenchError("the rsync daemon did not start: " + _tail(self.dir / "rsyncd.log"))

    def stop(self):
        _stop(self.process)


class Link:
    """link.py in front of nginx and the rsync daemon: the player's line."""

    def __init__(self, work, rate, targets, delay=0.0, name="link"):
        self.dir, self.rate, self.targets, self.delay = work / name, rate, targets, delay
        self.process = None
        self.ports = {}
        self.log = self.dir / "connections.log"
        self._read = 0

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        self.log.touch()
        for _ in range(5):
            self.ports = {name: free_port() for name in self.targets}
            forwards = [f"{self.ports[name]}:{port}" for name, port in self.targets.items()]
            self.process = subprocess.Popen(
                [sys.executable, "-B", str(HERE / "link.py"), "--rate", str(self.rate),
                 "--delay", str(self.delay), "--log", str(self.log), *forwards],
                stdout=subprocess.PIPE, text=True)
            if self.process.stdout.readline().strip() == "ready":
                self.mark()
                return
            _stop(self.process)
            self.process = None
        raise BenchError("the slow link did not start")

    def stop(self):
        _stop(self.process)

    def mark(self):
        self._read = self.log.stat().st_size if self.log.exists() else 0

    def carried(self):
        """Bytes carried (towards the client, towards the server) by the
        connections since the last mark, once all of them are over (the
        link sees a client's end a moment after the client); then marks."""
        deadline = time.monotonic() + 10
        while True:
            with open(self.log) as log:
                log.seek(self._read)
                text = log.read()
            lines = [line.split() for line in text.splitlines(keepends=True)
                     if line.endswith("\n")]
            opened = sum(1 for line in lines if line[0] == "open")
            closed = [line for line in lines if line[0] == "close"]
            if len(closed) >= opened or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        if len(closed) < opened:
            raise BenchError("a connection through the slow link did not end")
        self._read += len(text.encode())
        return sum(int(line[2]) for line in closed), sum(int(line[3]) for line in closed)


def _is_root():
    import os
    return os.getuid() == 0


def _tail(path, lines=3):
    try:
        return " | ".join(Path(path).read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return "(no log)"
