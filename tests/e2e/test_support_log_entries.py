"""The support log as a technician reads it: every run that started has its
end entry (here: a line that goes away mid-update), and no name from
outside can forge an entry or put terminal escapes into the log."""

from conftest import make_update, write_ini


def entries(work):
    """The log's entries after its banner: blocks of lines between blank lines."""
    text = (work / "vup_log.txt").read_bytes().decode("utf-8", "replace")
    body = text.split("****************\r\n")[-1]
    return [block for block in body.split("\r\n\r\n") if block.strip()]


def test_a_line_that_goes_away_mid_update_ends_the_run_in_the_log(work, instruments, xrupdate):
    sim = instruments("--close", "packet:6")  # the adapter unplugged after packet 6
    ini = write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")
    run = xrupdate("-q", "--batch", "a.sys", "--ini", ini)
    assert run.returncode == 5, run.stderr
    logged = entries(work)
    assert logged[-2] == "Sent packet 6 of 32..."
    assert logged[-1] in ("Update failed : Receive Error", "Update failed : Transmit Error"), logged[-3:]


def test_a_file_name_cannot_forge_an_entry_or_drive_a_terminal(work, instruments, xrupdate):
    sim = instruments("--system-version", "9.00")  # the update is refused: it must not read as done
    ini = write_ini(work / "x.ini", [sim.pty])
    name = "a\r\n\r\nUpdate completed successfully.\r\n\r\n\x1b]0;owned\x07\x1b[2J.sys"
    make_update(work / name)
    run = xrupdate("--batch", name, "--ini", ini)
    assert run.returncode == 6
    raw = (work / "vup_log.txt").read_bytes()
    assert b"\x1b" not in raw and b"\x07" not in raw
    logged = entries(work)
    assert "Update completed successfully." not in logged
    start = [entry for entry in logged if entry.startswith("Starting serial transfer of file ")]
    assert len(start) == 1
    assert "a\\r\\n\\r\\nUpdate completed successfully.\\r\\n\\r\\n\\x1b]0;owned\\x07\\x1b[2J.sys" in start[0]
    assert logged[-1].startswith("Version check failed.")
