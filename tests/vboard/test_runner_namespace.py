"""Inside a board (vboard run): the root filesystem, the device placeholders,
the stubs, the network with its TFTP server, and what the board can write."""
import os
import pathlib
import subprocess

import pytest

from boardtests import BUILD, REPO, SAMPLES, create, events, record, run_in, snapshot, vboard

MODELLED = ["/dev/mtd-uboot", "/dev/mtd-ubootenv", "/dev/mtd-devicetree", "/dev/mtd-kernel",
            "/dev/mtd-rfs", "/dev/mtd-rescue", "/dev/i2c-0", "/dev/i2c-1",
            "/dev/norvik/cpld_mmmap"]


@pytest.fixture
def board(tmp_path):
    return create(tmp_path / "board", "--sample")


def inside(board, script, *options):
    result = run_in(board, script, *options)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


# ------------------------------------------------------ filesystem and mounts

def test_board_directory_is_seen_at_user_tmp_and_vboard(board):
    (board / "user" / "from-outside").write_text("u\n")
    out = inside(board, "cat /user/from-outside; echo made > /user/from-inside;"
                        "echo t > /tmp/t; echo v > /vboard/v; ls /user/images; pwd; id -u")
    assert out.split() == ["u", "image1", "image2", "/", "0"]
    assert (board / "user" / "from-inside").read_text() == "made\n"
    assert (board / "tmp" / "t").read_text() == "t\n"
    assert (board / "v").read_text() == "v\n"


def test_tmp_is_emptied_at_each_power_on(board):
    (board / "tmp" / "stale").write_text("x")
    assert inside(board, "ls -A /tmp; touch /tmp/new") == ""
    assert inside(board, "ls -A /tmp") == ""


def test_the_board_writes_only_into_its_directory(board, tmp_path):
    """Every writable mount inside is the board directory or memory."""
    out = inside(board, "cat /proc/self/mountinfo")
    board_dev = os.stat(board).st_dev
    writable = []
    for line in out.splitlines():
        fields = line.split()
        root, point, options = fields[3], fields[4], fields[5].split(",")
        fstype = fields[fields.index("-") + 1]
        if "ro" in options:
            continue
        writable.append(point)
        if fstype in ("tmpfs", "proc", "devpts", "devtmpfs", "mqueue"):
            continue
        # A bind of the host filesystem: it must be the board directory.
        major, minor = map(int, fields[2].split(":"))
        assert os.makedev(major, minor) == board_dev, line
        assert root.startswith(str(board)), line
    assert {"/user", "/tmp", "/vboard"} <= set(writable)
    # And the host trees the board can see refuse writes.
    for path in ("/usr/x", "/etc/x"):
        result = run_in(board, f"touch {path}")
        assert result.returncode != 0, path
        assert not os.path.exists(path)


def test_bind_shows_what_is_asked_read_only_and_nothing_else_of_the_checkout(board, tmp_path):
    tool = tmp_path / "tool"
    tool.write_text("#!/bin/sh\necho tool ran\n")
    tool.chmod(0o755)
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "f").write_text("in dir\n")
    out = inside(board, "/opt/tool; cat /mnt/dir/f; touch /mnt/dir/new || echo read-only; "
                        f"test -d /var/tmp && echo at-its-own-path; ls -d {REPO} {BUILD} || echo unseen",
                 "--bind", f"{tool}:/opt/tool", "--bind", f"{tmp_path / 'dir'}:/mnt/dir",
                 "--bind", "/var/tmp")
    assert out.split() == ["tool", "ran", "in", "dir", "read-only", "at-its-own-path", "unseen"]
    assert not (tmp_path / "dir" / "new").exists()


