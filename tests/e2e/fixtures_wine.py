"""Fixtures of the Windows program's tests under Wine: a Wine prefix, a
virtual X display, the program in a private folder with its settings file
beside it, COM1 mapped to any pseudo-terminal (a simulated instrument, a
chattering line), and the test tool xr_winprobe that looks at and talks to
the program's windows from the outside as another program would. Keys and
clicks go in as the user's would, through xdotool; screenshots go to the
Windows build's artifacts/ folder.

    /usr/bin/python3 -m pytest tests/e2e/test_win32_*.py --build-dir build/native --win-build build/win64
"""

import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time

import pytest

from conftest import PATIENCE, ROOT, end_process, wait_for

MAIN_TITLE = "XR3300/R SystemUpdate Utility v1.3"
BOX_TITLE = "XR3300/R SystemUpdate Utility"  # the program's own message boxes
STOP_TITLE = "Stop transfer"
CONFIG_TITLE = "Config"
OPEN_TITLE = "Open File"
ERROR_TITLE = "Error"

IDM_EXIT, IDM_STOP, IDM_CONFIG, IDM_UPDATE, IDM_TFR_END, IDM_STOP_ENABLE = 201, 202, 203, 207, 208, 209
ABORT, CONTINUE, OK = 1, 2, 1


def pytest_addoption(parser):
    parser.addoption("--win-build", default=os.environ.get("XR_WIN_BUILD", str(ROOT / "build" / "win64")),
                     help="the Windows build folder (xrupdate.exe, tests/xr_winprobe.exe)")


def _wine_environment():
    """The environment scripts/wine-loader.sh gives (the 64-bit loader first
    where the machine runs no 32-bit code)."""
    shown = subprocess.run(["bash", "-c", f'source "{ROOT}/scripts/wine-loader.sh"; env -0'],
                           capture_output=True, check=True).stdout
    env = dict(item.split("=", 1) for item in shown.decode().split("\0") if "=" in item)
    env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def _display_taken(n):
    """A display whose lock names a running server (a lock left by a killed
    server is stale: Xvfb takes the display over)."""
    try:
        pid = int(pathlib.Path(f"/tmp/.X{n}-lock").read_text().strip())
    except (OSError, ValueError):
        return os.path.exists(f"/tmp/.X{n}-lock")
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def set_registry_value(reg_file, key, name, value):
    """Sets (or, with value None, removes) a string value in one of a prefix's
    registry files (system.reg: HKLM, user.reg: HKCU), which the wine server
    reads at its start and writes back at its end: only while no server runs.
    Cheaper than `wine reg`, a Wine program of its own (a quarter of a
    minute each in the emulated guest)."""
    escaped = value.replace("\\", "\\\\").replace('"', '\\"') if value is not None else None
    entry = f'"{name}"='
    lines = reg_file.read_text(encoding="utf-8", errors="surrogateescape").split("\n")
    header = "[" + key.replace("\\", "\\\\") + "]"
    at = next((i for i, line in enumerate(lines) if line == header or line.startswith(header + " ")), None)
    if at is None:
        if value is None:
            return
        while lines and not lines[-1]:
            lines.pop()
        lines += ["", f"{header} {int(time.time())}", entry + f'"{escaped}"', ""]
    else:
        end = next((i for i in range(at + 1, len(lines)) if lines[i].startswith("[")), len(lines))
        body = [line for line in lines[at + 1:end] if not line.startswith(entry)]
        options = [line for line in body if line.startswith("#")]
        values = [line for line in body if line and not line.startswith("#")]
        if value is not None:
            values.append(entry + f'"{escaped}"')
        lines[at + 1:end] = options + values + [""]
    reg_file.write_text("\n".join(lines), encoding="utf-8", errors="surrogateescape")


