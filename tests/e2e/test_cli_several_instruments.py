"""--batch with several instruments: each simulated instrument on a pty gets the
file byte for byte from a run of its own, one instrument's failure or silence
never stops the others, a stop stops them all, the log keeps every entry whole
with its device, each run keeps its own packet copy, and the exit status is the
first failure's in the order named."""

import fcntl
import json
import os
import pty
import re
import shutil
import signal
import subprocess

import pytest

from conftest import lines_of, make_update, wait_for, write_ini


def ports_of(*sims):
    return [arg for sim in sims for arg in ("--port", sim if isinstance(sim, str) else sim.pty)]


def strict_objects(data):
    """Each stdout line as a JSON object; a repeated key is an error."""
    def no_repeats(pairs):
        keys = [k for k, _ in pairs]
        assert len(keys) == len(set(keys)), keys
        return dict(pairs)
    return [json.loads(line, object_pairs_hook=no_repeats) for line in lines_of(data)]


def log_entries(work):
    """The support log's entries (banners left out), each as written."""
    text = (work / "vup_log.txt").read_bytes().decode("latin-1")
    entries = [e for e in text.split("\r\n\r\n") if e.strip()]
    return [e.lstrip("\r\n") for e in entries if not e.lstrip("\r\n").startswith("****")]


def test_every_instrument_gets_the_file_and_its_own_packet_copy(work, instruments, xrupdate):
    sims = [instruments() for _ in range(3)]
    update = make_update(work / "a.sys")
    result = xrupdate("--batch", update, *ports_of(*sims), "--ini", work / "x.ini")
    assert result.returncode == 0, result.stderr
    for sim in sims:
        sim.stop()
        assert sim.received() == update.read_bytes()
    out, err = lines_of(result.stdout), lines_of(result.stderr)
    assert out[-1] == "Updated 3 of 3 instruments."
    labels = {f"[{sim.pty}] " for sim in sims}
    assert all(line[:line.index("] ") + 2] in labels for line in out[:-1] + err), out + err
    assert [line for line in err if "complete," in line] == [f"[{s.pty}] complete, 32 of 32 packets" for s in sims]
    # Each run's copy of its last packet is whole: one SysEx message, the same for all.
    copies = [(work / name).read_bytes() for name in ("test.dat", "test-2.dat", "test-3.dat")]
    assert copies[0][0] == 0xF0 and copies[0][-1] == 0xF7 and copies[0].count(0xF7) == 1
    assert copies[1] == copies[0] and copies[2] == copies[0]


def test_the_log_has_every_run_whole_and_in_its_order(work, instruments, xrupdate):
    alone = instruments()
    update = make_update(work / "a.sys")
    assert xrupdate("--batch", update, "--port", alone.pty, "--ini", work / "x.ini").returncode == 0
    single = log_entries(work)
    (work / "vup_log.txt").unlink()
    sims = [instruments() for _ in range(4)]
    assert xrupdate("--batch", update, *ports_of(*sims), "--ini", work / "x.ini").returncode == 0
    entries = log_entries(work)
    assert len(entries) == 4 * len(single)
    for sim in sims:
        tag = f"[{sim.pty}] "
        own = [e[len(tag):] for e in entries if e.startswith(tag)]
        assert own == [e.replace(alone.pty, sim.pty) for e in single]
    banners = (work / "vup_log.txt").read_bytes().count(b"** XR3300/R SystemUpdate Utility v1.3 started on")
    assert banners == 4


FAILURES = [
    (["--status", "packet:3:1"], 5, "device-error after 3 of 32 packets"),
    (["--silent", "packet:5"], 5, "device-error after 5 of 32 packets"),
    (["--close", "packet:2"], 5, "device-error"),
    (["--system-version", "3.00"], 6, "version-refused"),
]


@pytest.mark.parametrize("fault,status,said", FAILURES, ids=[f[0][0] for f in FAILURES])
def test_one_instrument_failing_leaves_the_others_their_update(work, instruments, xrupdate, fault, status, said):
    good = [instruments(), instruments()]
    bad = instruments(*fault)
    update = make_update(work / "a.sys")
    result = xrupdate("--batch", update, *ports_of(good[0], bad, good[1]), "--ini", work / "x.ini", timeout=120)
    assert result.returncode == status, result.stderr
    for sim in good:
        sim.stop()
        assert sim.received() == update.read_bytes()
    err = lines_of(result.stderr)
    assert any(line.startswith(f"[{bad.pty}] {said}") for line in err), err
    assert lines_of(result.stdout)[-1] == "Updated 2 of 3 instruments."


