"""The "Open File" dialog of "&Update...": the file chosen in it is sent; a
path as long as a path may be (259 characters) is taken whole, and one of 260
is refused with a message, never cut."""

from conftest import make_update
from fixtures_wine import BOX_TITLE, OPEN_TITLE, ended, holds, wait_image


def open_file_typed(wine, winprog, path):
    winprog.keys("alt+u")
    winprog.wait_window(OPEN_TITLE, 20)
    wine.keys(OPEN_TITLE, "ctrl+a")
    wine.type_text(path)
    wine.xdotool("key", "Return")


def test_the_chosen_file_is_sent(wine, paced_instrument, winprog, shot):
    first = make_update(winprog.folder / "first.sys")
    winprog.start_main()
    winprog.keys("alt+u")
    winprog.wait_window(OPEN_TITLE, 20)
    shot("open-file-dialog")
    wine.keys(OPEN_TITLE, "ctrl+a")
    wine.type_text(wine.windows_path(first))
    wine.xdotool("key", "Return")
    winprog.wait_gone(OPEN_TITLE, 10)
    winprog.wait_log("Update completed successfully.", timeout=120)
    wait_image(paced_instrument, first.read_bytes(), "the chosen file")


def test_a_259_character_path_is_sent_and_one_of_260_refused_with_the_reason(wine, paced_instrument, winprog, shot):
    base = wine.windows_path(winprog.folder)
    fill = "L" * (259 - len(base) - len("\\") - len("\\long.sys"))
    (winprog.folder / fill).mkdir()
    longest = make_update(winprog.folder / fill / "long.sys")
    path = f"{base}\\{fill}\\long.sys"
    assert len(path) == 259
    program = winprog.start_main()
    open_file_typed(wine, winprog, path)
    winprog.wait_log("Update completed successfully.", timeout=120)
    wait_image(paced_instrument, longest.read_bytes(), "the file with a 259-character path")
    # One character more: refused with a message.
    (winprog.folder / (fill + "X")).mkdir()
    make_update(winprog.folder / (fill + "X") / "long.sys")
    starts = winprog.starts()
    open_file_typed(wine, winprog, f"{base}\\{fill}X\\long.sys")
    winprog.wait_window(BOX_TITLE, 15)
    shot("open-file-too-long")
    texts = winprog.probe("texts", BOX_TITLE)[1]
    assert "longer than 259 characters" in texts, f"the message does not name the reason: {texts!r}"
    wine.keys(BOX_TITLE, "Return")
    assert holds(lambda: winprog.starts() == starts, 1), "a transfer started for the over-long path"
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"
