"""vboard create, env, vpd and trace: the board directory as files, checked
against the device models' own reading of board.conf and against pkgtool."""
import os
import pathlib
import resource
import struct
import subprocess
import zlib

import pytest

from boardtests import (DEFAULT_SIZES, PARTS, PKGTOOL, SAMPLES, conf, create, events, pkgtool_list,
                        record, snapshot, vboard)

TYPE_UBOOT = 0x02504F4C


# ---------------------------------------------------------------- create

def test_fresh_board_layout(tmp_path):
    board = create(tmp_path / "b")
    for d in ("flash", "user", "user/images", "tmp", "tftp"):
        assert (board / d).is_dir(), d
    assert list((board / "user" / "images").iterdir()) == []
    for part in PARTS:
        data = (board / "flash" / f"{part}.bin").read_bytes()
        assert len(data) == DEFAULT_SIZES[part], part
        assert data.count(0xFF) == len(data), part
    assert (board / "vpd.bin").read_bytes() == b"\xff" * 256
    cpld = (board / "cpld.bin").read_bytes()
    assert len(cpld) == 256 and cpld[20] == 0xA4 and cpld[24] == 0x01
    assert cpld.count(0) == 254
    assert (board / "trace.log").read_bytes() == b""
    # The device models read the configuration as written: the defaults.
    assert conf(board) == {"time": "fast", "erase_size": "65536",
                           **{f"size.{p}": str(DEFAULT_SIZES[p]) for p in PARTS}}


def test_board_conf_documents_every_key_as_a_comment(tmp_path):
    board = create(tmp_path / "b")
    text = (board / "board.conf").read_text()
    active = [line for line in text.splitlines() if line.strip() and not line.startswith("#")]
    assert active == []
    for key in ["time", "erase_size", *("size." + p for p in PARTS), "fault.missing",
                "fault.i2c_nak", "fault.cpld_ready", "fault.mtd_probe",
                "fault.mtd_erase_fail_at", "fault.mtd_write_fail_at",
                "fault.power_cut_after_writes"]:
        assert f"# {key} = " in text, key
    for part in PARTS:
        assert f"# size.{part} = {DEFAULT_SIZES[part]}\n" in text


def test_set_changes_sizes_and_is_written_to_board_conf(tmp_path):
    board = create(tmp_path / "b", "--set", "size.kernel=0x10000", "--set", "size.rfs = 131072",
                   "--set", "fault.i2c_nak=0x54,0x70", "--set", "time=real")
    assert (board / "flash" / "kernel.bin").stat().st_size == 0x10000
    assert (board / "flash" / "rfs.bin").stat().st_size == 131072
    assert (board / "flash" / "uboot.bin").stat().st_size == DEFAULT_SIZES["uboot"]
    text = (board / "board.conf").read_text()
    assert "\nsize.kernel = 0x10000\n" in text
    assert "\nfault.i2c_nak = 0x54,0x70\n" in text
    assert "\ntime = real\n" in text
    settings = conf(board)
    assert (settings["size.kernel"], settings["fault.i2c_nak"], settings["time"]) == \
        ("65536", "0x54,0x70", "real")


def test_sample_board_holds_the_sample_records(tmp_path):
    board = create(tmp_path / "b", "--sample")
    flash = {p: (board / "flash" / f"{p}.bin").read_bytes() for p in PARTS}
    # Whole records at the start of the kernel, rfs, device-tree and rescue
    # partitions, erased flash after them.
    for part, name, kind in (("kernel", "kernel.pkg", "kernel"), ("rfs", "rfs.pkg", "rfs"),
                             ("devicetree", "dft.pkg", "dft"), ("rescue", "diags.pkg", "diags")):
        sample = (SAMPLES / name).read_bytes()
        assert flash[part].startswith(sample), part
        rest = flash[part][len(sample):]
        assert rest.count(0xFF) == len(rest), part
        assert len(flash[part]) == DEFAULT_SIZES[part]
        [(listed_type, _)] = pkgtool_list(SAMPLES / name)
        assert listed_type == kind
    # The boot-loader partition holds the bare payload, which carries its
    # header words at byte 240 (its crc word is never compared).
    uboot = (SAMPLES / "uboot.pkg").read_bytes()
    kind, _, header, payload = record(uboot)
    assert kind == TYPE_UBOOT
    assert flash["uboot"].startswith(payload)
    assert flash["uboot"][244:256] == uboot[4:16]
    assert flash["uboot"][len(payload):].count(0xFF) == len(flash["uboot"]) - len(payload)
    # Both slots: the application, slot 2 in another version.
    image1 = board / "user" / "images" / "image1"
    image2 = board / "user" / "images" / "image2"
    assert image1.read_bytes() == (SAMPLES / "app1.pkg").read_bytes()
    assert image2.read_bytes() == (SAMPLES / "app2.pkg").read_bytes()
    [(t1, v1)] = pkgtool_list(image1)
    [(t2, v2)] = pkgtool_list(image2)
    assert t1 == t2 == "app" and v1 != v2
    subprocess.run([str(PKGTOOL), "verify", str(image1)], check=True, capture_output=True)
    # VPD selects slot 1; the environment is valid and asks for nothing special.
    vpd = (board / "vpd.bin").read_bytes()
    assert vpd[1] == 1 and vpd.count(0xFF) == 255
    env = vboard("env", board)
    assert env.returncode == 0, env.stderr
    assert all(key not in env.stdout for key in ("gdb", "shell=", "memchk=", "diagnostics="))


