"""The terminal front end in tmux: started in a session of its own, its screen
read with capture-pane, keys sent with send-keys. The screens a test records
are kept in BUILD/term-ui/ (one file a test, all of them in recording.txt), and
a failing test prints the screens it saw last."""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import tempfile
import time

import pytest

import conftest
from conftest import write_ini

TITLE = "XR3300/R SystemUpdate Utility v1.3"
SOCKET_NAME = "XR3300_R_SystemUpdate_Utility.sock"
# Run as "nobody" when root, where a test needs the built-in serial ports or
# root's own folders out of reach.
AS_NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.getuid() == 0 else []

# After the program the pane shows "[exit N]", then the shell's input modes
# ("icanon echo" when they are restored, "-icanon -echo" when not).
LAUNCHER_TAIL = """echo "[exit $?]"
stty -a | tr ' ;' '\\n\\n' | grep -x -- '-\\?icanon\\|-\\?echo' | tr '\\n' ' '; echo
sleep 600
"""


# A wait's deadline is only how long before a test gives up. The test command
# runs its stages side by side, where a screen can come many seconds late, so
# no wait of these tests gives up sooner than this.
PATIENCE_S = 30


def wait_for(predicate, timeout=10.0, what="the condition"):
    return conftest.wait_for(predicate, max(timeout, PATIENCE_S), what)


def holds(predicate, seconds, what):
    """Fails as soon as predicate is false within the next seconds: for what
    must NOT happen, watched over a window no longer than the event takes."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not predicate():
            pytest.fail(f"{what}: not so within {seconds} s")
        time.sleep(0.02)


def named(what, check):
    """What a wait waits for, with the check it makes when it has a name."""
    return f"{what} ({check})" if check else what


class FrontEnd:
    """One front end in a tmux session: argv is the program with its arguments
    (or what starts it, such as setpriv and env), run in folder cwd."""

    def __init__(self, server, name, argv, cwd, env, size, work, artifacts, record_id):
        self.server = server
        self.name = name
        self.artifacts = artifacts
        self.record_id = record_id
        launcher = work / f"front-end-{name}.sh"
        exported = "".join(f"export {k}={shlex.quote(v)}\n" for k, v in env.items())
        # Arguments may be bytes that are no text: they reach the program as they are.
        command = " ".join(shlex.quote(os.fsdecode(a)) for a in argv)
        launcher.write_text(f"{exported}cd {shlex.quote(str(cwd))}\n{command}\n{LAUNCHER_TAIL}",
                            encoding="utf-8", errors="surrogateescape")
        # A UTF-8 terminal whatever the caller's locale, so the screens read the same everywhere.
        self.tmux("-u", "new-session", "-d", "-s", name, "-x", str(size[0]), "-y", str(size[1]),
                  f"LC_ALL=C.UTF-8 bash {launcher}")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.server, *args], capture_output=True, text=True)

    # ---- what the screen shows

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", self.name).stdout

    def screen_attrs(self):
        """The screen with its SGR sequences: grayed commands and disabled controls are dim (SGR 2)."""
        return self.tmux("capture-pane", "-p", "-e", "-t", self.name).stdout

    def row(self, n, attrs=False):
        """Screen row n, from 1."""
        rows = (self.screen_attrs() if attrs else self.screen()).split("\n")
        return rows[n - 1] if n <= len(rows) else ""

    def shows(self, text):
        return text in self.screen()

    def shows_joined(self, text):
        """The screen's text as one line, frames dropped: a message wrapped in its box reads whole."""
        joined = " ".join(re.sub(r"[│ ]+", " ", self.screen()).replace("\n", "").split())
        return text in joined

    def dim(self, text, row=None):
        drawn = self.row(row, attrs=True) if row else self.screen_attrs()
        return re.search(r"\x1b\[2m[^\x1b]*" + re.escape(text), drawn) is not None

    def menu_dim(self, label):
        return self.dim(label, row=2)

    def menu_enabled(self, label):
        return not self.menu_dim(label)

    def packet_number(self):
        match = re.search(r"^ *Tx Packet: *(\d+) :", self.screen(), re.M)
        return match.group(1) if match else None

    # ---- waits, each failing with what it waited for

    def wait_screen(self, text, timeout=15, check=None):
        return wait_for(lambda: text in self.screen(), timeout, named(f"{text!r} on the screen", check))

    def wait_gone(self, text, timeout=10, check=None):
        return wait_for(lambda: text not in self.screen(), timeout, named(f"{text!r} to leave the screen", check))

    def wait_idle(self, timeout=20, check=None):
        """Until "Update..." is enabled again."""
        return wait_for(lambda: self.menu_enabled("Update..."), timeout, named('"Update..." enabled again', check))

    def wait_packet_moves_from(self, number, timeout=10, check=None):
        return wait_for(lambda: self.packet_number() not in (number, None), timeout,
                        named(f"the packet number to move on from {number}", check))

    def wait_exit(self, timeout=10):
        """The program's exit status, once the pane shows it."""
        found = wait_for(lambda: re.search(r"\[exit (\d+)\]", self.screen()), timeout, "the program to end")
        return int(found.group(1))

    def modes_restored(self, timeout=5):
        """The shell's input modes after the program: canonical input and echo are back."""
        modes = wait_for(lambda: re.search(r"(-?)icanon (-?)echo\b", self.screen()), timeout,
                         "the shell's input modes")
        return modes.groups() == ("", "")

    # ---- input

    def keys(self, *keys):
        self.tmux("send-keys", "-t", self.name, *keys)

    def text(self, text):
        self.tmux("send-keys", "-t", self.name, "-l", text)

    def hex_keys(self, hex_bytes):
        """Raw bytes, written as hex ("1b 5b 4f"), as a terminal would send them."""
        self.tmux("send-keys", "-t", self.name, "-H", *hex_bytes.split())

    def resize(self, columns, rows):
        self.tmux("resize-window", "-t", self.name, "-x", str(columns), "-y", str(rows))

    def pid(self):
        """The program's process id (the child of the pane's shell)."""
        pane = self.tmux("display", "-p", "-t", self.name, "#{pane_pid}").stdout.strip()
        found = wait_for(lambda: subprocess.run(["pgrep", "-P", pane, "-x", "xrupdate"], capture_output=True,
                                                text=True).stdout.split(), 5, "the program's process")
        return int(found[0])

    # ---- the screens kept

    def record(self, moment):
        with open(self.artifacts / f"{self.record_id}.txt", "a") as out:
            out.write(f"=== {self.record_id} ({self.name}): {moment}\n{self.screen()}\n")


