"""Headless Chromium for the tests and the listening bench: opens pages, collects what they log,
evaluates expressions in them and takes screenshots. It speaks the DevTools protocol over a pipe
(--remote-debugging-pipe: commands on the browser's fd 3, replies and events on its fd 4, each
message JSON ended by a NUL byte), so the browser opens no debugging port.

    with Browser(command_prefix=room.command(1, []), env=sound.player_env("c0")) as browser:
        tab = browser.open("http://198.18.1.10:27080/?test")
        tab.wait_for_console("tonecast-over", timeout=60)

Sound goes where the environment points libpulse: PULSE_SERVER, PULSE_SINK. Chromium opens its
stream at the sound server's default rate (default-sample-rate in the server's daemon.conf), not
the sink's. With no sound server it falls back to a silent output whose clock still runs, so a
page's AudioContext keeps time either way. Start the sound server first: Chromium picks its output
once. Runs only inside the private network of tests/e2e/netns_run.sh, on its own host or on a
host of a virtual room. Python standard library only.
"""
import base64
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from virtual_room import NotPrivateNetwork, inside_private_network  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless=new", "--no-sandbox", "--autoplay-policy=no-user-gesture-required", "--remote-debugging-pipe",
         "--no-first-run", "--disable-gpu", "--no-default-browser-check",
         # Debian's launcher adds this one only without --enable-remote-extensions, which its own
         # defaults always set: without it a long run may start fetches that land on a room's bridge.
         "--disable-background-networking"]
# Tabs behind others run as in front, unless a test asks for the browser's throttling of them.
UNTHROTTLED = ["--disable-background-timer-throttling", "--disable-renderer-backgrounding",
               "--disable-backgrounding-occluded-windows"]
REPLY_SECONDS = 30  # the slowest reply waited for: a page loading over a slow room link
CLOSE_SECONDS = 5
STDERR_TAIL = 2000


class BrowserError(RuntimeError):
    pass


def _on_private_host():
    """The runner's namespace, before or after a virtual room was made in it, or a room host's:
    holding nothing but what those two make."""
    if inside_private_network():
        return True
    names = [name for _, name in socket.if_nameindex()]
    return (os.environ.get("TONECAST_PRIVATE_NET") == "inside" and "lo" in names and len(names) > 1
            and all(re.fullmatch(r"lo|tcveth[01]|tcroom|tchost\d+[bnf]", name) for name in names))


