"""Shared fixtures of the end-to-end tests: the built programs, a private work
folder, update files and the simulated instrument on a pseudo-terminal.

Run with Debian's Python (it sees python3-pytest, -pexpect and -selenium):
    /usr/bin/python3 -m pytest tests/e2e --build-dir build/native

Fixtures of one topic (Wine, the browser) live in fixtures_TOPIC.py beside this
file and are loaded for every test file."""

import os
import pathlib
import subprocess
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent

pytest_plugins = sorted(p.stem for p in HERE.glob("fixtures_*.py"))


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=os.environ.get("XR_BUILD", str(ROOT / "build" / "native")),
                     help="the native build folder (xrupdate, xrsim)")


def pytest_configure(config):
    config.addinivalue_line("markers", "i686: the Windows program's tests that also run against the i686 build "
                                       "(its own code paths: whole updates, one transfer at a time, the "
                                       "Japanese resources, command-line paths)")


@pytest.fixture(scope="session")
def build(request):
    path = pathlib.Path(request.config.getoption("--build-dir")).resolve()
    for tool in ("xrupdate", "xrsim"):
        if not (path / tool).exists():
            pytest.fail(f"{path / tool} is missing: build first")
    return path


@pytest.fixture
def work(tmp_path, monkeypatch):
    """A private folder: the working directory, the runtime folder of the
    single-copy socket and HOME all lie inside it."""
    run = tmp_path / "run"
    run.mkdir(mode=0o700)
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(run))
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.delenv("XDG_CACHE_HOME", raising=False)
    monkeypatch.chdir(tmp_path)
    return tmp_path


# Deadlines are stretched where everything runs slower, as in an emulated
# guest (XR_E2E_PATIENCE=3 there): a deadline bounds a wait and is never what
# a test asserts, so a longer one cannot make a test pass that should fail.
PATIENCE = max(1.0, float(os.environ.get("XR_E2E_PATIENCE", "1") or 1))


def wait_for(predicate, timeout=10.0, what="the condition"):
    """Polls predicate until it is true; fails the test after timeout seconds
    (times the patience factor)."""
    timeout *= PATIENCE
    deadline = time.monotonic() + timeout
    while True:
        began = time.monotonic()
        value = predicate()
        if value:
            return value
        now = time.monotonic()
        if now >= deadline:
            pytest.fail(f"timed out after {timeout} s waiting for {what}")
        # A predicate that costs (one that starts a program to look, or asks the
        # browser) is asked less often: its polls take at most a quarter of the
        # wait, which in the emulated guest was most of the processor.
        time.sleep(max(0.02, 3 * (now - began)))


def make_update(path, attr=0, major=2, minor=0, size=None, fill=None):
    """An update file, version 2.00 unless told (newer than xrsim's own): the
    maker tag, the version, product id 0x58 and the attribute code, then data of
    the size the attribute code requires."""
    sizes = {0: 262144, 1: 393216, 2: 393216, 3: 1048576}
    size = sizes.get(attr, 262144) if size is None else size
    data = bytearray(os.urandom(size)) if fill is None else bytearray([fill]) * size
    data[0:8] = b"PELD" + bytes([major, minor, 0x58, attr])
    pathlib.Path(path).write_bytes(bytes(data))
    return pathlib.Path(path)


class Instrument:
    """xrsim on a pseudo-terminal: `pty` is its path, `image` what it received."""

    def __init__(self, build, folder, *options):
        self.image = pathlib.Path(folder) / f"image-{id(self)}.bin"
        self.log = pathlib.Path(folder) / f"xrsim-{id(self)}.err"
        with open(self.log, "w") as err:
            self.proc = subprocess.Popen([str(build / "xrsim"), "--image", str(self.image), *options],
                                         stdout=subprocess.PIPE, stderr=err, text=True)
        line = self.proc.stdout.readline().strip()
        if not line.startswith(("/dev/", "hw:")):
            raise RuntimeError(f"xrsim did not start: {line!r} {self.log.read_text()}")
        self.pty = line

    def messages_read(self):
        """How many messages the instrument has read (started with --trace): the
        end bytes of what came in (F7 is in no packed data byte)."""
        return sum(line.split().count("F7") for line in self.log.read_text().splitlines() if line.startswith("<"))

    def received(self):
        return self.image.read_bytes() if self.image.exists() else b""

    def stop(self):
        end_process(self.proc)
        self.proc.stdout.close()


def end_process(proc):
    """Terminates proc (killed when it does not end within 5 s) and waits for it."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture
def instruments(build, work):
    """Starts simulated instruments: instruments(*xrsim_options) -> Instrument."""
    started = []

    def start(*options):
        instrument = Instrument(build, work, *options)
        started.append(instrument)
        return instrument

    yield start
    for instrument in started:
        instrument.stop()


def write_ini(path, com_devices=(), **keys):
    """A settings file: COM1.. behind the given devices, any other keys as given."""
    lines = ["[XR3300/R SystemUpdate Utility]"]
    for n, device in enumerate(com_devices, start=1):
        lines.append(f"Com{n}Device={device}")
    for key, value in keys.items():
        lines.append(f"{key}={value}")
    pathlib.Path(path).write_text("\r\n".join(lines) + "\r\n")
    return pathlib.Path(path)


@pytest.fixture
def xrupdate(build, work):
    """Runs the Linux program to its end: xrupdate(*args, env=..., timeout=...) ->
    CompletedProcess with stdout and stderr as bytes."""

    def run(*args, env=None, timeout=60, stdin=subprocess.DEVNULL):
        full_env = dict(os.environ)
        full_env.update(env or {})
        argv = [str(build / "xrupdate")] + [a if isinstance(a, bytes) else str(a) for a in args]
        return subprocess.run(argv, stdin=stdin, capture_output=True, env=full_env, timeout=timeout)

    return run


def lines_of(data):
    """The lines of a program's output (bytes), without their line breaks."""
    return data.decode("utf-8", "replace").splitlines()
