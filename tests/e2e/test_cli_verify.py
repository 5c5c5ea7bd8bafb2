"""--batch --verify: after "Update Complete!" the versions are asked again until
the instrument answers (it may restart and be silent meanwhile) or the time is
up, and the installed version of the file's kind must be the file's."""

import json

from conftest import lines_of, make_update


def test_an_instrument_that_restarts_is_verified_once_it_answers(work, instruments, xrupdate):
    sim = instruments("--restart", "3000")
    update = make_update(work / "a.sys", attr=2)  # USER: the third version
    result = xrupdate("--batch", update, "--port", sim.pty, "--verify", "--json", "--ini", work / "x.ini")
    assert result.returncode == 0, result.stderr
    answer = json.loads(result.stdout)
    # "versions" stays what the update's own check read; the verification's answer is beside it.
    assert answer["versions"] == {"system": "1.00", "user": "1.00", "pcm": "1.00"}
    assert answer["verify"] == {"result": "verified", "file": "2.00",
                                "installed": {"system": "1.00", "user": "1.00", "pcm": "2.00"}}
    log = (work / "vup_log.txt").read_text()
    assert log.index("Update completed successfully.") < log.index("Verified: the instrument has version 2.00.")
    quiet = xrupdate("--batch", update, "--port", sim.pty, "--verify", "-q", "--skip-version-check",
                     "--ini", work / "x.ini")
    assert quiet.returncode == 0 and lines_of(quiet.stdout) == ["Update complete and verified."]


def test_an_old_version_or_silence_after_the_update_is_a_device_error(work, instruments, xrupdate):
    keeps_old = instruments()
    update = make_update(work / "a.sys")
    differs = xrupdate("--batch", update, "--port", keeps_old.pty, "--verify", "--json", "--ini", work / "x.ini")
    assert differs.returncode == 5
    answer = json.loads(differs.stdout)
    assert answer["verify"]["result"] == "version-differs"
    assert answer["verify"]["installed"]["system"] == "1.00"
    assert answer["reason"] == ("the update completed, but the instrument reports version 1.00 for SYSTEM, "
                                "not the file's 2.00")
    keeps_old.stop()
    assert keeps_old.received() == update.read_bytes()  # the update itself went through
    asleep = instruments("--restart", "60000")
    silent = xrupdate("--batch", update, "--port", asleep.pty, "--verify", "--verify-timeout", "2",
                      "--ini", work / "x.ini")
    assert silent.returncode == 5
    assert lines_of(silent.stderr)[-1] == ("xrupdate: the update completed, but the instrument did not answer the "
                                           "version request within 2 s; power-cycle it, then run xrupdate --query")


def test_several_instruments_are_verified_each_on_its_own(work, instruments, xrupdate):
    restarts, keeps_old = instruments("--restart", "1000"), instruments()
    update = make_update(work / "a.sys")
    result = xrupdate("--batch", update, "--port", restarts.pty, "--port", keeps_old.pty, "--verify", "--json",
                      "--ini", work / "x.ini")
    assert result.returncode == 5, result.stderr
    objects = {o.get("device"): o for o in map(json.loads, lines_of(result.stdout))}
    assert objects[restarts.pty]["verify"]["result"] == "verified"
    assert objects[keeps_old.pty]["verify"]["result"] == "version-differs"
    assert objects[None]["completed"] == 1 and objects[None]["exit"] == 5