def rebuild_recording(artifacts):
    """All tests' screens in one file, from whichever runs have left them."""
    parts = sorted(p for p in artifacts.glob("term_*.txt"))
    temporary = artifacts / f"recording.txt.{os.getpid()}"
    temporary.write_text("".join(p.read_text(errors="replace") for p in parts))
    temporary.replace(artifacts / "recording.txt")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        item.xr_failed = True


@pytest.fixture
def front_end(build, work, request):
    """Starts the front end: front_end(*args, name=..., size=(columns, rows),
    prefix=[...], cwd=..., env={...}) -> FrontEnd, once its title shows. It runs
    in cwd, the working directory unless told; prefix comes before the program
    (setpriv, env); env replaces the runtime folder and HOME passed on."""
    server = f"xr-e2e-{os.getpid()}-{id(work)}"
    started = []
    artifacts = build / "term-ui"
    artifacts.mkdir(exist_ok=True)
    module = request.node.module.__name__.removeprefix("test_")
    record_id = f"{module}.{request.node.name}"
    (artifacts / f"{record_id}.txt").unlink(missing_ok=True)
    passed_on = {k: os.environ[k] for k in ("XDG_RUNTIME_DIR", "HOME") if k in os.environ}

    def start(*args, name="main", size=(80, 24), prefix=(), cwd=None, env=None, wait_title=True):
        argv = [*prefix, build / "xrupdate", *args]
        ui = FrontEnd(server, name, argv, cwd or pathlib.Path.cwd(), passed_on if env is None else env, size, work,
                      artifacts, record_id)
        started.append(ui)
        if wait_title:
            ui.wait_screen(TITLE, 5)
        return ui

    yield start
    if getattr(request.node, "xr_failed", False):
        for ui in started:
            print(f"--- the screen of {ui.name} at the end:\n{ui.screen()}")
            ui.record("the screen when the test failed")
    subprocess.run(["tmux", "-L", server, "kill-server"], capture_output=True)
    if (artifacts / f"{record_id}.txt").exists():
        rebuild_recording(artifacts)


@pytest.fixture
def place(work, monkeypatch):
    """The folder the front end works in, made the working directory: straight
    under /tmp, so that its paths fit an 80-column screen whole (the work folder's
    are longer), and open for others to enter, for a program run as "nobody"."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="xr-term-"))
    folder.chmod(0o755)
    monkeypatch.chdir(folder)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def dismiss_port_message(ui):
    """The built-in COM1 does not open for "nobody": start-up names it and why."""
    ui.wait_screen("The serial port COM1 (", 5)
    ui.keys("Enter")
    ui.wait_gone("The serial port COM1 (", 3)


def give_to_nobody(*paths):
    """When root: paths (and what lies below) belong to "nobody"."""
    if os.getuid() != 0:
        return
    for path in paths:
        for place in [pathlib.Path(path), *pathlib.Path(path).rglob("*")]:
            os.chown(place, 65534, 65534, follow_symlinks=False)


def term_settings(folder, pty, **keys):
    """The test's settings file, folder/xr.ini: COM1 behind pty, COM2 to COM4
    behind devices in folder that do not exist. Keys given as None are left out,
    for the program to save them itself."""
    values = dict(Warning=0, DeviceType=0, ComPortNum=1, SkipVersionCheck=0, CurrentPath=folder)
    values.update(keys)
    return write_ini(folder / "xr.ini", [pty, *(folder / f"no-such-com{n}" for n in (2, 3, 4))],
                     **{k: v for k, v in values.items() if v is not None})


def ini_lines(path):
    return pathlib.Path(path).read_text(errors="replace").splitlines()


def received_is(instrument, path, check=None):
    """Until the instrument's image is the file at path, byte for byte (it is
    written when the instrument sees the update complete)."""
    expected = pathlib.Path(path).read_bytes()
    wait_for(lambda: instrument.received() == expected, 5, named(f"the instrument's image to be {path}", check))