def test_sample_versions_are_distinct(tmp_path):
    versions = [pkgtool_list(SAMPLES / f"{n}.pkg")[0][1]
                for n in ("uboot", "kernel", "rfs", "dft", "diags", "app1", "app2", "gdb")]
    assert len(set(versions)) == len(versions)


# A bad setting and what is said of it, alike in board.conf and in --set.
BAD_SETTINGS = [
    ("size.kernal = 4096", 'unknown key "size.kernal"'),
    ("colour = blue", 'unknown key "colour"'),
    ("time = slow", 'bad value "slow" for key "time"'),
    ("erase_size = 64k", 'bad value "64k" for key "erase_size"'),
    ("size.rfs = 0x100000000", 'bad value "0x100000000" for key "size.rfs"'),
    ("fault.i2c_nak = 0x54,0x80", 'bad value "0x54,0x80" for key "fault.i2c_nak"'),
    ("fault.mtd_write_fail_at = 0", 'bad value "0" for key "fault.mtd_write_fail_at"'),
    ("fault.mtd_probe = yes", 'bad value "yes" for key "fault.mtd_probe"'),
    ("fault.missing = dev/i2c-0", 'bad value "dev/i2c-0" for key "fault.missing"'),
    ("fault.cpld_ready = -1", 'bad value "-1" for key "fault.cpld_ready"'),
]


@pytest.mark.parametrize("line, message", BAD_SETTINGS + [
    ("just words", 'expected "key = value", got "just words"'),
    # A NUL must not end the file unseen, with the line after it.
    ("time = real\0", "NUL byte in the line"),
])
def test_a_bad_board_conf_line_is_refused_naming_file_line_and_key(tmp_path, line, message):
    (tmp_path / "board.conf").write_text(f"# comment\n\ntime = fast\n{line}\nsize.kernal = 1\n")
    result = vboard("vpd", tmp_path)
    assert (result.returncode, result.stderr) == (2, f"vboard: {tmp_path}/board.conf:4: {message}\n")


@pytest.mark.parametrize("item, message", BAD_SETTINGS + [
    ("erase_size", "expected KEY=VALUE"),
    # Written into board.conf, the rest would be a comment there.
    ("fault.missing = /dev/i2c-0#1", '"#" and line ends cannot be written to board.conf'),
])
def test_create_refuses_bad_settings_and_leaves_nothing(tmp_path, item, message):
    result = vboard("create", tmp_path / "b", "--set", "time=real", "--set", item)
    assert (result.returncode, result.stderr) == (2, f"vboard: --set {item}: {message}\n")
    assert list(tmp_path.iterdir()) == []


def test_create_refuses_an_existing_board(tmp_path):
    board = create(tmp_path / "b", "--sample")
    before = snapshot(board)
    result = vboard("create", board)
    assert result.returncode == 2 and "already exists" in result.stderr
    assert snapshot(board) == before
    # An empty directory is fine: it becomes the board.
    (tmp_path / "empty").mkdir()
    create(tmp_path / "empty")
    assert (tmp_path / "empty" / "board.conf").is_file()


# ------------------------------------------------------------------- env

def env_partition(board):
    return (pathlib.Path(board) / "flash" / "ubootenv.bin").read_bytes()


