"""Paths named on the Windows program's command line: a path written with
"/" (relative, or with its drive) names the file it names, a drive-relative
path keeps its drive, a path whose characters have "\\" as their second byte (a
double-byte code page) is walked by whole characters, and a short name whose
full path is over 259 characters is refused with the message that says so."""

import re

import pytest

from conftest import make_update
from fixtures_wine import BOX_TITLE, MAIN_TITLE, OK, ended, wait_image

# Run against the i686 build too: it has these code paths of its own.
pytestmark = pytest.mark.i686


def started_file(winprog):
    files = re.findall(r"Starting serial transfer of file (.*)\r\n", winprog.log())
    return files[-1] if files else None


def test_drive_relative_path_names_the_file_on_its_drive(wine, instruments, winprog):
    sim = instruments()
    wine.connect_com1(sim.pty)
    on_c = wine.prefix / "drive_c" / "xr-drive-relative.sys"
    wanted = make_update(on_c, major=2).read_bytes()
    make_update(winprog.folder / "xr-drive-relative.sys", major=3)  # the same name here, on Z:
    try:
        winprog.start_main("C:xr-drive-relative.sys")
        winprog.wait_log("Update completed successfully.", timeout=120)
    finally:
        on_c.unlink()
    assert started_file(winprog) == "C:\\xr-drive-relative.sys"
    sim.stop()
    assert sim.received() == wanted


def test_double_byte_path_is_walked_by_whole_characters(wine, instruments, winprog):
    sim = instruments()
    wine.connect_com1(sim.pty)
    folder = winprog.folder / "表"  # 0x95 0x5C in code page 932: its second byte is "\"
    folder.mkdir()
    wanted = make_update(folder / "f.sys", major=2).read_bytes()
    winprog.start_main("表\\f.sys", env={"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"})
    winprog.wait_log("Update completed successfully.", timeout=120)
    assert started_file(winprog).endswith("\\表\\f.sys")
    sim.stop()
    assert sim.received() == wanted


def test_short_name_with_a_full_path_over_259_characters_is_refused_with_the_message(wine, winprog):
    # A folder whose Windows path has 245 characters, and a name of 20 in it.
    base = len(wine.windows_path(winprog.folder))
    deep = winprog.folder / ("d" * (245 - base - 1))
    deep.mkdir()
    assert len(wine.windows_path(deep)) == 245
    make_update(deep / "a-twenty-chars-1.sys")
    (deep / "xrupdate.exe").write_bytes((winprog.folder / "xrupdate.exe").read_bytes())
    winprog.folder = deep
    program = winprog.start("a-twenty-chars-1.sys")
    winprog.wait_window(BOX_TITLE, 60)
    status, texts = winprog.probe("texts", BOX_TITLE)
    assert "longer than 259 characters" in texts, texts
    winprog.press(BOX_TITLE, OK)
    winprog.wait_window(MAIN_TITLE, 60)
    winprog.probe("close")
    assert program.wait(30) == 0
    assert "started on" in winprog.log()
    assert started_file(winprog) is None


@pytest.mark.parametrize("written", ["relative", "with its drive"])
def test_path_written_with_slashes_sends_the_file_it_names(wine, paced_instrument, winprog, written):
    # sub/f.sys, in a folder that also holds another f.sys, sends sub\f.sys.
    (winprog.folder / "sub").mkdir()
    wanted = make_update(winprog.folder / "sub" / "f.sys", major=2).read_bytes()
    make_update(winprog.folder / "f.sys", major=3)
    named = "sub/f.sys"
    if written == "with its drive":
        named = wine.windows_path(winprog.folder / "sub" / "f.sys").replace("\\", "/")
    program = winprog.start_main(named)
    winprog.wait_log("Update completed successfully.", timeout=120)
    assert started_file(winprog).endswith("\\sub\\f.sys"), f"{named}: the start entry names {started_file(winprog)}"
    wait_image(paced_instrument, wanted, "sub/f.sys")
    winprog.keys("alt+e")
    assert ended(program), f"{named}: Exit did not end the program"
