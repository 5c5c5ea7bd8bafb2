#!/usr/bin/python3
"""Runs the MIDI tests on a real MIDI stack: boots Debian's Linux kernel under
QEMU (software emulation) with the virtual MIDI card snd-virmidi and the ALSA
sequencer, and runs tests/e2e/test_real_midi_*.py inside it.

The guest's root is this machine's own tree, shared read-only over 9p, so the
guest runs the host's builds, Python, Wine and Chromium unchanged; a second,
writable share carries the results back. The kernel comes from Debian's
linux-image-amd64, fetched with apt-get download and unpacked (not installed)
into the work folder the first time.

    scripts/real-midi.py --build-dir build/native [--work build/real-midi]
                         [--win64-dir build/win64] [--web-dir build/web]
                         [--later FILE] [--wine-prefix DIR] [-- PYTEST-ARGS...]

The Linux program's tests run first. With --later the guest boots at once, and
the Windows program's and the page's tests wait until FILE exists (so that
their builds may still be made meanwhile). --wine-prefix names a Wine prefix
made elsewhere (read only, and made there once the later builds are ready when
it is not); without it one is made in the work folder.

Exits with pytest's status inside the guest, 77 when the machine cannot run
the guest (no qemu-system-x86_64), and 1 when the guest does not report."""

import argparse
import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
SKIP = 77
# The modules the guest loads, with their dependencies found from each module's
# own "depends=" record; nothing of these is built into Debian's kernel.
WANTED = ["virtio_pci", "9pnet_virtio", "9p", "overlay", "snd-virmidi", "snd-seq-dummy"]
BOOT_LIMIT_S = 1800  # the guest is stopped after this, whatever it is doing
LATER_LIMIT_S = 1200  # the longest the guest waits for the later builds


def say(text):
    print(f"real-midi: {text}", flush=True)


def fetch_kernel(work):
    """The unpacked kernel package in work/kernel: (vmlinuz, modules dir)."""
    unpacked = work / "kernel"
    found = sorted(glob.glob(str(unpacked / "boot" / "vmlinuz-*")))
    if not found:
        depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True,
                                 text=True, check=False).stdout
        names = re.findall(r"Depends: (linux-image-[0-9][^\s]*)", depends)
        if not names:
            raise SystemExit("real-midi: apt-cache knows no linux-image-amd64 (run apt-get update)")
        download = work / "download"
        shutil.rmtree(download, ignore_errors=True)
        download.mkdir(parents=True)
        say(f"fetching {names[0]} with apt-get download")
        subprocess.run(["apt-get", "download", "-q", names[0]], cwd=download, check=True,
                       stdout=subprocess.DEVNULL)
        debs = list(download.glob("*.deb"))
        shutil.rmtree(unpacked, ignore_errors=True)
        subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(unpacked)], check=True)
        shutil.rmtree(download)
        found = sorted(glob.glob(str(unpacked / "boot" / "vmlinuz-*")))
    vmlinuz = pathlib.Path(found[-1])
    release = vmlinuz.name[len("vmlinuz-"):]
    return vmlinuz, unpacked / "lib" / "modules" / release


def module_order(modules_dir):
    """The .ko files of WANTED and what they need, each after its dependencies."""
    files = {}
    for path in modules_dir.rglob("*.ko"):
        files[path.stem.replace("-", "_")] = path
    order, seen = [], set()

    def visit(name):
        name = name.replace("-", "_")
        if name in seen:
            return
        seen.add(name)
        path = files.get(name)
        if path is None:
            raise SystemExit(f"real-midi: the kernel package has no module {name}")
        record = re.search(rb"\0depends=([^\0]*)\0", b"\0" + path.read_bytes())
        for dep in (record.group(1).decode().split(",") if record else []):
            if dep:
                visit(dep)
        order.append(path)

    for name in WANTED:
        visit(name)
    return order


def host_wine_prefix(prefix):
    """A Wine prefix made here at full speed (once, then kept): under emulation
    its first start takes minutes. The guest only reads it (see overlay)."""
    if (prefix / "system.reg").exists():
        return prefix
    say("making a Wine prefix for the guest")
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run(["bash", "-c", f'source "{ROOT}/scripts/wine-loader.sh" && wineboot -i && wineserver -w'],
                   env=dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                            WINEDLLOVERRIDES="mscoree,mshtml="),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600, check=False)
    return prefix