def parse_env(data):
    """The environment as U-Boot reads it: big-endian CRC-32 of the data
    area, then NUL-terminated variables up to an empty one."""
    size = 0x2000
    crc, = struct.unpack(">I", data[:4])
    assert crc == zlib.crc32(data[4:size])
    variables = data[4:size].split(b"\0\0")[0].split(b"\0")
    return [v.decode() for v in variables if v]


def test_env_round_trip(tmp_path):
    board = create(tmp_path / "b")
    assert vboard("env", board).stdout == ""
    assert vboard("env", board, "diagnostics=rescue", "gdbport=2345").returncode == 0
    data = env_partition(board)
    assert parse_env(data) == ["diagnostics=rescue", "gdbport=2345"]
    assert len(data) == DEFAULT_SIZES["ubootenv"]
    assert data[0x2000:].count(0xFF) == len(data) - 0x2000
    # Change one, add one, remove one: order of the others kept.
    assert vboard("env", board, "gdbport=1", "shell=on", "diagnostics=").returncode == 0
    assert parse_env(env_partition(board)) == ["gdbport=1", "shell=on"]
    assert vboard("env", board).stdout == "gdbport=1\nshell=on\n"
    # The launcher reads the variables from offset 4 on.
    assert env_partition(board)[4:22] == b"gdbport=1\0shell=on"


def test_env_values_may_hold_blanks_and_equals(tmp_path):
    board = create(tmp_path / "b")
    assert vboard("env", board, "bootargs=console=ttyS0,9600 root=/dev/mtdblock3").returncode == 0
    assert vboard("env", board).stdout == "bootargs=console=ttyS0,9600 root=/dev/mtdblock3\n"


def test_env_raw_writes_the_bytes_given(tmp_path):
    board = create(tmp_path / "b")
    raw = tmp_path / "raw"
    raw.write_bytes(b"\x00\x00\x00\x00gdb=on\x00odd\x01bytes")
    assert vboard("env", board, "--raw", raw).returncode == 0
    data = env_partition(board)
    assert data.startswith(raw.read_bytes())
    assert data[len(raw.read_bytes()):].count(0xFF) == len(data) - len(raw.read_bytes())
    # Its CRC does not match: printing says so and fails.
    result = vboard("env", board)
    assert result.returncode == 1 and "CRC" in result.stderr
    assert "gdb=on" in result.stdout


def test_env_refuses_what_does_not_fit_and_bad_arguments(tmp_path):
    board = create(tmp_path / "b")
    vboard("env", board, "a=1")
    before = snapshot(board)
    for args in (["x" * 9000 + "=1"], ["novalue"], ["=value"]):
        result = vboard("env", board, *args)
        assert result.returncode == 2 and result.stderr.count("\n") == 1, args
    # What does not fit, read no further than one byte past the partition
    # (memory is capped so that a read of it all fails the test, not the PC),
    # and what is no regular file, never waited for.
    big = tmp_path / "big"
    big.write_bytes(b"\0" * (DEFAULT_SIZES["ubootenv"] + 1))
    with open(tmp_path / "sparse", "wb") as f:
        f.truncate(8 << 30)
    os.mkfifo(tmp_path / "fifo")
    for raw in (big, tmp_path / "sparse", "/dev/zero", tmp_path / "fifo"):
        result = vboard("env", board, "--raw", raw, timeout=60, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_AS, (1 << 30, 1 << 30)))
        assert result.returncode == 2 and result.stderr.count("\n") == 1, (raw, result.stderr)
    assert snapshot(board) == before


@pytest.mark.parametrize("name, command", [("flash/ubootenv.bin", ["env", "a=1"]),
                                           ("vpd.bin", ["vpd", "1=2"])])
def test_env_and_vpd_name_the_file_they_cannot_use(tmp_path, name, command):
    board = create(tmp_path / "b")
    (board / name).unlink()
    (board / name).mkdir()
    result = vboard(command[0], board, *command[1:])
    assert (result.returncode, result.stderr) == (2, f"vboard: {board / name}: Is a directory\n")


def test_env_fits_a_small_partition(tmp_path):
    board = create(tmp_path / "b", "--set", "size.ubootenv=4096")
    assert vboard("env", board, "a=1").returncode == 0
    data = env_partition(board)
    assert len(data) == 4096
    crc, = struct.unpack(">I", data[:4])
    assert crc == zlib.crc32(data[4:])
    assert vboard("env", board).stdout == "a=1\n"


