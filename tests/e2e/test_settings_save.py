"""The settings saved at the end of an update on a file system that is full:
the file is written whole or not at all, its old text is never cut (also a
file with a second hard link, which is rewritten in place), and the message
says what failed."""

import subprocess

import pytest

from conftest import lines_of, make_update


def private_tmpfs_works():
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs /mnt"],
                           capture_output=True)
    return probe.returncode == 0


needs_mounts = pytest.mark.skipif(not private_tmpfs_works(),
                                  reason="needs a private mount namespace (unshare -m) and tmpfs mounts")


@needs_mounts
@pytest.mark.parametrize("hard_link", [False, True])
def test_a_save_on_a_full_disk_leaves_the_old_file_and_says_why(build, work, instruments, hard_link):
    sim = instruments()
    make_update(work / "a.sys")
    disk = work / "disk"
    disk.mkdir()
    # Just under a page of text, so that the keys the save adds need a page
    # more than the file system has.
    old = ("[XR3300/R SystemUpdate Utility]\n" + "".join(f"; note {i:04d} " + "." * 40 + "\n" for i in range(73))
           + f"Com1Device={sim.pty}\n").encode()
    assert 3900 < len(old) < 4096
    (work / "old.ini").write_bytes(old)
    script = f"""
set -e
mount -t tmpfs -o size=64k tmpfs {disk}
cp {work / 'old.ini'} {disk}/x.ini
{'ln ' + str(disk / 'x.ini') + ' ' + str(disk / 'y.ini') if hard_link else ':'}
dd if=/dev/zero of={disk}/fill bs=4k 2>/dev/null || true
set +e
{build / 'xrupdate'} -q --batch a.sys --ini {disk}/x.ini
echo "status=$?"
cp {disk}/x.ini {work}/after.ini
"""
    run = subprocess.run(["unshare", "-m", "sh", "-c", script], cwd=work, capture_output=True, timeout=120)
    out, err = lines_of(run.stdout), lines_of(run.stderr)
    assert out == ["Update complete.", "status=0"], (out, err)  # the update itself is not the save's
    assert sim.received() == (work / "a.sys").read_bytes()
    assert (work / "after.ini").read_bytes() == old
    assert (f"XR3300/R SystemUpdate Utility: The settings could not be saved: no space left on the device "
            f"({disk}/x.ini); the earlier file is unchanged.") in err, err
    assert not [line for line in err if "line break" in line or "were saved" in line], err