def cpio_newc(entries):
    """A newc cpio archive of (name, mode, data) entries."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], start=1):
        encoded = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0]
        out += b"070701" + b"".join(b"%08X" % f for f in fields) + encoded
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


INIT = r"""#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /host
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev
for m in $(/bin/busybox cat /modules.order); do /bin/busybox insmod /modules/$m || echo "insmod $m failed"; done
opts=trans=virtio,version=9p2000.L,msize=512000,cache=loose
/bin/busybox mount -t 9p -o $opts hostroot /host || echo "the host's tree did not mount"
# What programs write outside /tmp: Xvfb's compiled keymaps, and /var/tmp.
for d in tmp run var/tmp var/lib/xkb; do [ -d /host/$d ] && /bin/busybox mount -t tmpfs tmpfs /host/$d; done
# A checkout under /tmp is hidden by the guest's own /tmp: it comes again from its own share.
/bin/busybox mkdir -p /host@ROOT@ 2>/dev/null
/bin/busybox mount -t 9p -o $opts tree /host@ROOT@ || echo "the tree did not mount"
/bin/busybox mount -t devtmpfs dev /host/dev
/bin/busybox mkdir -p /host/dev/pts /host/dev/shm
/bin/busybox mount -t devpts -o ptmxmode=666 devpts /host/dev/pts
/bin/busybox mount -t tmpfs tmpfs /host/dev/shm
/bin/busybox mount -t proc proc /host/proc
/bin/busybox mount -t sysfs sys /host/sys
/bin/busybox mkdir -p /host@OUT@ 2>/dev/null
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results /host@OUT@ ||
  echo "the results share did not mount"
# The host's tree becomes the root (not a chroot, which udev refuses to serve).
exec /bin/busybox switch_root /host /bin/sh @OUT@/init.sh
echo "switch_root failed"
/bin/busybox poweroff -f
"""

# The guest's first process in the host's tree: the tests, their status, then off.
GUEST_INIT = """/bin/sh @OUT@/guest.sh >@OUT@/guest.log 2>&1
echo $? >@OUT@/status
sync
echo o >/proc/sysrq-trigger
"""


def overlay(prefix):
    """The guest's Wine prefix: the host's (over 1 GB), read-only, under a
    writable layer in the guest's memory; copied only where that cannot be."""
    return f"""mkdir -p /tmp/wp-upper /tmp/wp-work /tmp/wineprefix
mount -t overlay overlay -o lowerdir='{prefix}',upperdir=/tmp/wp-upper,workdir=/tmp/wp-work /tmp/wineprefix ||
  cp -a '{prefix}/.' /tmp/wineprefix"""


