"""--json: exactly one object per run of --query, --dry-run and --batch, also
when the run fails, read by a strict JSON reader; one style of field names; a
reason whenever the exit status is not 0."""

import json
import os

import pytest

from conftest import lines_of, make_update, write_ini

KEYS = {"command", "file", "exit", "outcome", "accepted", "link", "versions", "packets", "reason",
        "tried", "answered"}


def strict_objects(data):
    objects = []
    for line in lines_of(data):
        def refuse(constant):
            raise ValueError(f"not JSON: {constant}")
        objects.append(json.loads(line, parse_constant=refuse))
    return objects


def one_object(result):
    objects = strict_objects(result.stdout)
    assert len(objects) == 1, result.stdout
    obj = objects[0]
    assert set(obj) <= KEYS, obj
    assert obj["exit"] == result.returncode
    if obj["exit"] != 0:
        assert obj.get("reason"), obj
    return obj


def test_every_run_gives_one_object_whatever_happens(work, instruments, xrupdate):
    sim = instruments("--system-version", "2.00")
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "new.sys", 0, 3, 0)
    make_update(work / "old.sys", 0, 1, 0)
    os.mkdir(work / "folder.sys")
    ok = one_object(xrupdate("--query", "--json", "--ini", ini))
    assert ok["versions"] == {"system": "2.00", "user": "1.00", "pcm": "1.00"}
    assert ok["link"] == {"kind": "serial", "port": "COM1", "device": sim.pty, "baud": 38400}
    # The same device named by its path is still COM1's; another path is no port's.
    named = one_object(xrupdate("--query", "--json", "--port", sim.pty, "--ini", ini))
    assert named["link"]["port"] == "COM1"
    os.symlink(sim.pty, work / "inst")
    other = one_object(xrupdate("--query", "--json", "--port", work / "inst", "--ini", ini))
    assert other["link"]["port"] is None and other["link"]["device"] == str(work / "inst")

    accepted = one_object(xrupdate("--dry-run", "--json", "new.sys", "--ini", ini))
    assert accepted["accepted"] is True and accepted["file"] == str(work / "new.sys")
    refused = one_object(xrupdate("--dry-run", "--json", "old.sys", "--ini", ini))
    assert refused["exit"] == 6 and refused["outcome"] == "version-refused" and refused["accepted"] is False

    missing = one_object(xrupdate("--batch", "--json", "gone.sys", "--ini", ini))
    assert missing["exit"] == 2 and missing["file"] == str(work / "gone.sys")
    assert "no such file" in missing["reason"]
    folder = one_object(xrupdate("--batch", "--json", "folder.sys", "--ini", ini))
    assert folder["exit"] == 2 and "is a directory" in folder["reason"]
    no_port = one_object(xrupdate("--query", "--json", "--port", "/nonexistent/tty", "--ini", ini))
    assert no_port["exit"] == 4 and no_port["reason"].startswith("--port /nonexistent/tty: does not exist")
    no_midi = one_object(xrupdate("--query", "--json", "--midi-out", "Nothing", "--ini", ini))
    assert no_midi["exit"] == 4 and "Nothing" in no_midi["reason"]
    usage = one_object(xrupdate("--batch", "--json", "--bogus", "new.sys"))
    assert usage["exit"] == 2 and usage["outcome"] == "usage" and "--bogus" in usage["reason"]
    too_long = one_object(xrupdate("--query", "--json", "--port", "/dev/" + "x" * 300, "--ini", ini))
    assert too_long["exit"] == 2 and "longer than" in too_long["reason"]

    done = one_object(xrupdate("--batch", "--json", "new.sys", "--ini", ini))
    assert done["outcome"] == "complete" and done["packets"] == {"done": 32, "total": 32}
    assert sim.received() == (work / "new.sys").read_bytes()


def test_find_ends_with_a_summary(work, instruments, xrupdate):
    sim = instruments()
    result = xrupdate("--find", "--json", "--port", sim.pty, "--port", "/nonexistent/tty", "--ini", work / "x.ini")
    objects = strict_objects(result.stdout)
    assert result.returncode == 0
    assert objects[0]["command"] == "find" and objects[0]["link"]["device"] == sim.pty
    assert objects[-1] == {"command": "find", "tried": 1, "answered": 1, "exit": 0, "outcome": "complete"}
    none = xrupdate("--find", "--json", "--port", "/nonexistent/tty", "--ini", work / "x.ini")
    assert none.returncode == 4
    assert strict_objects(none.stdout) == [{"command": "find", "tried": 0, "answered": 0, "exit": 4,
                                            "outcome": "link-not-opened", "reason": "no device to try"}]


@pytest.mark.parametrize("name", ["tab\there", "new\nline", "esc\x1b[31m", 'quote" back\\slash', "\xe9\xff"])
def test_hostile_names_stay_valid_json_and_text_stays_one_line(work, instruments, xrupdate, name):
    sim = instruments()
    link = work / name.encode("latin-1").decode("utf-8", "surrogateescape")
    os.symlink(sim.pty, link)
    result = xrupdate("--query", "--json", "--port", link, "--ini", work / "x.ini")
    assert result.returncode == 0, result.stderr
    assert one_object(result)["versions"]["system"] == "1.00"
    text = xrupdate("--query", "--port", link, "--ini", work / "x.ini")
    link_lines = [line for line in lines_of(text.stderr) if line.startswith("xrupdate: link: ")]
    assert len(link_lines) == 1 and len(lines_of(text.stderr)) == 1, text.stderr
    assert "\x1b" not in text.stderr.decode("utf-8", "replace")
