"""Without --ini the terminal front end keeps its settings in the user's
config folder; a settings file it cannot read or save is told, not an end."""

from fixtures_term import AS_NOBODY, dismiss_port_message, give_to_nobody


def test_settings_live_in_the_config_folder_and_a_folder_in_their_place_is_told(place, front_end):
    # Run as "nobody" when root, so that the built-in serial ports stay closed to it.
    home, start, run = place / "user-home", place / "user-start", place / "user-run"
    settings = home / ".config" / "xrupdate" / "xrupdate.ini"
    settings.mkdir(parents=True)
    start.mkdir()
    run.mkdir(mode=0o700)
    give_to_nobody(home, start, run)
    user = [*AS_NOBODY, "env", f"HOME={home}", "XDG_CONFIG_HOME=", f"XDG_RUNTIME_DIR={run}"]

    ui = front_end(prefix=user, cwd=start, env={}, name="user")
    ui.wait_screen("cannot be read: it is a folder.", 5,
                   check="a folder in place of the settings file is told at start")
    ui.record("the settings file is a folder")
    assert ui.shows("The default settings are used."), "with the defaults"
    ui.keys("Enter")
    ui.wait_gone("cannot be read", 3, check="the program goes on")
    ui.wait_screen("The serial port COM1 (/dev/ttyS0)", 5, check="then the serial port that does not open is named")
    assert ui.shows("instead."), "with what is used instead"
    ui.keys("Enter")
    ui.wait_gone("The serial port COM1", 3, check="the menu is there")
    ui.keys("e")
    ui.wait_screen("cannot be saved: it is a folder.", 5, check="and is told again when the settings cannot be saved")
    ui.keys("Enter")
    assert ui.wait_exit() == 0, "then the program ends with 0"
    assert ui.modes_restored(), "terminal modes restored"

    settings.rmdir()
    change = front_end(prefix=user, cwd=start, env={}, name="user2")
    dismiss_port_message(change)
    change.keys("c")
    change.wait_screen("Device Select", 3)
    change.keys("Up", "Space", "Enter")
    change.wait_gone("Device Select", 3)
    change.keys("e")
    assert change.wait_exit() == 0, "a change is saved in ~/.config/xrupdate/xrupdate.ini"
    assert any(line.startswith("SkipVersionCheck=1") for line in settings.read_text().splitlines()), \
        "with its value"

    again = front_end(prefix=user, cwd=start, env={}, name="user3")
    dismiss_port_message(again)
    again.keys("c")
    again.wait_screen("Device Select", 3)
    assert again.shows("[X] Skip Version Check"), "and read from there at the next start"
    again.keys("Escape")
    again.wait_gone("Device Select", 3)
    again.keys("e")
    assert again.wait_exit() == 0
