"""Bad command lines: one line in the program's own voice that names the
argument at fault, exit status 2, nothing sent; options in any order whatever
the environment; help answers whatever else is given."""

import pytest

from conftest import lines_of, make_update, write_ini

BAD = [
    (["--quiet=yes", "--batch", "a.sys"], "--quiet takes no argument"),
    (["--batch", "a.sys", "-\xe9q"], "unknown option -\\xe9"),
    (["--batch", "a.sys", "--frobnicate"], "unknown option --frobnicate"),
    (["--no-such-option"], "unknown option --no-such-option"),  # no front end opens either
    (["--find", "--midi-out", "0"], "--midi-out does not apply to --find"),
    (["--list", "--port", "/dev/ttyS0"], "--port does not apply to --list"),
    (["--emit-syx", "--json", "a.sys", "a.syx"], "--json does not apply to --emit-syx"),
    (["--info", "--port", "/dev/ttyS0", "a.sys"], "--port does not apply to --info"),
    (["--query", "--skip-version-check"], "--skip-version-check does not apply to --query"),
    (["--batch", "--timeout", "100", "a.sys"], "--timeout applies to --batch only with --all"),
    (["--query", "--port", "COM5"], "--port COM5: the ports are COM1 to COM4"),
    (["--find", "--timeout", "0"], "--timeout takes milliseconds"),
    (["--batch", "a.sys", "--port"], "--port needs an argument"),
    (["--query", "--batch", "a.sys"], "--query and --batch cannot be given together"),
    (["--dry-run"], "--dry-run needs one FILE"),
]


@pytest.mark.parametrize("args,said", BAD, ids=[" ".join(a) for a, _ in BAD])
def test_a_bad_command_line_is_one_line_naming_the_fault(work, instruments, xrupdate, args, said):
    sim = instruments()
    write_ini(work / "x.ini", [sim.pty])
    make_update(work / "a.sys")
    result = xrupdate("--ini", work / "x.ini", *[a.encode("latin-1") for a in args])
    err = lines_of(result.stderr)
    assert result.returncode == 2, result.stderr
    assert len(err) == 1 and err[0].startswith("xrupdate: "), err
    assert said in err[0], err[0]
    assert result.stdout == b""
    sim.stop()
    assert sim.received() == b""


def test_help_answers_whatever_else_is_given(xrupdate):
    for args in (["--help", "--bogus"], ["--bogus", "-h"], ["--batch", "--help"], ["-V", "--find", "--midi-out", "x"]):
        result = xrupdate(*args)
        assert result.returncode == 0, (args, result.stderr)
        assert result.stdout.startswith(b"XR3300/R SystemUpdate Utility v1.3"), args


def test_options_after_files_also_where_posix_order_is_asked_for(work, xrupdate):
    make_update(work / "a.sys", 0, 1, 2)
    for env in ({}, {"POSIXLY_CORRECT": "1"}):
        result = xrupdate("--info", "a.sys", "--json", env=env)
        assert result.returncode == 0, result.stderr
        assert b'"version":"1.02"' in result.stdout
    # "--" ends the options: what follows is a file, whatever it looks like.
    make_update(work / "--json")
    result = xrupdate("--info", "--", "--json")
    assert result.returncode == 0 and b"SYSTEM" in result.stdout and not result.stdout.startswith(b"{")
