"""vboard boot: the reboot loop, the exit statuses and the console, with small
first programs of our own in the launcher's place (--launcher)."""
import signal
import subprocess

import pexpect
import pytest

from boardtests import SAMPLES, VBOARD, create, events, record, vboard

# A first program that counts its boots in the user filesystem, shows what it
# finds in /tmp and leaves a mark there, then does what $1 of the boot says:
# "reboot", "app [STATUS]" (becomes an application that ends with STATUS), or
# another command.
COUNTING = """#!/bin/sh
n=$(cat /user/boots 2>/dev/null || echo 0)
n=$((n + 1))
echo $n > /user/boots
echo "boot $n tmp:[$(ls -A /tmp)]"
touch /tmp/from-boot-$n
plan=$(sed -n "${n}p" /user/plan)
case "$plan" in
reboot) reboot; echo "survived the reboot" ;;
app*) mkdir -p /tmp/home/bin
     status=${plan#app}
     printf '#!/bin/sh\\necho "application up"\\nexit %s\\n' "${status:-0}" > /tmp/home/bin/mp.elf.strip
     chmod +x /tmp/home/bin/mp.elf.strip
     exec /bin/backtrace ;;
*) eval "$plan" ;;
esac
"""


@pytest.fixture
def board(tmp_path):
    return create(tmp_path / "board")


def launcher(tmp_path, text, name="launcher"):
    path = tmp_path / name
    path.write_text(text)
    path.chmod(0o755)
    return path


def counting(tmp_path, board, *plan):
    (board / "user" / "plan").write_text("".join(p + "\n" for p in plan))
    return launcher(tmp_path, COUNTING)


