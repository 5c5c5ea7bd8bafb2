"""Fixtures of the Windows program's tests under Wine: a Wine prefix, a
virtual X display, the program in a private folder with its settings file
beside it, COM1 mapped to any pseudo-terminal (a simulated instrument, a
chattering line), and the test tool xr_winprobe that looks at and talks to
the program's windows from the outside as another program would.

    /usr/bin/python3 -m pytest tests/e2e/test_win32_*.py --build-dir build/native --win-build build/win64
"""

import os
import pathlib
import shutil
import subprocess
import tempfile
import time

import pytest

from conftest import ROOT, wait_for

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
        return subprocess.run(list(args), env=self.env, timeout=timeout, capture_output=True, **options)

    def start(self):
        for n in range(121, 160):
            if os.path.exists(f"/tmp/.X{n}-lock"):
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
        self.com1.symlink_to("/nonexistent/xr-no-line")
        self.run("wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM1", "/t", "REG_SZ",
                 "/d", str(self.com1), "/f")
        self.run("wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        self.run("wineserver", "-w")
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
        self.run("wine", "reg", "delete", r"HKLM\Software\Wine\Ports", "/v", "COM1", "/f")
        self.run("wineserver", "-w")
        for n in range(1, 10):
            link = self.prefix / "dosdevices" / f"com{n}"
            if link.is_symlink():
                link.unlink()
        if self.xvfb is not None:
            self.xvfb.kill()
            self.xvfb.wait()

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
        self.wait_window(MAIN_TITLE, 60)
        return process

    def hand_over(self, path):
        """A second copy hands `path` over (with /h, so no window comes to the front)."""
        second = self.start("/h", self.wine.windows_path(path))
        assert second.wait(60) == 0

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
