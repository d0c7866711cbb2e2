"""The world a screen reader lives in, built for one run and torn down after it:
an X server, a private session bus, the accessibility bus, the reference pack
service with a scripted model behind it, and the program itself.

Every wait is bounded; every process started here is stopped on the way out,
whatever happened in between."""

import http.server
import json
import os
import random
import select
import signal
import subprocess
import threading
import time


class Failure(Exception):
    pass


def wait_until(what, predicate, timeout=15.0, interval=0.05):
    """The first truthy value of predicate() within timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


class Processes:
    """Started processes, stopped in reverse order: TERM, then KILL."""

    def __init__(self, logdir):
        self.logdir = logdir
        self.started = []

    def start(self, name, argv, env=None, **kwargs):
        log = open(os.path.join(self.logdir, name + ".log"), "wb")
        kwargs.setdefault("stdout", log)
        process = subprocess.Popen(argv, env=env, stderr=log, stdin=subprocess.DEVNULL,
                                   start_new_session=True, **kwargs)
        process.log_path = log.name
        log.close()
        self.started.append((name, process))
        return process

    def log(self, process):
        with open(process.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, process, timeout=10.0):
        """TERM, then KILL, to the process and everything it started (each
        runs in a session of its own, so its group is its own)."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(process.pid, sig)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout)
                break
            except subprocess.TimeoutExpired:
                pass
        return process.returncode

    def stop_all(self):
        for _, process in reversed(self.started):
            self.stop(process)


def read_line(stream, prefix, timeout):
    """The first line of a pipe that starts with prefix, within timeout seconds."""
    deadline = time.monotonic() + timeout
    buffered = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            break
        buffered += chunk
        for line in buffered.decode("utf-8", "replace").splitlines():
            if line.startswith(prefix):
                return line
    raise Failure(f"no line starting with {prefix!r} within {timeout:.0f} s; got {buffered!r}")


def start_display(processes, attempts=5):
    """Xvfb on a free display number; returns its DISPLAY value. Another test
    can take the same number at the same moment, so a server that does not come
    up is replaced by one on another number."""
    for _ in range(attempts):
        number = next(n for n in (random.randrange(100, 30000) for _ in range(1000))
                      if not os.path.exists(f"/tmp/.X{n}-lock"))
        process = processes.start("xvfb", ["Xvfb", f":{number}", "-screen", "0", "1280x900x24",
                                           "-nolisten", "tcp", "-noreset"])
        socket = f"/tmp/.X11-unix/X{number}"
        try:
            wait_until("", lambda: os.path.exists(socket) or process.poll() is not None, 60)
        except Failure:
            pass
        if process.poll() is None and os.path.exists(socket):
            return f":{number}"
        processes.stop(process)
    raise Failure("Xvfb did not start: " + processes.log(process))


def start_session_bus(processes, env):
    process = processes.start("dbus", ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                              env=env, stdout=subprocess.PIPE)
    address = read_line(process.stdout, "unix:", 20).strip()
    process.stdout.close()
    return address


def start_accessibility_bus(processes, env):
    processes.start("at-spi-bus", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately",
                                   "--a11y=1"], env=env)
    ask = ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
           "org.a11y.Bus.GetAddress"]
    wait_until("the accessibility bus",
               lambda: subprocess.run(ask, env=env, capture_output=True, timeout=5).returncode == 0,
               timeout=20, interval=0.1)


def start_pack_service(processes, binary, seed, db, model_url):
    process = processes.start("pack-service", [
        binary, "--listen", "127.0.0.1:0", "--db", db, "--seed", seed,
        "--model-url", model_url, "--model", "scripted"], stdout=subprocess.PIPE)
    line = read_line(process.stdout, "listening on ", 20)
    # Nothing more is read from it: the service writes its log to stderr.
    return line[len("listening on "):].strip()


class ScriptedModel:
    """An OpenAI-compatible chat endpoint on loopback that answers every
    completion with one fixed reply; while `hold` is set it keeps the answer
    back, so the program stays busy for as long as the test needs."""

    def __init__(self, reply):
        self.reply = reply
        self.requests = 0
        self.hold = threading.Event()
        self.release = threading.Event()
        model = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                self.rfile.read(length)
                if self.path != "/v1/chat/completions":
                    self.send_error(404)
                    return
                model.requests += 1
                if model.hold.is_set():
                    model.release.wait(30)
                body = json.dumps({"choices": [{"index": 0, "finish_reason": "stop", "message": {
                    "role": "assistant", "content": model.reply}}]}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}/v1"

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()
