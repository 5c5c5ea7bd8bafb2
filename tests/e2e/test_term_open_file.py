"""The Open File prompt of the terminal front end: its filters, folders and
the file picked; a name that does not open reaches the transfer, which says
so; a typed path is taken whole or refused, never cut."""

import re

from conftest import make_update
from fixtures_term import received_is, term_settings, wait_for


def test_the_prompt_lists_by_filter_and_sends_the_file_picked(place, instruments, front_end):
    sim = instruments()
    ini = term_settings(place, sim.pty)
    make_update(place / "sample.sys")
    make_update(place / "other.pcm", 1)
    make_update(place / "notes.txt", 0, size=16)
    (place / "folder").mkdir()
    make_update(place / "folder" / "inner.sys", 0, 2, 2)
    ui = front_end("--ini", ini)
    assert ui.menu_dim("Stop..."), '"Stop..." grayed at start'
    ui.keys("u")
    ui.wait_screen("Open File", 3, check="the Open File prompt")
    ui.record("the Open File prompt")
    assert ui.shows("sample.sys"), "*.sys listed"
    assert not ui.shows("other.pcm"), "*.pcm not listed under the first filter"
    assert not ui.shows("notes.txt"), "other files never listed"
    ui.keys("Tab")
    ui.wait_screen("other.pcm", 3, check="the second filter lists *.pcm")
    assert ui.shows("Pcm File(*.pcm)"), "the second filter's name"
    ui.keys("Tab", "Tab")
    ui.wait_screen("Development File(*.b_*)", 3, check="the fourth filter's name")
    ui.keys("Tab")
    ui.wait_screen("System File(*.sys)", 3, check="back to the first filter")
    ui.text("folder")
    ui.keys("Enter")
    ui.wait_screen("inner.sys", 3, check="a folder opens")
    ui.keys("Down", "Down", "Enter")
    ui.wait_screen(f"{place}/folder/inner.sys", 5, check="the picked file is sent")
    ui.wait_screen("Update Complete!", 20, check="and completes")
    received_is(sim, place / "folder" / "inner.sys", check="the image is the picked file")
    ui.keys("u")
    ui.wait_screen(f"Folder: {place}/folder", 3, check="the prompt reopens in the file's folder")
    ui.keys("Escape")
    ui.wait_gone("Open File", 3, check="Esc cancels")
    ui.keys("e")
    assert ui.wait_exit() == 0


def test_a_name_that_does_not_exist_reaches_the_transfer_which_says_so(place, instruments, front_end):
    sim = instruments()
    ui = front_end("--ini", term_settings(place, sim.pty))
    ui.keys("u")
    ui.wait_screen("Open File", 3)
    ui.text("does-not-exist.sys")
    ui.keys("Enter")
    ui.wait_screen("File Open Error", 5, check="a name that does not exist reaches the transfer, which says so")
    ui.record("a file that cannot be opened")
    ui.keys("Enter")
    ui.wait_gone("File Open Error", 3, check="the box closes")
    # Idle again: the key letter of "Update..." is underlined, as an enabled command's is.
    wait_for(lambda: re.search(r"\x1b\[4mU", ui.row(2, attrs=True)), 3, '"Update..." enabled again (idle again)')
    ui.keys("e")
    assert ui.wait_exit() == 0


def test_long_typed_paths_are_refused_never_cut(place, instruments, front_end):
    # An ALL 3.00 file at a path of 263 characters, and a SYSTEM 2.00 file whose
    # path is its first 255 characters.
    folder = place / ("long-" + "d" * 100)
    folder.mkdir()
    long = f"{folder}/" + "n" * (263 - len(str(folder)) - 1 - 8) + ".all.sys"
    short = long[:255]
    make_update(long, 3, 3, 0)
    make_update(short, 0, 2, 0)
    sim = instruments()
    ui = front_end("--ini", term_settings(place, sim.pty))
    ui.keys("u")
    ui.wait_screen("Open File", 3)
    ui.text(long)
    ui.keys("Enter")
    ui.wait_screen("Not sent: the full path has 263 characters; 259 at most can be sent.", 3,
                   check="a 263-character path is refused with the reason")
    ui.record("a typed path longer than the transfer takes")
    assert ui.shows("Open File"), "the prompt stays open"
    log = place / "vup_log.txt"
    assert not log.exists() or b"Starting" not in log.read_bytes(), "nothing was started"
    ui.keys("C-u")
    ui.text("x" * 4200)
    ui.keys("Enter")
    ui.wait_screen("The name is longer than a path can be here; Ctrl-U clears it.", 10,
                   check="a name longer than any path is refused, not cut")
    ui.keys("C-u")
    ui.text(short)
    ui.keys("Enter")
    ui.wait_screen("FILE : Type=SYSTEM , Version=2.00", 5, check="the 255-character path is sent")
    ui.wait_screen("Update Complete!", 20, check="to the end")
    received_is(sim, short, check="the image is that file")
    assert f"Starting serial transfer of file {short}\r\n".encode() in log.read_bytes(), "the log names it whole"
    ui.keys("e")
    assert ui.wait_exit() == 0