def _high(fd):
    """The fd moved above 4, so that placing one pipe end at 3 or 4 cannot close the other."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class Browser:
    def __init__(self, command_prefix=(), env=None, window=(390, 844), timeout=REPLY_SECONDS, throttled=False):
        """command_prefix: what runs chromium elsewhere, such as room.command(host, []). throttled: tabs
        behind others have their timers slowed as a browser's own are (once a second, and a minute
        after the page was hidden only once a minute); by default they run as in front."""
        if not _on_private_host():
            raise NotPrivateNetwork("the browser runs only inside tests/e2e/netns_run.sh")
        self.timeout, self.window = timeout, window
        self._folder = tempfile.mkdtemp(prefix="tonecast-browser-")
        self._lock = threading.Condition()
        self._replies, self._console, self._errors, self._log, self._loaded = {}, {}, {}, {}, set()
        self._next_id, self._dead, self._closed = 0, False, False
        commands, self._to_browser = os.pipe()
        replies, replies_out = os.pipe()
        commands, replies_out = _high(commands), _high(replies_out)
        self._stderr = open(os.path.join(self._folder, "stderr.log"), "wb")
        argv = [*command_prefix, CHROMIUM, *FLAGS, *([] if throttled else UNTHROTTLED),
                "--user-data-dir=" + os.path.join(self._folder, "profile"), "--window-size=%d,%d" % window]
        started = time.monotonic()
        # The shell places the pipe at fds 3 and 4: subprocess cannot, and a preexec function is
        # unsafe beside the tests' own threads. Its own session lets close() take every helper.
        place = 'exec "$@" 3<&%d 4>&%d %d<&- %d>&-' % (commands, replies_out, commands, replies_out)
        self._process = subprocess.Popen(
            ["/bin/bash", "-c", place, "bash", *argv], pass_fds=(commands, replies_out), env=env,
            stdin=subprocess.DEVNULL, stdout=self._stderr, stderr=self._stderr, start_new_session=True)
        os.close(commands)
        os.close(replies_out)
        self._reader = threading.Thread(target=self._read, args=(replies,), daemon=True)
        self._reader.start()
        try:
            self.version = self.send("Browser.getVersion")["product"]
        except BaseException:
            self.close()
            raise
        self.start_seconds = time.monotonic() - started

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read(self, pipe):
        pending = b""
        try:
            while True:
                block = os.read(pipe, 65536)
                if not block:
                    break
                *messages, pending = (pending + block).split(b"\0")
                with self._lock:
                    for message in messages:
                        self._dispatch(json.loads(message))
                    self._lock.notify_all()
        finally:
            os.close(pipe)  # here, so that no other file can take its number while a read waits on it
            with self._lock:
                self._dead = True
                self._lock.notify_all()

    def _dispatch(self, message):
        session, method, params = message.get("sessionId"), message.get("method"), message.get("params", {})
        if "id" in message:
            self._replies[message["id"]] = message
        elif method == "Runtime.consoleAPICalled":
            self._console.setdefault(session, []).append(" ".join(_text(arg) for arg in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            self._errors.setdefault(session, []).append(
                details.get("exception", {}).get("description") or details.get("text", ""))
        elif method == "Log.entryAdded":
            entry = params.get("entry", {})
            self._log.setdefault(session, []).append("%s %s: %s" % (entry.get("level"), entry.get("source"),
                                                                    entry.get("text")))
        elif method == "Page.lifecycleEvent" and params.get("name") == "load":
            self._loaded.add(params.get("loaderId"))

    def _failure(self, what):
        try:
            self._process.wait(1)  # a closed pipe comes just before the exit
        except subprocess.TimeoutExpired:
            pass
        self._stderr.flush()
        with open(self._stderr.name, "rb") as log:
            lines = log.read().decode("utf-8", "replace").splitlines()
        # There is no D-Bus here, and every run complains of it.
        tail = "\n".join(line for line in lines if "dbus" not in line.lower())[-STDERR_TAIL:]
        state = "running" if self._process.poll() is None else "exited with %s" % self._process.returncode
        return BrowserError("%s (chromium %s); its stderr ends:\n%s" % (what, state, tail))

    def wait(self, ready, timeout, what):
        """ready()'s value, called under the lock, once true; raises if chromium dies or time runs out."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        with self._lock:
            while not self._dead and time.monotonic() < deadline:
                value = ready()
                if value:
                    return value
                self._lock.wait(min(deadline - time.monotonic(), 0.5))
            value = ready()
            if value:
                return value
        raise self._failure(("chromium closed its pipe while waiting for %s" if self._dead
                             else "timed out waiting for %s") % what)

    def send(self, method, params=None, session=None, timeout=None):
        with self._lock:
            self._next_id += 1
            number = self._next_id
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        try:
            os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        except OSError as error:
            raise self._failure("cannot send %s: %s" % (method, error)) from None
        reply = self.wait(lambda: self._replies.pop(number, None), timeout, method)
        if "error" in reply:
            raise BrowserError("%s: %s" % (method, reply["error"].get("message")))
        return reply.get("result", {})

    def open(self, url, timeout=None, hidden=False):
        """A new tab showing url, once the page has loaded; hidden: behind the others, so that its
        document is hidden, as a tab in the background is."""
        target = self.send("Target.createTarget", {"url": "about:blank", "background": hidden})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for method in ("Runtime.enable", "Page.enable", "Log.enable"):
            self.send(method, session=session)
        self.send("Page.setLifecycleEventsEnabled", {"enabled": True}, session)
        # A headless window is never narrower than 500 pixels: the page gets a phone's size this way.
        self.send("Emulation.setDeviceMetricsOverride", {"width": self.window[0], "height": self.window[1],
                                                         "deviceScaleFactor": 1, "mobile": True}, session)
        # Navigated only now that its console is followed, so not one line is missed; the load
        # waited for is this navigation's, not about:blank's.
        navigation = self.send("Page.navigate", {"url": url}, session, timeout)
        if navigation.get("errorText"):
            raise BrowserError("cannot open %s: %s" % (url, navigation["errorText"]))
        self.wait(lambda: navigation["loaderId"] in self._loaded, timeout, "the page %s to load" % url)
        return Tab(self, target, session)

    def close(self):
        if self._closed:
            return
        self._closed = True
        if self._process.poll() is None:
            try:
                os.write(self._to_browser, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
                self._process.wait(CLOSE_SECONDS)
            except (OSError, subprocess.TimeoutExpired):
                pass
        try:
            os.killpg(self._process.pid, signal.SIGKILL)  # renderers and helpers that outlived it
        except ProcessLookupError:
            pass
        self._process.wait()
        os.close(self._to_browser)
        self._reader.join(CLOSE_SECONDS)
        self._stderr.close()
        shutil.rmtree(self._folder, ignore_errors=True)


def _text(arg):
    """A console argument as the page's own console shows it, near enough."""
    if "value" in arg:
        return arg["value"] if isinstance(arg["value"], str) else json.dumps(arg["value"])
    return str(arg.get("unserializableValue", arg.get("description", arg.get("type"))))


class Tab:
    def __init__(self, browser, target, session):
        self.browser, self.target, self.session = browser, target, session

    def console(self):
        """Every console line of the page so far, its arguments joined by spaces."""
        with self.browser._lock:
            return list(self.browser._console.get(self.session, []))

    def errors(self):
        """Every uncaught exception of the page so far."""
        with self.browser._lock:
            return list(self.browser._errors.get(self.session, []))

    def log(self):
        """What the browser itself told of the page so far (blocked loads, refused content, ...):
        "level source: text" each."""
        with self.browser._lock:
            return list(self.browser._log.get(self.session, []))

    def wait_for_console(self, prefix, count=1, timeout=None):
        """The page's console lines that start with prefix, once there are count of them."""
        def found():
            lines = [line for line in self.browser._console.get(self.session, []) if line.startswith(prefix)]
            return lines if len(lines) >= count else None
        try:
            return self.browser.wait(found, timeout, "%d console line(s) starting %r" % (count, prefix))
        except BrowserError as error:
            raise BrowserError("%s\nthe page's last console lines:\n%s"
                               % (error, "\n".join(self.console()[-5:]))) from None

    def evaluate(self, expression, timeout=None):
        """The expression's value, a promise awaited, as JSON carries it."""
        result = self.browser.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                        "awaitPromise": True}, self.session, timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError("%s: %s" % (expression, details.get("exception", {}).get("description")
                                           or details.get("text")))
        return result["result"].get("value")

    def screenshot(self, path):
        data = self.browser.send("Page.captureScreenshot", {"format": "png"}, self.session)["data"]
        with open(path, "wb") as picture:
            picture.write(base64.b64decode(data))

    def close(self):
        """As a person closes a tab: its WebSocket sends a close frame, then the connection ends."""
        self.browser.send("Target.closeTarget", {"targetId": self.target})