def boot(board, prog, *options, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return vboard("boot", board, "--launcher", prog, *options, **kwargs)


# ------------------------------------------------------------ reboot loop

def test_reboot_boots_again_with_an_empty_tmp_until_the_application_ends(tmp_path, board):
    prog = counting(tmp_path, board, "reboot", "reboot", "app")
    result = boot(board, prog)
    assert result.returncode == 0, result.stderr
    out = result.stdout.replace("\r\n", "\n")
    assert "boot 1 tmp:[]\nboot 2 tmp:[]\nboot 3 tmp:[]\napplication up\n" in out
    assert "survived" not in out
    ev = events(board)
    # One power-on, then each reboot recorded by the stub; the clock goes on.
    assert ev.count("power-on") == 1 and ev[0] == "power-on"
    assert ev.count("reboot") == 2
    last_reboot = len(ev) - 1 - ev[::-1].index("reboot")
    assert ev.index("backtrace /tmp/home/bin/mp.elf.strip") > last_reboot


def test_boot_limits(tmp_path, board):
    prog = counting(tmp_path, board, "reboot", "reboot", "reboot", "app")
    result = boot(board, prog, "--max-boots", "2")
    assert result.returncode == 4
    assert (board / "user" / "boots").read_text() == "2\n"
    (board / "user" / "boots").unlink()
    result = boot(board, prog, "--once")
    assert result.returncode == 4
    assert (board / "user" / "boots").read_text() == "1\n"


@pytest.mark.parametrize("plan, status", [
    ("app", 0),
    ("app 9", 1),
    ("exit 0", 3),
    ("exit 1", 3),
    ("kill -KILL $$", 137),
    ("kill -TERM $$", 143),
])
def test_exit_status_tells_how_the_boot_ended(tmp_path, board, plan, status):
    prog = counting(tmp_path, board, plan)
    result = boot(board, prog)
    assert result.returncode == status, result.stdout + result.stderr


def test_missing_launcher_is_refused(tmp_path, board):
    result = vboard("boot", board, "--launcher", tmp_path / "absent")
    assert result.returncode == 2 and result.stderr.count("\n") == 1
    assert events(board) == []


def test_timeout_powers_the_board_off(tmp_path, board):
    prog = launcher(tmp_path, "#!/bin/sh\necho waiting\nread line\necho never\n")
    result = boot(board, prog, "--timeout", "0.5")
    assert result.returncode == 124
    assert "time limit" in result.stderr
    assert "never" not in result.stdout


def test_sample_images_boot_the_way_the_launcher_starts_them(tmp_path):
    """Slot 1's record unpacked, its install script and environment file
    used, then /bin/backtrace: the sample application's banner."""
    board = create(tmp_path / "b", "--sample")
    _, version, header, _ = record((board / "user" / "images" / "image1").read_bytes())
    prog = launcher(tmp_path, f"""#!/bin/sh
dd if=/user/images/image1 of=/tmp/quartzimage.tar.gz bs={header} skip=1 2>/dev/null
cd /tmp && tar mxzf /tmp/quartzimage.tar.gz && rm /tmp/quartzimage.tar.gz
/tmp/home/bin/install.sh
set -- $(cat /tmp/home/bin/env-setup)
while [ $# -ge 2 ]; do export "$1=$2"; shift 2; done
exec /bin/backtrace
""")
    result = boot(board, prog)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout.replace("\r\n", "\n")
    assert f"Installing sample application {version}\n" in out
    assert f"Sample application {version} up\n" in out
    assert "SAMPLE_PRODUCT=switch-module\n" in out and "SAMPLE_ROLE=demo\n" in out
    assert (board / "tmp" / "home" / "installed").read_text() == f"{version}\n"


def test_diagnostics_and_debugger_samples_run(tmp_path):
    board = create(tmp_path / "b", "--sample")
    _, diags_version, _, diags = record((SAMPLES / "diags.pkg").read_bytes())
    _, _, _, gdb = record((SAMPLES / "gdb.pkg").read_bytes())
    (board / "user" / "diags.tar.gz").write_bytes(diags)
    (board / "user" / "gdb.gz").write_bytes(gdb)
    prog = launcher(tmp_path, """#!/bin/sh
cd /tmp && tar xzf /user/diags.tar.gz
mkdir -p /tmp/home/bin && mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip
cp /user/gdb.gz /tmp/gdb.gz && gunzip /tmp/gdb.gz && chmod +x /tmp/gdb
/tmp/gdb /tmp/home/bin/mp.elf.strip
""")
    result = boot(board, prog)
    out = result.stdout.replace("\r\n", "\n")
    assert "GDB /tmp/home/bin/mp.elf.strip\n" in out
    assert f"Sample diagnostics {diags_version} up\n" in out


# ---------------------------------------------------------------- console

KEYS = """#!/bin/sh
trap 'echo "SIGINT reached the board"; exit 0' INT
echo "session $(cut -d' ' -f6 /proc/$$/stat) pid $$"
stty -icanon -echo min 1
echo READY
key=$(dd bs=1 count=1 2>/dev/null)
echo "KEY[$key]"
stty icanon echo
echo WAITING
read line
echo "LINE[$line]"
"""


def spawn_boot(board, prog, *options):
    """vboard boot on a terminal, started as a script's background job is:
    SIGINT and SIGQUIT ignored, which the board must not inherit."""
    return pexpect.spawn(str(VBOARD), ["boot", str(board), "--launcher", str(prog), *options],
                         timeout=20, encoding="utf-8", preexec_fn=lambda: [
                             signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGQUIT)])


def test_console_key_and_ctrl_c_as_sigint(tmp_path, board):
    child = spawn_boot(board, launcher(tmp_path, KEYS))
    child.expect(r"session (\d+) pid (\d+)")
    # The first program leads its own session: the console is its terminal.
    assert child.match.group(1) == child.match.group(2)
    child.expect("READY")
    child.send("x")
    child.expect(r"KEY\[x\]")
    child.expect("WAITING")
    # A shell misses a SIGINT that comes after its last look for one and
    # before it blocks in read: the key is typed again until it answers.
    for _ in range(100):
        child.sendcontrol("c")
        if child.expect(["SIGINT reached the board", pexpect.TIMEOUT], timeout=0.2) == 0:
            break
    else:
        pytest.fail("Ctrl-C never reached the board")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 3


def test_console_line_input(tmp_path, board):
    child = spawn_boot(board, launcher(tmp_path, KEYS))
    child.expect("READY")
    child.send("k")
    child.expect("WAITING")
    child.sendline("typed line")
    child.expect(r"LINE\[typed line\]")
    child.expect(pexpect.EOF)


