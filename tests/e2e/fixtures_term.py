"""The terminal front end in tmux: started in a session of its own, its screen
read with capture-pane, keys sent with send-keys."""

import os
import shlex
import subprocess

import pytest

from conftest import wait_for


class FrontEnd:
    def __init__(self, build, work, server, name, args, env):
        self.server = server
        self.name = name
        launcher = work / f"front-end-{name}.sh"
        exported = "".join(f"export {k}={shlex.quote(v)}\n" for k, v in env.items())
        command = " ".join(shlex.quote(str(a)) for a in [build / "xrupdate", *args])
        launcher.write_text(f"{exported}cd {shlex.quote(str(work))}\n{command}\necho \"[exit $?]\"\nsleep 600\n")
        self.tmux("-u", "new-session", "-d", "-s", name, "-x", "100", "-y", "30", f"LC_ALL=C.UTF-8 bash {launcher}")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.server, *args], capture_output=True, text=True)

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", self.name).stdout

    def wait_screen(self, text, timeout=15):
        return wait_for(lambda: text in self.screen(), timeout, f"{text!r} on the screen")

    def keys(self, *keys):
        self.tmux("send-keys", "-t", self.name, *keys)


@pytest.fixture
def front_end(build, work):
    """Starts the front end: front_end(*args) -> FrontEnd, once its title shows."""
    server = f"xr-e2e-{os.getpid()}-{id(work)}"
    started = []
    env = {k: os.environ[k] for k in ("XDG_RUNTIME_DIR", "HOME") if k in os.environ}

    def start(*args, name="main"):
        ui = FrontEnd(build, work, server, name, args, env)
        started.append(ui)
        ui.wait_screen("XR3300/R SystemUpdate Utility v1.3")
        return ui

    yield start
    subprocess.run(["tmux", "-L", server, "kill-server"], capture_output=True)