def guest_script(args, out, prefix):
    """What runs inside the guest, as root in the host's tree."""
    pytest_args = " ".join(f"'{a}'" for a in args.pytest_args)
    dirs = f"--build-dir '{args.build_dir}'"
    if args.win64_dir:
        dirs += f" --win-build '{args.win64_dir}'"
    if args.web_dir:
        dirs += f" --web-dir '{args.web_dir}' --artifacts /tmp/screenshots"
    # The files first: pytest looks for conftest.py beside the first path it is given.
    # A topic whose build is not given is left out, and said so; one whose build
    # is given but was not made is left out in the guest, and said so there.
    later = []
    for name, given, built in (("test_real_midi_wine.py", args.win64_dir, "xrupdate.exe"),
                               ("test_real_midi_web.py", args.web_dir, "page/index.html")):
        if not given:
            say(f"{name} is left out: its build folder is not given")
        else:
            later.append(f"""if [ -e '{given}/{built}' ]; then later="$later {name}"
else echo "real-midi: {name} is left out: {given}/{built} was not built"; status=1; fi""")
    pytest = "/usr/bin/python3 -m pytest -q -p no:cacheprovider -rs --durations=5"
    return f"""set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/home LANG=C.UTF-8
mkdir -p /tmp/home
# Under emulation a Wine start or a page load can take minutes: the tests'
# deadlines are stretched three times (their timing checks are not).
export PYTHONDONTWRITEBYTECODE=1 XR_REAL_MIDI=1 XR_GUI_WINEPREFIX=/tmp/wineprefix XR_E2E_PATIENCE=3
hostname xr-guest 2>/dev/null
ip link set lo up 2>/dev/null
# udev's records of the sound card: Chromium lists a card's MIDI ports only
# when udev has seen the card.
if [ -x /lib/systemd/systemd-udevd ]; then
  /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1
  udevadm trigger --subsystem-match=sound --action=add && udevadm settle -t 30
fi
echo "guest up after $(cut -d' ' -f1 /proc/uptime) s; cards: $(cat /proc/asound/cards | head -1)"
cd '{ROOT}/tests/e2e' || exit 1
status=0
timeout 900 {pytest} test_real_midi_linux.py {dirs} {pytest_args} || status=1
waited=0
while [ ! -e '{out}/ready' ] && [ $waited -lt {LATER_LIMIT_S} ]; do sleep 1; waited=$((waited + 1)); done
[ -e '{out}/ready' ] || {{ echo "real-midi: the later builds were not ready after {LATER_LIMIT_S} s"; exit 1; }}
echo "the later builds ready after $(cut -d' ' -f1 /proc/uptime) s"
{overlay(prefix) if prefix else ""}
later=
{chr(10).join(later)}
if [ -n "$later" ]; then timeout 900 {pytest} $later {dirs} {pytest_args} || status=1; fi
exit $status
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True, type=lambda p: pathlib.Path(p).resolve())
    parser.add_argument("--work", type=lambda p: pathlib.Path(p).resolve())
    parser.add_argument("--win64-dir", type=lambda p: pathlib.Path(p).resolve())
    parser.add_argument("--web-dir", type=lambda p: pathlib.Path(p).resolve())
    parser.add_argument("--memory", default="3072")
    parser.add_argument("--command", help="a shell command to run in the guest instead of the tests")
    parser.add_argument("--later", type=lambda p: pathlib.Path(p).resolve(),
                        help="the Windows and web tests wait until this file exists")
    parser.add_argument("--wine-prefix", type=lambda p: pathlib.Path(p).resolve(),
                        help="a Wine prefix to use (read only) instead of one of the work folder's")
    parser.add_argument("pytest_args", nargs="*")
    args = parser.parse_args()
    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        print("real-midi: qemu-system-x86_64 is not installed (scripts/install-deps.sh installs it)")
        return SKIP
    work = args.work or args.build_dir.parent / "real-midi"
    work.mkdir(parents=True, exist_ok=True)
    vmlinuz, modules_dir = fetch_kernel(work)
    order = module_order(modules_dir)
    entries = [("bin", 0o040755, b""), ("bin/busybox", 0o100755, pathlib.Path("/bin/busybox").read_bytes()),
               ("modules", 0o040755, b""),
               ("modules.order", 0o100644, "".join(p.name + "\n" for p in order).encode())]
    entries += [(f"modules/{p.name}", 0o100644, p.read_bytes()) for p in order]
    for earlier in work.glob("run.*"):  # a failed run's folder is kept until the next run
        shutil.rmtree(earlier, ignore_errors=True)
    out = pathlib.Path(tempfile.mkdtemp(prefix="run.", dir=work))
    os.chmod(out, 0o755)
    entries.append(("init", 0o100755, INIT.replace("@OUT@", str(out)).replace("@ROOT@", str(ROOT)).encode()))
    initrd = out / "initrd.cpio"
    initrd.write_bytes(cpio_newc(entries))
    prefix = (args.wine_prefix or work / "wineprefix") if args.win64_dir else None
    script = guest_script(args, out, prefix)
    if args.command:
        script = script[:script.index("cd '")] + args.command + "\n"
    (out / "guest.sh").write_text(script)
    (out / "init.sh").write_text(GUEST_INIT.replace("@OUT@", str(out)).replace("@ROOT@", str(ROOT)))
    console = out / "console.log"
    command = [qemu, "-accel", "tcg", "-m", args.memory, "-smp", "2", "-nographic", "-no-reboot",
               "-kernel", str(vmlinuz), "-initrd", str(initrd),
               "-append", "console=ttyS0 quiet loglevel=3 panic=-1 snd_virmidi.midi_devs=4",
               "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
               "-virtfs", f"local,path={ROOT},mount_tag=tree,security_model=none,readonly=on,multidevs=remap",
               "-virtfs", f"local,path={out},mount_tag=results,security_model=none,multidevs=remap",
               "-nic", "none"]
    # The prefix is made here while the guest runs the Linux program's tests
    # (a prefix named with --wine-prefix is made by then where it is made);
    # then, once the later builds are there, the guest is told.
    def make_ready():
        if prefix is not None and args.wine_prefix is None:
            host_wine_prefix(prefix)
        while args.later is not None and not args.later.exists() and guest.poll() is None:
            time.sleep(0.5)
        if prefix is not None:
            host_wine_prefix(prefix)
        (out / "ready").write_text("")

    readiness = threading.Thread(target=make_ready, daemon=True)
    start = time.monotonic()
    say(f"booting {vmlinuz.name} under qemu (tcg); console in {console}")
    with open(console, "wb") as log:
        guest = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        readiness.start()
        try:
            guest.wait(timeout=BOOT_LIMIT_S)
        except subprocess.TimeoutExpired:
            guest.kill()
            guest.wait()
            say(f"the guest did not end within {BOOT_LIMIT_S} s; stopped it")
    guest_log = out / "guest.log"
    if guest_log.exists():
        sys.stdout.write(guest_log.read_text(errors="replace"))
    status_file = out / "status"
    if not status_file.exists():
        say("the guest ended without a result; its console:")
        sys.stdout.write(console.read_text(errors="replace")[-4000:])
        return 1
    status = int(status_file.read_text().strip() or "1")
    say(f"guest ended after {time.monotonic() - start:.0f} s with status {status}")
    if status == 0:
        shutil.rmtree(out, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
