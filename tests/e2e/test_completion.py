"""The bash completion (doc/xrupdate.bash-completion) in real bash: its function
called with COMP_WORDS/COMP_CWORD set as bash sets them, over a private folder
whose file names hold blanks, and once through an interactive bash whose
readline inserts the completions. MIDI devices cannot exist here: a stand-in
program answers --list with MIDI lines in the program's format."""

import os
import pathlib
import re
import subprocess
import textwrap

import pexpect
import pytest

from conftest import ROOT, wait_for

COMPLETION = ROOT / "doc" / "xrupdate.bash-completion"
FILES = ("name with blanks.sys", "other.sys", "--weird.sys")
MIDI_OUT = ("USB MIDI Interface", "Synth 2", "$(touch pwned)")
MIDI_IN = ("USB MIDI Interface", "Keys In")


@pytest.fixture
def folder(work):
    for name in FILES:
        (work / name).write_bytes(b"")
    (work / "dir one").mkdir()
    return work


@pytest.fixture
def stand_in(folder):
    """An `xrupdate` that lists MIDI devices; any other call writes its
    arguments, NUL-separated, to args.bin."""
    lines = ["serial /dev/ttyS0: does not exist"]
    lines += [f"midi out {n}: {name}" for n, name in enumerate(MIDI_OUT)]
    lines += [f"midi in {n}: {name}" for n, name in enumerate(MIDI_IN)]
    (folder / "list.txt").write_text("\n".join(lines) + "\n")
    bin_dir = folder / "bin"
    bin_dir.mkdir()
    program = bin_dir / "xrupdate"
    program.write_text(textwrap.dedent(f"""\
        #!/bin/sh
        [ "$1" = --list ] && exec cat '{folder}/list.txt'
        printf '%s\\0' "$@" > '{folder}/args.part' && mv '{folder}/args.part' '{folder}/args.bin'
        """))
    program.chmod(0o755)
    return program


def complete(words, cwd):
    """COMPREPLY of _xrupdate for the command line `words`, the last one being completed."""
    script = (f'source "{COMPLETION}"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; '
              'COMP_POINT=${#COMP_LINE}; '
              '_xrupdate "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"; '
              'for r in "${COMPREPLY[@]}"; do printf "%s\\0" "$r"; done')
    out = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash", *[str(w) for w in words]],
                         cwd=cwd, capture_output=True, timeout=30, check=True)
    return sorted(out.stdout.decode().split("\0")[:-1])


def test_file_names_with_blanks_complete_whole(folder, build):
    program = build / "xrupdate"
    assert complete([program, "--batch", "name"], folder) == ["name with blanks.sys"]
    # As typed: escaped, in double or single quotes.
    for typed in ("name\\ w", '"name w', "'name w"):
        assert complete([program, "--info", "other.sys", typed], folder) == ["name with blanks.sys"]
    assert complete([program, "--ini", "dir"], folder) == ["dir one"]
    (folder / "home" / "my settings.ini").write_bytes(b"")
    assert complete([program, "--ini", "~/my"], folder) == [f"{folder}/home/my settings.ini"]
    assert complete([program, ""], folder) == sorted(p.name for p in folder.iterdir())


def test_only_file_names_after_double_dash(folder, build):
    program = build / "xrupdate"
    assert complete([program, "--", "--"], folder) == ["--weird.sys"]
    assert complete([program, "--batch", "--", "--w"], folder) == ["--weird.sys"]
    # "--port" after "--" is a file name, and what follows it too.
    assert complete([program, "--", "--port", "o"], folder) == ["other.sys"]
    # A "--" that is an option's argument ends nothing.
    assert complete([program, "--ini", "--", "--fi"], folder) == ["--find", "--first"]


def test_options_offered_are_those_help_lists(folder, build):
    program = build / "xrupdate"
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    listed = set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", help_text))
    assert {"--timeout", "--first", "--find"} <= listed
    assert set(complete([program, "--"], folder)) == listed
    shorts = set(re.findall(r"(?<![\w-])-[a-zA-Z](?![\w-])", help_text))
    assert set(complete([program, "-"], folder)) == listed | shorts
    # An option that takes a value completes as itself, the value to follow.
    assert complete([program, "--find", "--po"], folder) == ["--port"]
    assert complete([program, "--rate", ""], folder) == ["0", "1", "2", "3"]
    assert complete([program, "--find", "--timeout", ""], folder) == []


def test_port_offers_com_ports_and_serial_devices(folder, build):
    program = build / "xrupdate"
    assert complete([program, "--port", "COM"], folder) == ["COM1", "COM2", "COM3", "COM4"]
    everything = complete([program, "--port", ""], folder)
    present = [str(p) for pattern in ("ttyUSB*", "ttyACM*", "ttyS*") for p in pathlib.Path("/dev").glob(pattern)]
    present += [str(p) for p in pathlib.Path("/dev/serial/by-id").glob("*")]
    assert everything == sorted(["COM1", "COM2", "COM3", "COM4", *present])
    # "--port=" arrives as "--port" "=": the value is completed after the "=".
    assert complete([program, "--port", "="], folder) == everything
    assert complete([program, "--port", "=", "COM"], folder) == ["COM1", "COM2", "COM3", "COM4"]
    # A path that is no serial device of the survey, a pseudo-terminal say.
    assert complete([program, "--port", "./oth"], folder) == ["./other.sys"]


def test_midi_names_are_the_ones_list_shows(folder, stand_in, build):
    assert complete([stand_in, "--midi-out", ""], folder) == sorted(MIDI_OUT)
    assert complete([stand_in, "--query", "--midi-in", ""], folder) == sorted(MIDI_IN)
    assert complete([stand_in, "--midi-out", '"USB M'], folder) == ["USB MIDI Interface"]
    assert complete([stand_in, "--midi-in", "=", "K"], folder) == ["Keys In"]
    # A device's name is text, never run by the shell.
    assert complete([stand_in, "--midi-out", "$"], folder) == ["$(touch pwned)"]
    assert not (folder / "pwned").exists()
    # The real program (no MIDI device here) offers no serial line as a name.
    assert complete([build / "xrupdate", "--midi-out", ""], folder) == []


def test_readline_inserts_whole_names(folder, stand_in):
    """Typed into an interactive bash: the words the program then gets."""
    env = dict(os.environ, PATH=f"{stand_in.parent}:{os.environ['PATH']}", TERM="dumb", INPUTRC="/dev/null",
               PS1="$ ")
    shell = pexpect.spawn("bash", ["--norc", "--noprofile", "-i"], cwd=str(folder), env=env, encoding="utf-8",
                          timeout=20)
    try:
        shell.sendline(f'source "{COMPLETION}"; echo sourced')
        shell.expect("sourced")
        shell.send("xrupdate --batch name\t--po\tCOM1 --midi-in=Ke\t--midi-out Sy\t\r")
        args = folder / "args.bin"
        wait_for(args.exists, what="the stand-in to be run")
        assert args.read_bytes().decode().split("\0")[:-1] == [
            "--batch", "name with blanks.sys", "--port", "COM1", "--midi-in=Keys In", "--midi-out", "Synth 2"]
    finally:
        shell.close(force=True)
