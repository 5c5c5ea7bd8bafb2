"""Another program rewrites the update file during an update (the Linux lock is
advisory, and cp and dd ignore it): the instrument still gets exactly the file
that was checked, byte for byte."""

import shutil
import subprocess

import pytest

from conftest import make_update, wait_for, write_ini


def packet_written(work, number):
    try:
        data = (work / "test.dat").read_bytes()
    except OSError:
        return False
    return len(data) == 9372 and data[5] >= number


def rewrite_with_dd(new, path):
    subprocess.run(["dd", f"if={new}", f"of={path}", "conv=notrunc", "status=none"], check=True)


def rewrite_with_cp(new, path):
    shutil.copyfile(new, path)  # as cp does: truncate, then write in place


@pytest.mark.parametrize("rewrite", [rewrite_with_dd, rewrite_with_cp], ids=["dd-notrunc", "cp"])
def test_a_file_rewritten_after_packet_5_cannot_mix_into_the_update(build, work, instruments, rewrite):
    # A slow line (the instrument reads at 921600 baud, 0.1 s a packet), so that the rewrite lands
    # while most packets are still to go.
    sim = instruments("--line-speed", "921600")
    write_ini(work / "x.ini")
    checked = make_update(work / "a.sys").read_bytes()
    other = make_update(work / "b.sys")
    program = subprocess.Popen([str(build / "xrupdate"), "--batch", "--ini", "x.ini", "--port", sim.pty, "a.sys"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: packet_written(work, 5), 60, "packet 5")
        rewrite(other, work / "a.sys")
        assert (work / "a.sys").read_bytes() == other.read_bytes()
        assert not packet_written(work, 31), "the update ended before the file was rewritten"
        out, err = program.communicate(timeout=120)
    finally:
        program.kill()
    assert program.returncode == 0, out + err
    assert "3: Update Complete!" in out
    sim.stop()
    assert sim.received() == checked