# ------------------------------------------------------------------- vpd

def test_vpd_get_set_and_dump(tmp_path):
    board = create(tmp_path / "b")
    assert vboard("vpd", board, "59").stdout == "0xff\n"
    assert vboard("vpd", board, "59=4").returncode == 0
    assert vboard("vpd", board, "0x3b").stdout == "0x04\n"
    assert vboard("vpd", board, "1=0x02").returncode == 0
    vpd = (board / "vpd.bin").read_bytes()
    assert vpd[59] == 4 and vpd[1] == 2 and len(vpd) == 256
    dump = vboard("vpd", board).stdout.splitlines()
    assert len(dump) == 16
    assert dump[0] == "00: ff 02 " + " ".join(["ff"] * 14)
    assert dump[3].split()[12] == "04"


@pytest.mark.parametrize("arg", ["256", "-1", "x", "1=256", "1=", "0x=1", "1=two"])
def test_vpd_refuses_bad_offsets_and_values(tmp_path, arg):
    board = create(tmp_path / "b")
    before = snapshot(board)
    result = vboard("vpd", board, arg)
    assert result.returncode == 2 and result.stderr.count("\n") == 1
    assert snapshot(board) == before


# --------------------------------------------------- missing or bad boards

@pytest.mark.parametrize("command", [["env"], ["env", "a=1"], ["vpd"], ["vpd", "1=2"], ["trace"],
                                     ["boot", "--once"], ["run", "--", "true"]])
def test_commands_refuse_a_missing_board(tmp_path, command):
    result = vboard(command[0], tmp_path / "nothing", *command[1:])
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "no such board" in result.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("command", [["env", "a=1"], ["vpd", "1=2"], ["boot", "--once"],
                                     ["run", "--", "true"]])
def test_commands_refuse_a_board_conf_typo_and_leave_the_board_untouched(tmp_path, command):
    board = create(tmp_path / "b", "--sample")
    with open(board / "board.conf", "a") as f:
        f.write("size.kernal = 4096\n")
    lines = (board / "board.conf").read_text().count("\n")
    before = snapshot(board)
    result = vboard(command[0], board, *command[1:])
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1
    assert f"board.conf:{lines}:" in result.stderr and '"size.kernal"' in result.stderr
    assert snapshot(board) == before


def test_what_holds_no_board_conf_is_no_board(tmp_path):
    result = vboard("vpd", tmp_path)
    assert result.returncode == 2 and "not a board" in result.stderr
    (tmp_path / "board.conf").write_text("#" * 65536 + "\n")
    result = vboard("vpd", tmp_path)
    assert (result.returncode, result.stderr) == (
        2, f"vboard: {tmp_path}/board.conf: cannot read: longer than 64 KiB\n")


def test_bad_arguments_give_one_line_and_run_nothing(tmp_path):
    board = create(tmp_path / "b")
    for args in (["frobnicate"], ["boot", board, "--max-boots", "x"], ["vpd"],
                 ["boot", board, "--escape", "q"], ["boot", board, "--max-boots", "0"],
                 ["boot", board, "--timeout", "-1"], ["boot", board, "--timeout", "nan"],
                 ["boot", board, "--once", "--max-boots", "2"],
                 *(["run", board, "--bind", bind, "--", "true"] for bind in (
                     tmp_path / "absent", f"{board}:", f"{board}:opt", "/usr/bin/env",
                     f"{board}:/", f"{board}:/tmp/x", f"{board}:/opt/../vboard",
                     f"{board}:/dev/mtd-kernel", f"{board}:/user", f"{board}:/bin"))):
        result = vboard(*args)
        assert result.returncode == 2, args
        assert result.stderr.count("\n") == 1 and result.stderr.startswith("vboard: "), args
    assert events(board) == []


def test_trace_prints_the_trace(tmp_path):
    board = create(tmp_path / "b")
    (board / "trace.log").write_text("0 power-on\n5 sleep 5\n")
    result = vboard("trace", board)
    assert result.returncode == 0 and result.stdout == "0 power-on\n5 sleep 5\n"


def test_samples_that_do_not_fit_their_partition_leave_no_board(tmp_path):
    result = vboard("create", tmp_path / "b", "--sample", "--set", "size.rescue=64")
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "rescue" in result.stderr
    assert list(tmp_path.iterdir()) == []