def test_terminal_is_restored_and_escape_key_detaches(tmp_path, board):
    prog = launcher(tmp_path, "#!/bin/sh\necho READY\nread line\necho never\n")
    child = pexpect.spawn("/bin/sh", ["-c", f"stty -g; {VBOARD} boot {board} --launcher {prog}; "
                                            "echo status=$?; stty -g"],
                          timeout=20, encoding="utf-8")
    child.expect(r"([0-9a-f:]+)\r\n")
    before = child.match.group(1)
    child.expect("READY")
    child.send("\x1d")
    child.expect("detached")
    child.expect(r"status=(\d+)\r\n([0-9a-f:]+)\r\n")
    assert child.match.group(1) == "5"
    assert child.match.group(2) == before
    child.expect(pexpect.EOF)


def test_each_boot_finds_the_console_in_its_initial_state(tmp_path, board):
    prog = counting(tmp_path, board, 'stty -g > /user/stty1; stty raw -echo 115200; reboot',
                    'stty -g > /user/stty2')
    result = boot(board, prog)
    assert result.returncode == 3
    first = (board / "user" / "stty1").read_text()
    assert first and first == (board / "user" / "stty2").read_text()


def test_console_without_a_terminal(tmp_path, board):
    prog = launcher(tmp_path, "#!/bin/sh\nread a\nread b\necho \"got $a and $b\"\n"
                              "test -t 0 && echo console-is-a-tty\n")
    result = vboard("boot", board, "--launcher", prog, input="first\nsecond\n")
    assert result.returncode == 3
    out = result.stdout.replace("\r\n", "\n")
    assert "got first and second\n" in out and "console-is-a-tty\n" in out


def test_console_is_the_serial_line(tmp_path, board):
    prog = launcher(tmp_path, "#!/bin/sh\necho via-ttyS0 > /dev/ttyS0\n"
                              "stty -F /dev/ttyS0 115200; stty speed\n")
    result = boot(board, prog)
    out = result.stdout.replace("\r\n", "\n")
    assert "via-ttyS0\n115200\n" in out


# ------------------------------------------------------ with the launcher

@pytest.mark.parametrize("slot, version", [(1, "6.0.0.1"), (2, "6.0.0.2")])
def test_launcher_boots_the_sample_board_to_its_application(tmp_path, slot, version):
    if not (VBOARD.parent / "launcher").exists():
        pytest.skip("launcher not built")
    board = create(tmp_path / "b", "--sample")
    vboard("vpd", board, f"1={slot}", check=True)
    result = vboard("boot", board, "--once", stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout.replace("\r\n", "\n")
    assert f"Booting image '{slot}'\n" in out
    assert f"Sample application {version} up\n  SAMPLE_PRODUCT=switch-module\n" \
           "  SAMPLE_ROLE=demo\n" in out
    assert "mount -o sync -t jffs2 /dev/mtd-user /user" in events(board)
    assert events(board)[-2] == "backtrace /tmp/home/bin/mp.elf.strip"


def test_launcher_takes_the_sample_debugger_from_the_other_slot(tmp_path):
    if not (VBOARD.parent / "launcher").exists():
        pytest.skip("launcher not built")
    board = create(tmp_path / "b", "--sample")
    (board / "user" / "images" / "image2").write_bytes((SAMPLES / "gdb.pkg").read_bytes())
    vboard("env", board, "gdb=on", check=True)
    result = vboard("boot", board, "--once", stdin=subprocess.DEVNULL)
    out = result.stdout.replace("\r\n", "\n")
    assert "GDB /tmp/home/bin/mp.elf.strip\nSample application 6.0.0.1 up\n" in out
    # The debugger's end reboots the board.
    assert result.returncode == 4 and events(board)[-1] == "reboot"


def test_launcher_boots_the_sample_diagnostics(tmp_path):
    if not (VBOARD.parent / "launcher").exists():
        pytest.skip("launcher not built")
    board = create(tmp_path / "b", "--sample")
    vboard("env", board, "diagnostics=diags", check=True)
    result = vboard("boot", board, "--once", input="n")
    out = result.stdout.replace("\r\n", "\n")
    assert result.returncode == 0, out + result.stderr
    _, version, _, _ = record((SAMPLES / "diags.pkg").read_bytes())
    assert f"Sample diagnostics {version} up\n" in out
    assert (board / "user" / "images" / "image1").exists()
