"""The Windows program's configuration dialog: a change clicked in it and
confirmed with OK is in the settings file after "Exit"."""

from fixtures_wine import CONFIG_TITLE, ended

CONFIG_DLU = (197, 185)  # the dialog's size in dialog units
SKIP_VERSION_CHECK_DLU = (30, 154)  # inside the check box at (11, 147), 102 x 15
OK_DLU = (71, 172)


def test_a_change_confirmed_with_ok_is_saved_on_exit(wine, winprog, shot):
    program = winprog.start_main()
    winprog.keys("alt+c")
    winprog.wait_window(CONFIG_TITLE, 15)
    shot("config-dialog")
    wine.click_dlu(CONFIG_TITLE, CONFIG_DLU, SKIP_VERSION_CHECK_DLU)
    shot("config-dialog-changed")
    wine.click_dlu(CONFIG_TITLE, CONFIG_DLU, OK_DLU)
    winprog.wait_gone(CONFIG_TITLE, 10)
    winprog.keys("alt+e")
    assert ended(program), "Exit did not end the program"
    assert "SkipVersionCheck=1" in winprog.settings().splitlines(), \
        f"the settings file lacks SkipVersionCheck=1: {winprog.settings()!r}"