def test_root_filesystem_tools(board):
    out = inside(board, "for t in sh mount umount tar gunzip gzip rm mkdir mv cp chmod cat echo "
                        "sleep ls tftp ifconfig route; do readlink /bin/$t || echo stub:$t; done")
    links = out.split()
    assert links.count("/usr/bin/busybox") == 16
    assert links.count("stub:mount") == 1 and links.count("stub:umount") == 1
    # The stubs are there; the debugger is not (it comes from an image).
    inside(board, "for s in reboot backtrace gdbserver dhclient flash_eraseall mount umount; do "
                  "head -1 /bin/$s | grep -q '^#!/bin/sh' || exit 1; done")
    assert run_in(board, "test -e /bin/gdb").returncode == 1
    assert inside(board, "echo $PATH") == "/bin:/sbin:/usr/bin:/usr/sbin\n"


def test_rx_is_the_lrzsz_receiver_and_sx_is_there(board):
    out = inside(board, "/usr/bin/rx --version 2>&1; /usr/bin/sx --version 2>&1")
    assert out.count("lrzsz") == 2


def test_a_gzip_tar_unpacks_under_tmp(board):
    """What the launch does with an application archive, with the board's tools."""
    _, _, _, payload = record((SAMPLES / "app1.pkg").read_bytes())
    (board / "user" / "app.tar.gz").write_bytes(payload)
    out = inside(board, "cp /user/app.tar.gz /tmp/quartzimage.tar.gz; "
                        "cd /tmp && tar mxzf /tmp/quartzimage.tar.gz && rm /tmp/quartzimage.tar.gz; "
                        "ls -1 /tmp; ls -1 /tmp/home/bin")
    assert out.split() == ["home", "env-setup", "install.sh", "mp.elf.strip"]


def test_device_placeholders(board):
    out = inside(board, "for n in " + " ".join(MODELLED + ["/dev/mtd-user", "/dev/mtd-user-char",
                                                             "/dev/console", "/dev/ttyS0",
                                                             "/dev/null", "/dev/zero",
                                                             "/dev/urandom", "/dev/tty"])
                 + "; do test -e $n && echo $n; done")
    assert len(out.split()) == 17
    # The console and the serial line are one terminal.
    out = inside(board, "stat -L -c %t:%T /dev/console /dev/ttyS0")
    first, second = out.split()
    assert first == second


def test_missing_nodes_have_no_placeholder(tmp_path):
    board = create(tmp_path / "b", "--set", "fault.missing=/dev/i2c-0,/dev/mtd-rescue")
    out = inside(board, "for n in /dev/i2c-0 /dev/i2c-1 /dev/mtd-rescue /dev/mtd-rfs; do "
                        "test -e $n && echo $n; done")
    assert out.split() == ["/dev/i2c-1", "/dev/mtd-rfs"]


def test_duma_library_is_found_by_the_loader(board):
    out = inside(board, "LD_PRELOAD=libduma.so.0.0.0 cat /proc/self/maps 2>&1")
    assert "/lib/libduma.so.0.0.0" in out
    assert "cannot be preloaded" not in out


def test_device_models_are_preloaded(board):
    out = inside(board, "echo $VBOARD_DIR; grep -c libvboard.so /proc/self/maps")
    assert out.split()[0] == "/vboard" and int(out.split()[1]) > 0


def test_time_option_reaches_the_models_without_touching_board_conf(board):
    # At its longest, so that the copy given to the board fills any pipe.
    with open(board / "board.conf", "a") as f:
        f.write("#" * (65535 - f.tell()) + "\n")
    before = (board / "board.conf").read_bytes()
    result = run_in(board, "grep '^time' /vboard/board.conf", "--time", "real", timeout=60)
    assert (result.returncode, result.stdout) == (0, "time = real\n")
    assert (board / "board.conf").read_bytes() == before


def test_run_passes_the_exit_status_and_environment(board):
    assert run_in(board, "exit 5").returncode == 5
    assert run_in(board, "kill -TERM $$").returncode == 128 + 15
    result = vboard("run", board, "--env", "GREETING=hello there", "--", "/bin/sh", "-c",
                    'echo "$GREETING"')
    assert result.stdout == "hello there\n"
    result = vboard("run", board, "--", "/bin/cat", input="piped in")
    assert result.stdout == "piped in"


# ------------------------------------------------------------------- stubs

def test_mount_and_umount_of_the_user_filesystem_are_recorded(board):
    inside(board, "/bin/mount -o sync -t jffs2 /dev/mtd-user /user; /bin/umount /user")
    assert "mount -o sync -t jffs2 /dev/mtd-user /user" in events(board)
    assert "umount /user" in events(board)
    # Other mounts are not the board's to make.
    assert run_in(board, "/usr/bin/mount -t tmpfs none /tmp").returncode != 0


def test_the_boards_root_holds_no_power_over_the_pc(board):
    out = inside(board, "readlink /proc/self/ns/user; grep CapEff /proc/self/status")
    userns, caps = out.split("\n")[:2]
    assert userns != os.readlink("/proc/self/ns/user")
    effective = int(caps.split()[1], 16)
    for cap in (16, 21, 22):  # CAP_SYS_MODULE, CAP_SYS_ADMIN, CAP_SYS_BOOT
        assert not effective & (1 << cap), caps
    assert effective & (1 << 12)  # CAP_NET_ADMIN: its own network


def powerpc_elf(path):
    """A file whose ELF header says 32-bit big-endian PowerPC."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"\x7fELF\x01\x02\x01" + bytes(9) + b"\x00\x03\x00\x14" + bytes(32))
    path.chmod(0o755)
    return path


def test_a_powerpc_program_registers_the_emulator_in_the_boards_own_binfmt_misc(board, tmp_path):
    program = powerpc_elf(tmp_path / "build-ppc" / "tests" / "prog")
    powerpc_elf(tmp_path / "build-ppc" / "lib" / "libvboard.so")
    script = ("cat /proc/sys/fs/binfmt_misc/qemu-ppc; echo -1 > /proc/sys/fs/binfmt_misc/qemu-ppc || "
              "echo unchanged; readlink /lib/ld.so.1; readlink /lib/powerpc-linux-gnu; ls /lib/vboard/lib")
    out = inside(board, script, "--bind", f"{program}:/opt/prog")
    assert out.splitlines() == [
        "enabled", "interpreter /usr/bin/qemu-ppc", "flags: P", "offset 0",
        "magic 7f454c4601020100000000000000000000020014",
        "mask ffffffffffffff00fffffffffffffffffffeffff",
        "unchanged", "/usr/powerpc-linux-gnu/lib/ld.so.1", "/usr/powerpc-linux-gnu/lib",
        "powerpc-linux-gnu", "x86_64-linux-gnu"]
    # A board of PC programs only runs them as the PC does.
    assert inside(board, "ls -A /proc/sys/fs/binfmt_misc; ls /lib/vboard/lib") == "x86_64-linux-gnu\n"


@pytest.mark.parametrize("command", [["boot", "--once"], ["run", "--", "/bin/true"]])
def test_a_powerpc_launcher_without_the_boards_device_models_is_refused(board, tmp_path, command):
    launcher = powerpc_elf(tmp_path / "launcher")
    before = snapshot(board)
    result = vboard(command[0], board, "--launcher", launcher, *command[1:], stdin=subprocess.DEVNULL)
    assert (result.returncode, result.stderr) == (2, f"vboard: {launcher}: a PowerPC program, and no PowerPC "
                                                     "lib/libvboard.so above it (run make ppc)\n")
    assert snapshot(board) == before


def test_flash_eraseall_empties_the_user_filesystem(board):
    (board / "user" / ".hidden").write_text("h")
    (board / "user" / "config").mkdir()
    inside(board, "flash_eraseall /dev/mtd-user-char")
    assert list((board / "user").iterdir()) == []
    assert "flash_eraseall /dev/mtd-user-char" in events(board)


def test_backtrace_becomes_the_application_with_its_environment(board):
    _, version, _, payload = record((SAMPLES / "app1.pkg").read_bytes())
    (board / "user" / "app.tar.gz").write_bytes(payload)
    out = inside(board, "cd /tmp && tar xzf /user/app.tar.gz && "
                        "export SAMPLE_PRODUCT=switch-module SAMPLE_ROLE=demo && "
                        "exec /bin/backtrace")
    assert f"Sample application {version} up" in out
    assert "SAMPLE_PRODUCT=switch-module" in out and "SAMPLE_ROLE=demo" in out
    assert "backtrace /tmp/home/bin/mp.elf.strip" in events(board)


def test_gdbserver_records_and_runs_the_program(board):
    out = inside(board, "printf '#!/bin/sh\\necho PROGRAM RAN; exit 3\\n' > /tmp/p; chmod +x /tmp/p;"
                        "/bin/gdbserver :1234 /tmp/p; echo status=$?")
    assert "PROGRAM RAN" in out and "status=3" in out
    assert "gdbserver :1234 /tmp/p" in events(board)
    assert run_in(board, "/bin/gdbserver /tmp/p").returncode != 0


def test_reboot_ends_the_run_and_is_recorded(board):
    result = run_in(board, "sleep 1000 & reboot; echo still running")
    assert result.returncode == 128 + 9
    assert "still running" not in result.stdout
    # The background sleep may record itself before or after the reboot;
    # nothing else may come after it.
    after = events(board)[events(board).index("reboot") + 1:]
    assert all(e.startswith("sleep ") for e in after)


def test_reboot_refuses_to_run_outside_a_board(tmp_path):
    # In a PID namespace of its own, so that a stub that failed to refuse
    # could only kill itself.
    stub = REPO / "vboard" / "runner" / "rootfs" / "bin" / "reboot"
    result = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "/bin/sh", str(stub)],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1 and "not on a virtual board" in result.stderr


# ----------------------------------------------------------------- network

def test_interfaces_are_down_and_unaddressed_at_power_on(board):
    out = inside(board, "ip -o link show; ip -o addr show")
    links = [line for line in out.splitlines() if " eth" in line and "link/ether" in line]
    assert len(links) == 2
    for line in links:
        flags = line.split("<")[1].split(">")[0].split(",")
        assert "UP" not in flags, line
    assert " inet " not in out.replace("inet 127.0.0.1", "")


def test_tftp_fetches_over_eth1_once_it_is_configured(board):
    payload = bytes(range(256)) * 300
    (board / "tftp" / "pkg.bin").write_bytes(payload)
    # Not configured: nothing to reach the server through.
    result = run_in(board, "tftp -g -r pkg.bin -l /tmp/image 10.0.0.1")
    assert result.returncode != 0
    out = inside(board, "ifconfig eth1 10.0.0.2 netmask 255.255.255.0 up && "
                        "tftp -g -r pkg.bin -l /tmp/image 10.0.0.1 && cp /tmp/image /user/got; "
                        "tftp -g -r absent.bin -l /tmp/absent 10.0.0.1; echo status=$?; "
                        "test -e /tmp/absent && echo left-behind; true")
    assert (board / "user" / "got").read_bytes() == payload
    assert "status=1" in out and "left-behind" not in out


def test_dhclient_gives_eth1_an_address_that_reaches_the_server(board):
    (board / "tftp" / "f").write_text("via dhcp\n")
    out = inside(board, "dhclient -1 eth1; ip -o -4 addr show eth1; "
                        "tftp -g -r f -l /tmp/f 10.0.0.1 && cat /tmp/f")
    assert "10.0.0.2/24" in out and "via dhcp" in out
    assert "dhclient -1 eth1" in events(board)


def test_no_process_of_the_board_outlives_it(board):
    (board / "tftp" / "f").write_text("x")
    inside(board, "ifconfig eth1 10.0.0.2 up; tftp -g -r f -l /tmp/f 10.0.0.1")
    leftovers = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmdline = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        if str(board).encode() in cmdline:
            leftovers.append(cmdline)
    assert leftovers == []