def test_a_busy_or_missing_port_fails_alone_and_the_first_failure_named_decides(work, instruments, xrupdate):
    good, held = instruments(), instruments()
    fd = os.open(held.pty, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    update = make_update(work / "a.sys")
    result = xrupdate("--batch", update, *ports_of("/nonexistent/tty", held, good), "--json",
                      "--ini", work / "x.ini")
    os.close(fd)
    objects = strict_objects(result.stdout)
    assert result.returncode == 4
    by_device = {o["device"]: o for o in objects[:-1]}
    assert sorted(by_device) == sorted(["/nonexistent/tty", held.pty, good.pty])
    assert by_device[good.pty]["exit"] == 0 and by_device[good.pty]["packets"] == {"done": 32, "total": 32}
    assert "is in use by another program" in by_device[held.pty]["reason"]
    assert by_device["/nonexistent/tty"]["exit"] == 4
    assert objects[-1] == {"command": "batch", "file": str(update), "tried": 3, "completed": 1, "failed": 2,
                           "exit": 4, "outcome": "link-not-opened"}
    good.stop()
    assert good.received() == update.read_bytes()


def test_one_device_named_twice_is_a_usage_error(work, instruments, xrupdate):
    sim = instruments()
    update = make_update(work / "a.sys")
    ini = write_ini(work / "x.ini", [sim.pty])
    for names in ([sim.pty, sim.pty], [sim.pty, "COM1"]):
        result = xrupdate("--batch", update, *ports_of(*names), "--ini", ini)
        assert result.returncode == 2, result.stderr
        assert lines_of(result.stderr)[-1].endswith("; each instrument is named once")
    sim.stop()
    assert sim.received() == b""


def test_a_stop_stops_every_instrument_after_its_packet(build, work, instruments):
    sims = [instruments("--line-speed", "230400") for _ in range(3)]
    update = make_update(work / "a.sys")
    run = subprocess.Popen([str(build / "xrupdate"), "--batch", str(update), *ports_of(*sims),
                            "--ini", str(work / "x.ini")], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: (work / "vup_log.txt").exists() and
             (work / "vup_log.txt").read_bytes().count(b"Sent packet 2 of 32") >= 3, 60,
             "every instrument's second packet")
    run.send_signal(signal.SIGINT)
    out, err = run.communicate(timeout=60)
    assert run.returncode == 7, err
    err_lines = lines_of(err)
    for sim in sims:
        said = [line for line in err_lines if line.startswith(f"[{sim.pty}] xrupdate: the update was aborted after")]
        assert len(said) == 1, err_lines
        done = int(re.search(r"after packet (\d+) of 32", said[0]).group(1))
        assert 2 <= done < 32
    log = (work / "vup_log.txt").read_text(errors="replace")
    assert all(f"[{sim.pty}] User aborted update" in log for sim in sims)
    assert lines_of(out)[-1] == "Updated 0 of 3 instruments."


def test_the_terminal_shows_one_line_per_instrument(work, instruments, front_end):
    sims = [instruments("--line-speed", "460800") for _ in range(3)]
    update = make_update(work / "a.sys")
    ui = front_end("--batch", str(update), *ports_of(*sims), "--ini", str(work / "x.ini"), wait_title=False)
    rows = lambda: [r for r in ui.screen().splitlines() if re.match(r"/dev/pts/\d+  \d+%  Packet \d+ of 32", r)]
    wait_for(lambda: len(rows()) == 3, 60, "a line of progress per instrument")
    ui.wait_screen("[exit 0]", 120)
    screen = ui.screen()
    assert "Updated 3 of 3 instruments." in screen
    assert [f"[{sim.pty}] complete, 32 of 32 packets" in screen for sim in sims] == [True] * 3
    assert not re.search(r"\d+%  Packet", screen), screen  # the live lines were cleared at the end


def in_own_dev(build, links, *args):
    """The program as root in a mount namespace of its own whose /dev holds only
    `links` (name -> pty), null and the ptys: what --all finds there."""
    script = ["mount --rbind /dev \"$OLD\"", "mount -t tmpfs none /dev", "mknod -m 666 /dev/null c 1 3",
              "mkdir /dev/pts", "mount --rbind \"$OLD/pts\" /dev/pts"]
    script += [f"ln -s {target} /dev/{name}" for name, target in links.items()]
    script.append('exec "$@"')
    return ["unshare", "--mount", "--propagation", "private", "sh", "-ec", "; ".join(script), "sh",
            str(build / "xrupdate"), *args]


def test_all_updates_every_instrument_found_and_passes_over_silent_ports(build, work, instruments):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare for a /dev of its own")
    sims = [instruments(), instruments()]
    silent = [pty.openpty() for _ in range(2)]
    links = {"ttyUSB0": sims[0].pty, "ttyS1": os.ttyname(silent[0][1]), "ttyACM3": sims[1].pty,
             "ttyS2": os.ttyname(silent[1][1])}
    update = make_update(work / "a.sys")
    old = work / "old-dev"
    old.mkdir()
    argv = in_own_dev(build, links, "--batch", str(update), "--all", "--timeout", "500", "--json",
                      "--ini", str(work / "x.ini"))
    result = subprocess.run(argv, capture_output=True, env=dict(os.environ, OLD=str(old)), timeout=120)
    if result.returncode != 0 and b"unshare" in result.stderr:
        pytest.skip(f"no mount namespace here: {result.stderr.decode(errors='replace')}")
    objects = strict_objects(result.stdout)
    assert result.returncode == 0, result.stderr
    assert sorted(o["device"] for o in objects[:-1]) == ["/dev/ttyACM3", "/dev/ttyUSB0"]
    assert objects[-1]["tried"] == 2 and objects[-1]["completed"] == 2
    for sim in sims:
        sim.stop()
        assert sim.received() == update.read_bytes()
    for master, slave in silent:
        os.close(master)
        os.close(slave)
