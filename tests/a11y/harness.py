"""The world a screen reader lives in, built for one run and torn down after it:
an X server, a private session bus, the accessibility bus and a scripted model.
Every wait is bounded; every process started here is stopped on the way out,
whatever happened in between."""

import contextlib
import http.server
import json
import os
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
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)
    return value


class Processes:
    """Started processes, each in a session of its own so that stopping its
    group stops whatever it started too; stopped in reverse order."""

    def __init__(self, logdir):
        self.logdir = logdir
        self.started = []

    def start(self, name, argv, env=None, stdout=None):
        path = os.path.join(self.logdir, name + ".log")
        with open(path, "wb") as log:
            process = subprocess.Popen(argv, env=env, stdout=stdout or log, stderr=log,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
        process.name, process.log_path = name, path
        self.started.append(process)
        return process

    @staticmethod
    def log(process):
        with open(process.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop_all(self):
        for process in reversed(self.started):
            for sig in (signal.SIGTERM, signal.SIGKILL):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, sig)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(10)
                    break

    def first_line(self, name, argv, prefix, env=None):
        """Starts a process that announces where it listens and returns the
        rest of its first line that starts with prefix (within 60 s)."""
        process = self.start(name, argv, env, stdout=subprocess.PIPE)
        deadline, seen, line = time.monotonic() + 60, b"", None
        while not line and select.select([process.stdout], [], [],
                                         max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
            lines = seen.decode("utf-8", "replace").split("\n")[:-1]  # whole lines only
            line = next((l for l in lines if l.startswith(prefix)), None)
        if not line:
            raise Failure(f"{name} printed no {prefix!r} line: {seen!r} {self.log(process)}")
        return line[len(prefix):].strip()


def start_display(processes):
    """Xvfb on a display number it picks itself (free, and taken atomically)."""
    return ":" + processes.first_line("xvfb", ["Xvfb", "-displayfd", "1", "-screen", "0",
                                               "1280x900x24", "-nolisten", "tcp", "-noreset"], "")


def start_buses(processes, env):
    """A private session bus and the accessibility bus on it."""
    env["DBUS_SESSION_BUS_ADDRESS"] = processes.first_line(
        "dbus", ["dbus-daemon", "--session", "--nofork", "--print-address=1"], "", env)
    processes.start("at-spi-bus", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately",
                                   "--a11y=1"], env)
    ask = ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
           "org.a11y.Bus.GetAddress"]
    wait_until("the accessibility bus", lambda: subprocess.run(
        ask, env=env, capture_output=True, timeout=5).returncode == 0, 20, 0.1)


class ScriptedModel(http.server.ThreadingHTTPServer):
    """An OpenAI-compatible chat endpoint on loopback that answers every
    completion with one fixed reply (or the reply a function of the request
    body gives); while `hold` is set it keeps the answer
    back (at most 30 s), so the program stays busy for as long as the test
    needs."""

    daemon_threads = True

    def __init__(self, reply):
        super().__init__(("127.0.0.1", 0), ModelHandler)
        self.reply, self.requests = reply, 0
        self.hold, self.release = threading.Event(), threading.Event()
        self.url = f"http://127.0.0.1:{self.server_address[1]}/v1"
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.release.set()
        self.shutdown()
        self.server_close()


class ModelHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        model = self.server
        request = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path != "/v1/chat/completions":
            return self.send_error(404)
        model.requests += 1
        if model.hold.is_set():
            model.release.wait(30)
        # A reply may depend on what was asked (the instructions carry the pack).
        reply = model.reply(request.decode("utf-8")) if callable(model.reply) else model.reply
        body = json.dumps({"choices": [{"index": 0, "finish_reason": "stop", "message": {
            "role": "assistant", "content": reply}}]}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass
