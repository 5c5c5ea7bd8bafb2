"""--batch with several instruments: each simulated instrument on a pty gets the
file byte for byte from a run of its own, one instrument's failure or silence
never stops the others, a stop stops them all, the log keeps every entry whole
with its device, each run keeps its own packet copy, and the exit status is the
first failure's in the order named."""

import fcntl
import json
import os
import pathlib
import pty
import re
import select
import shutil
import signal
import subprocess
import time

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


def test_a_usage_error_of_one_instrument_ends_the_command_before_any_is_touched(work, instruments, xrupdate):
    sim = instruments()
    update = make_update(work / "a.sys")
    ini = write_ini(work / "x.ini", [sim.pty])
    for names, said in (([sim.pty, sim.pty], "; each instrument is named once"),
                        ([sim.pty, "COM1"], "; each instrument is named once"),
                        (["/nonexistent/a", sim.pty, "/nonexistent/a"], "; each instrument is named once"),
                        ([sim.pty, "/dev/" + "a" * 5000], ": --port: the device path is longer than 255 bytes")):
        result = xrupdate("--batch", update, *ports_of(*names), "--ini", ini)
        assert result.returncode == 2, result.stderr
        assert lines_of(result.stderr)[-1].endswith(said), result.stderr
    sim.stop()
    assert sim.received() == b""


def children_of(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return []


def test_a_stop_at_any_moment_of_the_start_aborts_every_run(build, work, instruments):
    sims = [instruments("--line-speed", "460800") for _ in range(4)]
    update = make_update(work / "a.sys")
    # From the moment the first run exists (forked, maybe not yet the program
    # again) to when all have their signal handling: a stop is never lost.
    for delay in (0.0, 0.0005, 0.001, 0.002, 0.004, 0.008, 0.016, 0.03, 0.06):
        run = subprocess.Popen([str(build / "xrupdate"), "--batch", str(update), *ports_of(*sims), "--json",
                                "--ini", str(work / "x.ini")], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for(lambda: children_of(run.pid) or run.poll() is not None, 30, "the first run to start")
        deadline = time.monotonic() + delay
        while time.monotonic() < deadline:
            pass
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=60)
        objects = strict_objects(out)
        assert run.returncode == 7, (delay, err)
        assert [o["outcome"] for o in objects[:-1]] == ["aborted"] * 4, (delay, objects)
    for sim in sims:
        sim.stop()
        assert sim.received() == b""  # no update went through


def test_a_label_cannot_pass_for_another_instruments_line(work, instruments, xrupdate):
    sim = instruments()
    update = make_update(work / "a.sys")
    fake = "/nonexistent/x] complete, 32 of 32 packets"
    result = xrupdate("--batch", update, *ports_of(sim, fake), "--ini", work / "x.ini")
    assert result.returncode == 4
    err = lines_of(result.stderr)
    assert "[/nonexistent/x\\x5d complete, 32 of 32 packets] link-not-opened: --port /nonexistent/x] complete, " \
        "32 of 32 packets: does not exist; no other port is used" in err, err
    assert not any(line.startswith("[/nonexistent/x] ") for line in err)


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


def test_more_instruments_than_rows_are_summed_up_in_the_last_line(work, instruments, front_end):
    sims = [instruments("--line-speed", "460800") for _ in range(12)]
    update = make_update(work / "a.sys")
    ui = front_end("--batch", str(update), *ports_of(*sims), "--ini", str(work / "x.ini"), size=(100, 10),
                   wait_title=False)
    wait_for(lambda: re.search(r"\.\.\. and 4 more: \d+ complete, \d+ failed, \d+ going", ui.screen()), 60,
             "the line that sums up the instruments left out")
    lines = lambda: [r for r in ui.screen().splitlines() if re.match(r"/dev/pts/\d+  \d+%  Packet", r)]
    wait_for(lambda: len(lines()) == 8, 60, "eight lines of progress")
    ui.wait_screen("[exit 0]", 120)
    assert "Updated 12 of 12 instruments." in ui.screen()


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
    checked = update.read_bytes()
    other = make_update(work / "other.sys")
    old = work / "old-dev"
    old.mkdir()
    argv = in_own_dev(build, links, "--batch", str(update), "--all", "--timeout", "3000", "--json",
                      "--ini", str(work / "x.ini"))
    run = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, OLD=str(old)))
    # The file is replaced while the search waits for the silent lines: the
    # instruments still get the file that was checked.
    master = silent[0][0]
    ready = select.select([master], [], [], 30)[0]
    if ready:
        os.replace(other, update)
    out, err = run.communicate(timeout=120)
    if run.returncode != 0 and b"unshare" in err:
        pytest.skip(f"no mount namespace here: {err.decode(errors='replace')}")
    assert ready, "the search asked no silent line"
    result = subprocess.CompletedProcess(argv, run.returncode, out, err)
    objects = strict_objects(result.stdout)
    assert result.returncode == 0, result.stderr
    assert sorted(o["device"] for o in objects[:-1]) == ["/dev/ttyACM3", "/dev/ttyUSB0"]
    assert objects[-1]["tried"] == 2 and objects[-1]["completed"] == 2
    for sim in sims:
        sim.stop()
        assert sim.received() == checked
    for master, slave in silent:
        os.close(master)
        os.close(slave)
