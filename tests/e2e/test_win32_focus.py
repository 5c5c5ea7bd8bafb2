"""The Windows program's window and the focus: a second copy without a file
brings the window to the front, one with "/h" leaves it behind; after an
update that ended while another window had the focus the window flashes until
it has the focus again."""

from conftest import make_update, wait_for
from fixtures_wine import MAIN_TITLE, holds, wait_image


def focus(wine, title):
    wine.activate(title)
    wait_for(lambda: wine.is_active(title), 10, f"{title!r} to take the focus")


def test_second_copy_without_a_file_brings_the_window_forward_and_with_h_leaves_it_behind(wine, winprog, notepad):
    winprog.start_main()
    focus(wine, notepad)
    status = winprog.run_second()
    assert status == 0, f"the second copy without a file exited with {status}"
    wait_for(lambda: wine.is_active(MAIN_TITLE), 10, "the window to come to the front for a second copy")
    focus(wine, notepad)
    status = winprog.run_second("/h")
    assert status == 0, f"the second copy with /h exited with {status}"
    assert holds(lambda: wine.is_active(notepad), 1), "with /h the window came to the front"
    assert winprog.starts() == 0, "a copy without a file started a transfer"
    assert len(wine.windows(MAIN_TITLE)) == 1, "more than one main window"


def test_window_flashes_after_an_update_behind_another_window_until_it_has_the_focus(wine, paced_instrument, winprog,
                                                                                   notepad, shot):
    first = make_update(winprog.folder / "first.sys")
    winprog.start_main()
    focus(wine, notepad)
    assert winprog.run_second("/h", wine.windows_path(first)) == 0
    winprog.wait_log("Update completed successfully.", timeout=120)
    seen = set()

    def two_colours():
        seen.add(wine.caption_colour(MAIN_TITLE))
        return len(seen - {None}) >= 2

    wait_for(two_colours, 5, "the caption to flash after the end (two colours)")
    shot("main-window-flashing")
    focus(wine, MAIN_TITLE)
    samples = []

    def steady():
        samples.append(wine.caption_colour(MAIN_TITLE))
        return len(samples) >= 8 and len(set(samples[-8:])) == 1

    wait_for(steady, 8, "the flash to stop once the window has the focus")
    wait_image(paced_instrument, first.read_bytes(), "first.sys")
