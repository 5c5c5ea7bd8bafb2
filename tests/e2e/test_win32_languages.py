"""The Windows program's two languages: for a Japanese user the stop dialog
is the Japanese copy, and every static text of both dialogs fits its control
in the dialog's own font, in English and in Japanese (the Japanese fonts
shown in IPA Gothic)."""

import pytest

from conftest import make_update
from fixtures_wine import STOP_TITLE, ended

JAPANESE = {"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"}


@pytest.mark.i686
def test_stop_dialog_is_the_japanese_copy_for_a_japanese_user(wine, paced_instrument, winprog, japanese_fonts, shot):
    (winprog.folder / "xrupdate.ini").unlink()
    third = make_update(winprog.folder / "third.all", attr=3)
    program = winprog.start_main(wine.windows_path(third), env=JAPANESE)
    winprog.wait_log("Sent packet", times=3)
    winprog.keys("alt+s")
    winprog.wait_window(STOP_TITLE, 15)
    shot("stop-dialog-japanese")
    texts = winprog.probe("texts", STOP_TITLE)[1]
    lines = texts.splitlines()
    assert ("2\tButton\t続行" in lines and "1\tButton\t停止" in lines
            and "転送を停止してもよろしいですか？" in texts and "Continue" not in texts), \
        f"the stop dialog's texts are not the Japanese ones: {texts!r}"
    wine.keys(STOP_TITLE, "Tab", "space")
    winprog.wait_gone(STOP_TITLE, 20)
    winprog.keys("alt+e")
    assert ended(program), "the Japanese run did not end on Exit"


@pytest.fixture(scope="module")
def fit(wine, japanese_fonts, win_artifacts):
    """xr_winprobe's measure of every static text of both dialogs: (status, lines)."""
    done = wine.run("wine", str(wine.win_build / "tests" / "xr_winprobe.exe"), "fit",
                    wine.windows_path(wine.win_build / "xrupdate.exe"), text=True)
    out = done.stdout.replace("\r", "")
    (win_artifacts / "dialog-fit.txt").write_text(out)
    return done.returncode, [line.split("\t") for line in out.splitlines()]


@pytest.mark.parametrize("language", ["English", "Japanese"])
@pytest.mark.parametrize("dialog", ["STOP_DIALOG", "CONFIG_DIALOG"])
def test_every_static_text_fits_its_control(fit, dialog, language):
    measured = [line for line in fit[1] if line[1:3] == [dialog, language]]
    assert measured, f"{dialog} ({language}): no texts measured"
    cut = ["\t".join(line) for line in measured if line[0] == "CUT"]
    assert not cut, f"{dialog} ({language}): a text is cut: {cut[:3]}"


def test_the_fit_check_ends_with_0(fit):
    assert fit[0] == 0, f"the probe's fit check ended with {fit[0]}"