class Wine:
    """A Wine prefix with a running wine server on a virtual display; COM1
    leads through a link of ours to whichever line a test gives it."""

    def __init__(self, win_build, folder):
        self.win_build = win_build
        self.folder = folder
        self.env = _wine_environment()
        self.env["WINEPREFIX"] = os.environ.get("XR_GUI_WINEPREFIX", str(win_build / "wineprefix-gui"))
        self.prefix = pathlib.Path(self.env["WINEPREFIX"])
        self.com1 = folder / "com1"  # our link: COM1 -> it -> the line
        self.xvfb = None

    def run(self, *args, timeout=60, **options):
        return subprocess.run(list(args), env=self.env, timeout=timeout * PATIENCE, capture_output=True,
                              **options)

    def start(self):
        for n in range(121, 160):
            if _display_taken(n):
                continue
            self.xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.env["DISPLAY"] = f":{n}"
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if subprocess.run(["xdotool", "getdisplaygeometry"], env=self.env,
                                  capture_output=True).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                self.xvfb.kill()
                self.xvfb.wait()
                self.xvfb = None
                continue
            break
        if self.xvfb is None:
            pytest.fail("no virtual X display could be started")
        if not self.prefix.exists():
            self.run("wineboot", "-i", timeout=180)
        self.run("wineserver", "-k")
        self.run("wineserver", "-w")
        self.com1.symlink_to("/nonexistent/xr-no-line")
        set_registry_value(self.prefix / "system.reg", r"Software\Wine\Ports", "COM1", str(self.com1))
        set_registry_value(self.prefix / "user.reg", r"Software\Wine\X11 Driver", "Managed", "N")
        dosdevices = self.prefix / "dosdevices"
        dosdevices.mkdir(parents=True, exist_ok=True)
        for n in range(1, 10):
            link = dosdevices / f"com{n}"
            if link.is_symlink() or link.exists():
                link.unlink()
        (dosdevices / "com1").symlink_to(self.com1)
        # A persistent server of our own, its diagnostics (Wine dumps its object
        # table when a serial line hangs up) kept out of the output.
        with open(self.folder / "wineserver.log", "ab") as log:
            subprocess.run(["wineserver", "-p"], env=self.env, stderr=log, stdout=log, timeout=60)
        # The first program of a session starts Wine's own services, which keep
        # its output open: that one writes to nothing we wait on.
        subprocess.run(["wine", "reg", "query", r"HKLM\Software\Wine\Ports"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def connect_com1(self, device):
        """COM1 now opens `device` (a pty path)."""
        self.com1.unlink()
        self.com1.symlink_to(device)

    def stop(self):
        self.run("wineserver", "-k")
        self.run("wineserver", "-w", timeout=180)
        set_registry_value(self.prefix / "system.reg", r"Software\Wine\Ports", "COM1", None)
        for n in range(1, 10):
            link = self.prefix / "dosdevices" / f"com{n}"
            if link.is_symlink():
                link.unlink()
        if self.xvfb is not None:
            end_process(self.xvfb)  # terminated, it removes its lock

    def windows(self, title):
        """Ids of the X windows named exactly `title`."""
        found = subprocess.run(["xdotool", "search", "--name", f"^{title}$"], env=self.env,
                               capture_output=True, text=True)
        return found.stdout.split()

    def probe(self, command, title, *args):
        """xr_winprobe COMMAND TITLE ARGS...: (exit status, output)."""
        done = self.run("wine", str(self.win_build / "tests" / "xr_winprobe.exe"), command, title,
                        *[str(a) for a in args], text=True, timeout=150)
        return done.returncode, done.stdout.replace("\r", "")

    def windows_path(self, path):
        return self.run("winepath", "-w", str(path), text=True).stdout.strip()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *[str(a) for a in args]], env=self.env, capture_output=True,
                              text=True, timeout=30)

    def geometry(self, title):
        """The X window `title`'s (x, y, width, height), or None without one."""
        ids = self.windows(title)
        if not ids:
            return None
        shown = dict(re.findall(r"(\w+)=(-?\d+)", self.xdotool("getwindowgeometry", "--shell", ids[0]).stdout))
        if not all(k in shown for k in ("X", "Y", "WIDTH", "HEIGHT")):
            return None
        return tuple(int(shown[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def other_windows(self, *known):
        """Names of the X windows with a name other than `known` (a message box)."""
        names = []
        for window in self.xdotool("search", "--name", ".").stdout.split():
            name = self.xdotool("getwindowname", window).stdout.strip()
            if name and name not in known and name != "Default IME":
                names.append(name)
        return names

    def is_active(self, title):
        return self.probe("active", title)[0] == 0

    def keys(self, title, *keys):
        """Keys to the window `title`, once Wine has made it the foreground window."""
        ids = self.windows(title)
        assert ids, f"no window {title!r} to type into"
        self.xdotool("windowfocus", "--sync", ids[0])
        wait_for(lambda: self.is_active(title), 10, f"{title!r} to take the focus")
        self.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", 5, text)

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", x, y, "click", 1)

    def activate(self, title, bottom=False):
        """A click on the caption bar, as the user makes a window the active one
        (Wine takes its foreground window from clicks on windows it draws, not
        from the X focus alone); `bottom`: on its lower left corner instead, for
        a dialog whose caption the main window may cover."""
        place = self.geometry(title)
        assert place, f"no window {title!r} to click"
        x, y, width, height = place
        self.click(x + 6, y + height - 6) if bottom else self.click(x + width // 3, y + 10)

    def click_dlu(self, title, size_dlu, at_dlu):
        """A click on a dialog control by its place in dialog units: the unit's
        size comes from the dialog's measured width (the vertical unit is close
        to it in the dialog fonts Wine substitutes)."""
        place = self.geometry(title)
        assert place, f"no dialog {title!r} to click"
        x, y, width, height = place
        border = 3
        unit = (width - 2 * border) / size_dlu[0]
        caption = height - 2 * border - size_dlu[1] * unit
        self.click(int(x + border + at_dlu[0] * unit), int(y + border + caption + at_dlu[1] * unit))

    def grab(self, crop, *convert):
        return subprocess.run(["import", "-window", "root", "-crop", crop, "+repage", *convert],
                              env=self.env, capture_output=True, timeout=30).stdout

    def caption_colour(self, title):
        """The mean colour of the window's caption bar (flashing toggles it
        between the active and the inactive colour)."""
        place = self.geometry(title)
        if place is None:
            return None
        x, y, width, _ = place
        shown = self.grab(f"{width - 8}x6+{x + 4}+{y + 6}", "-resize", "1x1!", "-depth", "8", "txt:-")
        found = re.search(rb"#[0-9A-Fa-f]{6}", shown)
        return found.group().decode() if found else None


# Named apart from the page tests' own screenshot folder (fixtures_web's artifacts).
@pytest.fixture(scope="session")
def win_artifacts(wine):
    folder = wine.win_build / "artifacts"
    folder.mkdir(exist_ok=True)
    return folder


@pytest.fixture
def shot(wine, win_artifacts):
    """shot(NAME): the top-left part of the screen, where the window and its
    dialogs are, to artifacts/NAME.png once what is drawn there has settled
    (or after 3 s, for a window that keeps changing)."""

    def take(name):
        picture, deadline = None, time.monotonic() + 3
        while time.monotonic() < deadline:
            again = wine.grab("640x440+0+0", "png:-")
            if again and again == picture:
                break
            picture = again
        (win_artifacts / f"{name}.png").write_bytes(picture or b"")

    return take


@pytest.fixture(scope="session")
def japanese_fonts(wine):
    """The Japanese dialogs' fonts are Windows fonts: the prefix shows them in
    IPA Gothic (fonts-ipafont-gothic). The names are not ASCII: they go in as a
    UTF-16 registry file."""
    lines = ["Windows Registry Editor Version 5.00", "",
             r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]",
             '"ＭＳ Ｐゴシック"="IPAPGothic"', '"ＭＳ ゴシック"="IPAGothic"', ""]
    reg = wine.folder / "fonts.reg"
    reg.write_bytes(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
    wine.run("wine", "regedit", "/S", wine.windows_path(reg))


@pytest.fixture
def no_serial_ports(wine):
    """COM1 to COM9 lead nowhere for the test (the mount manager mapped any
    serial device of the machine at the session's start); COM1 leads to the
    session's line again afterwards."""
    dosdevices = wine.prefix / "dosdevices"
    kept = {}
    for n in range(1, 10):
        link = dosdevices / f"com{n}"
        if link.is_symlink():
            kept[link] = os.readlink(link)
            link.unlink()
        link.symlink_to("/nonexistent/xr-no-port")
    yield
    for n in range(1, 10):
        link = dosdevices / f"com{n}"
        link.unlink()
        if link in kept:
            link.symlink_to(kept[link])


NOTEPAD_TITLE = "Untitled - Notepad"


@pytest.fixture
def notepad(wine, work):
    """Wine's Notepad beside the main window, to hold the focus while the
    program works behind it."""
    for name, value in (("iWindowPosX", 500), ("iWindowPosY", 300), ("iWindowPosDX", 400), ("iWindowPosDY", 300)):
        wine.run("wine", "reg", "add", r"HKCU\Software\Microsoft\Notepad", "/v", name, "/t", "REG_DWORD",
                 "/d", str(value), "/f")
    process = subprocess.Popen(["wine", "notepad"], cwd=work, env=wine.env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: wine.windows(NOTEPAD_TITLE), 30, "Notepad's window")
        yield NOTEPAD_TITLE
    finally:
        process.kill()
        process.wait()
        wait_for(lambda: not wine.windows(NOTEPAD_TITLE), 20, "Notepad's window to go")


@pytest.fixture
def paced_instrument(wine, instruments):
    """xrsim on COM1, each reply 60 ms late, its system at version 1.00: a
    SYSTEM update takes a few seconds, an ALL update (128 packets) about ten."""
    sim = instruments("--delay", "all:60", "--system-version", "1.00")
    wine.connect_com1(sim.pty)
    return sim


def wait_image(sim, data, what):
    """The instrument holds `data` byte for byte (it saves an image at its end)."""
    wait_for(lambda: sim.received() == data, 10, f"the instrument to hold {what} byte for byte")


def ended(process, timeout=20):
    """True when the process ends within `timeout` seconds."""
    try:
        process.wait(timeout)
        return True
    except subprocess.TimeoutExpired:
        return False


def holds(predicate, seconds):
    """True when predicate stays true for `seconds` (nothing happens that should not)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not predicate():
            return False
        time.sleep(0.05)
    return bool(predicate())


@pytest.fixture(scope="session")
def wine(request):
    win_build = pathlib.Path(request.config.getoption("--win-build")).resolve()
    for needed in ("xrupdate.exe", "tests/xr_winprobe.exe"):
        if not (win_build / needed).exists():
            pytest.fail(f"{win_build / needed} is missing: build the Windows program first")
    for tool in ("Xvfb", "xdotool", "wine", "wineserver"):
        if shutil.which(tool) is None:
            pytest.fail(f"{tool} is missing")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="xr-wine-tests."))
    session = Wine(win_build, folder)
    try:
        session.start()
        yield session
    finally:
        session.stop()
        shutil.rmtree(folder, ignore_errors=True)


class WinProgram:
    """xrupdate.exe in a folder of its own (its settings file beside it), on COM1."""

    def __init__(self, wine, folder):
        self.wine = wine
        self.folder = folder
        self.started = []
        shutil.copy(wine.win_build / "xrupdate.exe", folder / "xrupdate.exe")
        (folder / "xrupdate.ini").write_bytes(
            b"[XR3300/R SystemUpdate Utility]\r\nComPortNum=1\r\nDeviceType=0\r\nWarning=0\r\n")

    def start(self, *args, env=None):
        """Starts a copy (a first one, or a second that hands over); its process."""
        out = open(self.folder / f"run{len(self.started)}.out", "wb")
        process = subprocess.Popen(["wine", "./xrupdate.exe", *[str(a) for a in args]], cwd=self.folder,
                                   env=dict(self.wine.env, **(env or {})), stdout=out, stderr=out)
        out.close()
        self.started.append(process)
        return process

    def start_main(self, *args, **options):
        process = self.start(*args, **options)
        try:
            self.wait_window(MAIN_TITLE, 60)
        except pytest.fail.Exception:
            # say what was there instead: the program's own output, its end
            output = (self.folder / f"run{len(self.started) - 1}.out").read_bytes()[-2000:]
            pytest.fail(f"no main window within {60 * PATIENCE:.0f} s; the program "
                        f"{'is running' if process.poll() is None else f'ended with {process.returncode}'}"
                        f", its output: {output.decode(errors='replace')!r}")
        return process

    def run_second(self, *args, timeout=30):
        """A second copy, run to its end: its exit status."""
        return self.start(*args).wait(timeout * PATIENCE)

    def keys(self, *keys, title=MAIN_TITLE):
        self.wine.keys(title, *keys)

    def starts(self):
        return len(re.findall(r"Starting \w+ transfer of file", self.log()))

    def started_files(self):
        return re.findall(r"Starting \w+ transfer of file (.*)\r\n", self.log())

    def settings(self):
        return (self.folder / "xrupdate.ini").read_bytes().decode("cp932", "replace").replace("\r", "")

    def hand_over(self, path):
        """A second copy hands `path` over (with /h, so no window comes to the front)."""
        second = self.start("/h", self.wine.windows_path(path))
        assert second.wait(60 * PATIENCE) == 0

    def exists(self, title):
        return bool(self.wine.windows(title))

    def wait_window(self, title, timeout=20):
        wait_for(lambda: self.exists(title), timeout, f"the window {title!r}")

    def wait_gone(self, title, timeout=20):
        wait_for(lambda: not self.exists(title), timeout, f"the window {title!r} to close")

    def stays_away(self, title, seconds):
        """True when no window `title` shows up within `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.exists(title):
                return False
            time.sleep(0.1)
        return True

    def probe(self, command, title=MAIN_TITLE, *args):
        return self.wine.probe(command, title, *args)

    def post(self, command_id, lparam=0):
        assert self.probe("post-command", MAIN_TITLE, command_id, lparam)[0] == 0

    def press(self, title, button):
        assert self.probe("press", title, button)[0] == 0

    def log(self):
        path = self.folder / "vup_log.txt"
        return path.read_bytes().decode("cp932", "replace") if path.exists() else ""

    def count(self, entry):
        return self.log().count(entry)

    def wait_log(self, entry, times=1, timeout=60):
        wait_for(lambda: self.count(entry) >= times, timeout, f"{times} x {entry!r} in the log")

    def stop(self):
        for process in self.started:
            if process.poll() is None:
                process.kill()
                process.wait()


@pytest.fixture
def winprog(wine, work):
    """The Windows program in the test's private folder; ended at the end."""
    program = WinProgram(wine, work)
    yield program
    program.stop()
    # Nothing of this test may linger into the next (a window, a dialog).
    wait_for(lambda: not wine.windows(MAIN_TITLE), 20, "the program's window to go")
