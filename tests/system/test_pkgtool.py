"""pkgtool as a firmware engineer uses it: build, check, list, verify, extract."""
import gzip
import io
import json
import os
import signal
import struct
import tarfile
import zlib

import pytest

from records import EXTENDED, TYPES, gen_crc, record, walk
from vb import SAMPLES, VBoard, archive


@pytest.fixture
def files(tmp_path):
    made = {}
    for name, size in [("kernel", 3000), ("rfs", 70000), ("app", 12345), ("dft", 100), ("uboot", 600), ("diags", 17),
                       ("tiny", 3)]:
        data = bytearray((i * 7 + len(name)) & 0xFF for i in range(size))
        if name == "uboot":
            data[240:256] = bytes(16)  # reserved for its header copy
        path = tmp_path / f"{name}.img"
        path.write_bytes(data)
        made[name] = path
    return made


def fill(arg, **places):
    """ARG with each placeholder NAME in it replaced by the path given for it."""
    for name, path in places.items():
        arg = arg.replace(name, str(path))
    return arg


def records_of(path):
    data = path.read_bytes()
    return [(off, crc, length, magic, ident, hl, data[off + hl:off + hl + length])
            for off, crc, length, magic, ident, hl in walk(data)]


class TestCreate:
    def test_records_in_the_order_given_with_versions_and_checksums(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        r = pkgtool("create", out, f"kernel={files['kernel']}@1.2.3.4", f"app={files['app']}@10.0.255.7",
                    f"dft={files['dft']}")
        assert r.returncode == 0, r.stderr
        assert r.stdout == "" and r.stderr == ""
        recs = records_of(out)
        assert [(m, i) for _, _, _, m, i, _, _ in recs] == [
            (TYPES["kernel"], 0x01020304), (TYPES["app"], 0x0A00FF07), (TYPES["dft"], 0)]
        data = out.read_bytes()
        for (off, crc, length, magic, ident, hl, payload), name in zip(recs, ["kernel", "app", "dft"]):
            assert hl == 16
            assert payload == files[name].read_bytes()
            assert crc == gen_crc(data[off + 4:off + hl + length])
        assert len(data) == sum(hl + length for _, _, length, _, _, hl, _ in recs)

    @pytest.mark.parametrize("option,hdr_len", [("--extended", 20), ("--extended=24", 24), ("--extended=4096", 4096)])
    def test_extended_headers(self, pkgtool, files, tmp_path, option, hdr_len):
        out = tmp_path / "e.pkg"
        assert pkgtool("create", out, option, f"rfs={files['rfs']}@0.0.0.1", f"diags={files['diags']}").returncode == 0
        recs = records_of(out)
        assert len(recs) == 2
        for off, crc, length, magic, ident, hl, payload in recs:
            assert magic & EXTENDED and hl == hdr_len
        assert recs[0][6] == files["rfs"].read_bytes()
        assert recs[1][0] == hdr_len + 70000
        assert pkgtool("verify", out).returncode == 0

    @pytest.mark.parametrize("option,area", [
        ([], bytes(16)),
        (["--extended=32"], b"\xff" * 16),
        ([], struct.pack(">IIII", 0, 4096, TYPES["uboot"], 0x01000001)),
        ([], struct.pack(">IIII", 7, 4096, TYPES["uboot"] | EXTENDED, 0x01000001)),
        (["--overwrite-copy"], bytes(range(16))),
    ], ids=["zeros", "erased", "earlier-copy", "earlier-extended-copy", "overwrite"])
    def test_boot_loader_gets_its_header_copy_at_byte_240(self, pkgtool, files, tmp_path, option, area):
        data = bytearray(files["uboot"].read_bytes())
        data[240:256] = area
        files["uboot"].write_bytes(data)
        out = tmp_path / "u.pkg"
        assert pkgtool("create", out, *option, f"uboot={files['uboot']}@3.1.4.1").returncode == 0
        (off, crc, length, magic, ident, hl, payload), = records_of(out)
        original = files["uboot"].read_bytes()
        assert payload[:240] == original[:240] and payload[256:] == original[256:]
        copy_crc, copy_len, copy_magic, copy_id = struct.unpack_from(">IIII", payload, 240)
        assert (copy_len, copy_magic, copy_id) == (length, magic, ident) == (600, magic, 0x03010401)
        assert copy_crc == 0
        # The record checksum covers the stamped payload.
        assert crc == gen_crc(out.read_bytes()[4:])

    @pytest.mark.parametrize("area", [bytes(range(16)), b"\xff" * 15 + b"\xfe",
                                      struct.pack(">IIII", 0, 600, TYPES["kernel"], 0)])
    def test_boot_loader_data_at_byte_240_is_not_overwritten(self, pkgtool, files, tmp_path, area):
        data = bytearray(files["uboot"].read_bytes())
        data[240:256] = area
        files["uboot"].write_bytes(data)
        out = tmp_path / "u.pkg"
        r = pkgtool("create", out, f"uboot={files['uboot']}")
        assert r.returncode == 2 and r.stderr.count("\n") == 1
        assert "bytes 240 to 255" in r.stderr and "--overwrite-copy" in r.stderr
        assert not out.exists()

    @pytest.mark.parametrize("specs", [
        ["dft=TINY", "kernel=FILE"],
        ["--extended", "kernel=FILE", "dft=TINY"],
        ["dft=EMPTY", "dft=TINY", "kernel=FILE"],
    ], ids=["first", "extended-last", "empty-first"])
    def test_payloads_under_four_bytes_where_the_board_sees_them(self, pkgtool, files, tmp_path, specs):
        (tmp_path / "empty").write_bytes(b"")
        out = tmp_path / "s.pkg"
        r = pkgtool("create", out, *[fill(s, TINY=files["tiny"], FILE=files["kernel"], EMPTY=tmp_path / "empty")
                                     for s in specs])
        assert r.returncode == 0, r.stderr
        assert pkgtool("verify", out).stdout == f"{out}: OK, {len(specs) - specs.count('--extended')} records\n"

    def test_boot_loader_of_exactly_256_bytes_is_accepted_and_255_refused(self, pkgtool, tmp_path):
        for size, rc in [(256, 0), (255, 2)]:
            src = tmp_path / f"u{size}"
            src.write_bytes(bytes(size))
            out = tmp_path / f"u{size}.pkg"
            r = pkgtool("create", out, f"uboot={src}")
            assert r.returncode == rc
            assert out.exists() == (rc == 0)
        assert "240" in r.stderr

    @pytest.mark.parametrize("arg,problem", [
        ("foo=FILE", "unknown record type"),
        ("kernel=FILE@1.2.3", "bad version"),
        ("kernel=FILE@1.2.3.256", "bad version"),
        ("kernel=FILE@1.2.3.4.5", "bad version"),
        ("kernel=FILE@a.b.c.d", "bad version"),
        ("kernel=FILE@-1.2.3.4", "bad version"),
        ("kernel", "expected TYPE=FILE"),
        ("kernel=", "no file"),
        ("kernel=MISSING", "No such file"),
        ("kernel=FIFO", "not a regular file"),
        ("kernel=/dev/zero", "not a regular file"),
        ("dft=TINY", "at least 4 payload bytes"),
        ("--extended=19", "header length"),
        ("--extended=65536", "header length"),
        ("--bogus", "unknown option"),
        ("kernel=DIR", "a folder is packed only as app or diags"),
        ("app=DIR", "a FIFO cannot be packed"),
        ("diags=HERE", "the output would be written into the folder being packed"),
    ])
    def test_bad_input_is_one_line_exit_2_and_nothing_written(self, pkgtool, files, tmp_path, arg, problem):
        out = tmp_path / "bad.pkg"
        os.mkfifo(tmp_path / "fifo")  # no writer ever comes
        (tmp_path / "dir").mkdir()
        os.mkfifo(tmp_path / "dir" / "pipe")
        arg = fill(arg, FILE=files["kernel"], MISSING=tmp_path / "missing", FIFO=tmp_path / "fifo", TINY=files["tiny"],
                   DIR=tmp_path / "dir", HERE=tmp_path)
        r = pkgtool("create", out, f"app={files['app']}", arg)
        assert r.returncode == 2
        assert problem in r.stderr and r.stderr.count("\n") == 1
        assert r.stdout == ""
        assert os.listdir(tmp_path) == [p.name for p in files.values()] or not out.exists()
        assert not out.exists()
        assert not [n for n in os.listdir(tmp_path) if n.startswith("bad.pkg")]

    def test_a_failing_later_record_leaves_an_existing_output_untouched(self, pkgtool, files, tmp_path):
        out = tmp_path / "keep.pkg"
        out.write_bytes(b"previous package")
        r = pkgtool("create", out, f"app={files['app']}", f"kernel={tmp_path / 'gone'}")
        assert r.returncode == 2
        assert out.read_bytes() == b"previous package"
        assert sorted(os.listdir(tmp_path)) == sorted([p.name for p in files.values()] + ["keep.pkg"])

    def test_output_in_a_missing_directory(self, pkgtool, files, tmp_path):
        r = pkgtool("create", tmp_path / "no" / "such" / "p.pkg", f"app={files['app']}")
        assert r.returncode == 2 and "No such file" in r.stderr

    def test_no_records_and_no_arguments_are_usage_errors(self, pkgtool, tmp_path):
        assert pkgtool("create", tmp_path / "p.pkg").returncode == 2
        r = pkgtool()
        assert r.returncode == 2 and "usage" in r.stderr
        assert pkgtool("list").returncode == 2
        assert pkgtool("frobnicate", "x").returncode == 2


def lines(r):
    return r.stdout.splitlines()


class TestList:
    def test_one_line_per_record(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, f"kernel={files['kernel']}@1.2.3.4", "--extended=24", f"app={files['app']}@2.0.0.1")
        r = pkgtool("list", out)
        assert r.returncode == 0, r.stdout
        header, first, second = lines(r)
        assert header.split() == ["#", "offset", "type", "version", "header", "payload", "checksum"]
        assert first.split()[:7] == ["1", "0x00000000", "kernel", "1.2.3.4", "extended/24", "3000", "OK"]
        assert second.split()[:7] == ["2", f"0x{3024:08x}", "app", "2.0.0.1", "extended/24", "12345", "OK"]

    def test_a_corrupt_byte_shows_bad_with_both_checksums_and_exit_1(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, f"kernel={files['kernel']}", f"app={files['app']}")
        data = bytearray(out.read_bytes())
        data[3016 + 100] ^= 0x40  # inside the second record's payload
        out.write_bytes(bytes(data))
        r = pkgtool("list", out)
        assert r.returncode == 1
        first, second = lines(r)[1:]
        assert first.split()[6] == "OK"
        stored = struct.unpack_from(">I", data, 3016)[0]
        computed = gen_crc(bytes(data[3016 + 4:]))
        assert second.split()[6:] == ["BAD", "stored", f"0x{stored:08x}", "computed", f"0x{computed:08x}"]

    def test_trailing_bytes_are_named(self, pkgtool, tmp_path):
        out = tmp_path / "t.pkg"
        out.write_bytes(record("dft", b"abcdef") + b"\x00" * 19)
        r = pkgtool("list", out)
        assert r.returncode == 1
        assert lines(r)[2].split()[1:] == [f"0x{22:08x}", "19", "trailing", "bytes", "are", "not", "a", "record"]

    def test_a_payload_shorter_than_four_bytes_alone_is_only_trailing_bytes(self, pkgtool, tmp_path):
        out = tmp_path / "s.pkg"
        out.write_bytes(record("app", b"abc"))
        r = pkgtool("list", out)
        assert r.returncode == 1 and "19 trailing bytes" in r.stdout

    def test_a_truncated_record_is_reported_not_read_past(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, f"kernel={files['kernel']}", f"rfs={files['rfs']}")
        out.write_bytes(out.read_bytes()[:-1])
        r = pkgtool("list", out)
        assert r.returncode == 1
        assert "record runs past the end" in lines(r)[2] and "rfs" in lines(r)[2]

    @pytest.mark.parametrize("rec,problem", [
        (record("app", b"", hdr_len=0), "header length below 16"),
        (record("app", b"x" * 40, hdr_len=8), "header length below 16"),
        (record("app", b"", hdr_len=0xFFFF, length=0xFFFFFFFF, pad=False), "wraps"),
        (record("kernel", b"", length=0xFFFFFFF0), "wraps"),
        (record("kernel", b"abcd", length=0xF0000000), "runs past the end"),
    ], ids=["zero-header", "header-8", "wrap-extended", "wrap-basic", "huge"])
    def test_unusable_headers_end_the_walk(self, pkgtool, tmp_path, rec, problem):
        out = tmp_path / "h.pkg"
        out.write_bytes(record("dft", b"good") + rec + record("dft", b"never seen"))
        r = pkgtool("list", out)
        assert r.returncode == 1
        assert len(lines(r)) == 3
        assert problem in lines(r)[2]

    def test_unknown_types_are_listed_by_number(self, pkgtool, tmp_path):
        out = tmp_path / "u.pkg"
        out.write_bytes(record(0x07504F4C, b"mystery", version=(1, 0, 0, 0)))
        r = pkgtool("list", out)
        assert r.returncode == 0
        assert lines(r)[1].split()[2:4] == ["0x07504f4c", "1.0.0.0"]

    def test_empty_package(self, pkgtool, tmp_path):
        out = tmp_path / "empty"
        out.write_bytes(b"")
        r = pkgtool("list", out)
        assert r.returncode == 1 and "(no records)" in r.stdout


class TestVerify:
    def test_good_bad_and_missing(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, f"kernel={files['kernel']}", f"dft={files['dft']}")
        r = pkgtool("verify", out)
        assert (r.returncode, r.stdout) == (0, f"{out}: OK, 2 records\n")

        data = bytearray(out.read_bytes())
        data[3016 + 13] ^= 0x01  # a byte of the second record's version
        out.write_bytes(bytes(data))
        r = pkgtool("verify", out)
        assert r.returncode == 1
        assert r.stdout == f"{out}: BAD, record 2 (dft) at 0x{3016:08x}: checksum mismatch\n"

        r = pkgtool("verify", tmp_path / "absent")
        assert r.returncode == 2 and r.stdout == "" and "No such file" in r.stderr
        r = pkgtool("verify", tmp_path)
        assert r.returncode == 2 and "not a regular file" in r.stderr

    def test_changing_only_the_stored_checksum_fails(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, f"app={files['app']}")
        data = bytearray(out.read_bytes())
        data[0] ^= 1
        out.write_bytes(bytes(data))
        assert pkgtool("verify", out).returncode == 1

    def test_empty_is_not_a_package(self, pkgtool, tmp_path):
        out = tmp_path / "empty"
        out.write_bytes(b"")
        r = pkgtool("verify", out)
        assert (r.returncode, r.stdout) == (1, f"{out}: BAD, no records\n")


class TestExtract:
    def test_payloads_named_by_index_and_type(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, "--extended=28", f"uboot={files['uboot']}", f"rfs={files['rfs']}", f"diags={files['diags']}")
        dest = tmp_path / "x"
        r = pkgtool("extract", out, dest)
        assert r.returncode == 0, r.stderr
        assert sorted(os.listdir(dest)) == ["01-uboot.bin", "02-rfs.bin", "03-diags.bin"]
        assert (dest / "02-rfs.bin").read_bytes() == files["rfs"].read_bytes()
        assert (dest / "03-diags.bin").read_bytes() == files["diags"].read_bytes()
        uboot = (dest / "01-uboot.bin").read_bytes()
        assert len(uboot) == 600 and uboot[256:] == files["uboot"].read_bytes()[256:]

    def test_a_bad_record_is_not_extracted_and_the_rest_are(self, pkgtool, tmp_path):
        out = tmp_path / "p.pkg"
        out.write_bytes(record("kernel", b"k" * 50) + record("app", b"a" * 30, crc=1) + record(0x09504F4C, b"oddity"))
        dest = tmp_path / "x"
        r = pkgtool("extract", out, dest)
        assert r.returncode == 1
        assert "record 2 (app)" in r.stderr
        assert sorted(os.listdir(dest)) == ["01-kernel.bin", "03-0x09504f4c.bin"]
        assert (dest / "03-0x09504f4c.bin").read_bytes() == b"oddity"

    def test_destination_that_is_a_file(self, pkgtool, files, tmp_path):
        out = tmp_path / "p.pkg"
        pkgtool("create", out, f"app={files['app']}")
        r = pkgtool("extract", out, files["kernel"])
        assert r.returncode == 2 and "Not a directory" in r.stderr


def test_crc_of_a_file(pkgtool, tmp_path):
    f = tmp_path / "digits"
    f.write_bytes(b"123456789")
    r = pkgtool("crc", f)
    assert (r.returncode, r.stdout) == (0, f"0x340bc6d9  {f}\n")
    f.write_bytes(b"")
    assert pkgtool("crc", f).stdout.startswith("0xffffffff")


def test_records_past_eight_mib_are_checked_in_full(pkgtool, tmp_path):
    # Big spans are checksummed in two halves: a flip in either half, or in
    # the last byte, must still be found.
    payload = os.urandom((9 << 20) + 3)
    src = tmp_path / "rfs"
    src.write_bytes(payload)
    out = tmp_path / "big.pkg"
    assert pkgtool("create", out, f"rfs={src}@1.1.1.1", f"app={src}").returncode == 0
    data = out.read_bytes()
    assert struct.unpack_from(">I", data, 0)[0] == gen_crc(data[4:16 + len(payload)])
    assert pkgtool("verify", out).returncode == 0
    for where in [100, 16 + len(payload) // 2 + 7, 16 + len(payload) - 1]:
        bad = bytearray(data)
        bad[where] ^= 0x10
        out.write_bytes(bytes(bad))
        r = pkgtool("verify", out)
        assert r.returncode == 1 and "record 1 (rfs)" in r.stdout, where


@pytest.mark.parametrize("command", [["verify"], ["list"], ["crc"], ["extract", "DIR"], ["check"]],
                         ids=["verify", "list", "crc", "extract", "check"])
@pytest.mark.parametrize("path", ["FIFO", "/dev/zero"], ids=["fifo", "device"])
def test_a_package_that_is_not_a_regular_file_is_refused_at_once(pkgtool, tmp_path, command, path):
    os.mkfifo(tmp_path / "FIFO")  # no writer ever comes
    r = pkgtool(command[0], fill(path, FIFO=tmp_path / "FIFO"), *[fill(a, DIR=tmp_path / "x") for a in command[1:]])
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.endswith(": not a regular file\n") and r.stderr.count("\n") == 1


def test_many_small_records_across_read_boundaries(pkgtool, tmp_path):
    # A walk reads the package a megabyte at a time: records that straddle
    # those reads must be found and checked like any other.
    recs, offsets = [], []
    while sum(map(len, recs)) < (3 << 20) + 1000:
        offsets.append(sum(map(len, recs)))
        n = len(recs)
        recs.append(record("dft", bytes([n & 0xFF]) * (n * 7 % 1500), version=(n & 0xFF, 0, 0, 1)))
    data = b"".join(recs)
    out = tmp_path / "many.pkg"
    out.write_bytes(data)
    assert pkgtool("verify", out).stdout == f"{out}: OK, {len(recs)} records\n"
    assert len(lines(pkgtool("list", out))) == 1 + len(recs)
    for where in [(1 << 20) - 1, 1 << 20, (2 << 20) + 3, len(data) - 1]:
        bad = bytearray(data)
        bad[where] ^= 0x01
        out.write_bytes(bytes(bad))
        index = max(i for i, off in enumerate(offsets) if off <= where)
        r = pkgtool("verify", out)
        assert r.stdout == f"{out}: BAD, record {index + 1} (dft) at 0x{offsets[index]:08x}: checksum mismatch\n"


@pytest.mark.parametrize("size,option,problem", [
    (40 << 20, [], None),
    (40 << 20, ["app"], None),
    (2**32 - 16 + 1, [], "too large for one record"),
    (2**32 - 300 + 1, ["--extended=300"], "too large for one record"),
], ids=["40MiB", "40MiB-in-a-folder", "over-4GiB-basic", "over-4GiB-extended"])
def test_inputs_are_streamed_in_bounded_memory(pkgtool, tmp_path, size, option, problem):
    (tmp_path / "dir").mkdir()
    src = tmp_path / "dir" / "payload"
    with open(src, "wb") as f:
        f.truncate(size)  # sparse: costs no disk
    out = tmp_path / "p.pkg"
    # The shared libraries alone take about 42 MiB of address space.
    limit = ("prlimit", f"--as={64 << 20}")
    arg = f"app={src.parent}" if option == ["app"] else f"rfs={src}"
    r = pkgtool("create", out, *[o for o in option if o != "app"], arg, wrap=limit)
    if problem:
        assert r.returncode == 2 and problem in r.stderr
        assert not out.exists()
        return
    assert r.returncode == 0, r.stderr
    assert out.stat().st_size == 16 + size or option == ["app"]
    assert pkgtool("verify", out, wrap=limit).stdout == f"{out}: OK, 1 record\n"


@pytest.mark.parametrize("sig", ["INT", "TERM", "HUP"])
@pytest.mark.parametrize("command", ["create", "extract"])
def test_an_interrupted_run_leaves_no_temporary_file(pkgtool, files, tmp_path, command, sig):
    pkg = tmp_path / "p.pkg"
    assert pkgtool("create", pkg, f"rfs={files['rfs']}").returncode == 0
    dest = tmp_path / "out"
    dest.mkdir()
    args = ["create", dest / "q.pkg", f"rfs={files['rfs']}"] if command == "create" else ["extract", pkg, dest]
    # The signal comes as the first bytes go to the temporary file.
    strace = ("strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=write",
              "-e", f"inject=write:signal={sig}:when=1")
    r = pkgtool(*args, wrap=strace)
    number = getattr(signal, f"SIG{sig}")
    assert r.returncode in (-number, 128 + number), r.stderr
    assert os.listdir(dest) == []


def tgz(members):
    """A gzip tar of {member: (data, mode)} in the order given, where data
    "->T" makes a symbolic link to T and "=>T" a hard link to T."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, (data, mode) in members.items():
            info = tarfile.TarInfo(name)
            info.mode = mode
            if data[:2] in ("->", "=>"):
                info.type = tarfile.SYMTYPE if data[0] == "-" else tarfile.LNKTYPE
                info.linkname = data[2:]
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data.encode()))
    return buf.getvalue()


def uboot(size, copy=(None, TYPES["uboot"], 0x01000001), **kw):
    """A boot-loader record of version 1.0.0.1 whose payload carries the
    header copy (len, magic, id); len None stands for the payload's."""
    payload = bytearray(size)
    payload[240:256] = struct.pack(">IIII", 0, size if copy[0] is None else copy[0], *copy[1:])
    return record("uboot", bytes(payload), version=(1, 0, 0, 1), **kw)


APP = {"home/bin/mp.elf.strip": ("#!/bin/sh\n", 0o755)}
MISFITS = "payload is not a readable gzip-compressed tar archive"
COPY = "header copy at byte 240 does not match the record (it holds length "
NOT_OURS = "the installer asks for one slot per package, so it replaces record 1 there"

# Package recipe -> findings, as (record index, type, problem); none: OK.
CHECKS = [
    (lambda: record("app", tgz({"./home/bin/mp.elf.strip": ("#!/bin/sh\n", 0o755), "home/bin/sh": ("->mp.elf.strip", 0o777),
                                "lib": ("->home/../home", 0o777),
                                "lib/x": ("", 0o644)})), []),
    (lambda: record("app", gzip.compress(b"\x7fELF debugger")), []),
    (lambda: uboot(524288) + record("kernel", bytes(3145728 - 16)), []),
    (lambda: record("app", b"plain text, no archive"), [(1, "app", MISFITS + " (Unrecognized archive format)")]),
    (lambda: record("app", gzip.decompress(archive(APP))), [(1, "app", MISFITS + " (not gzip-compressed)")]),
    (lambda: record("app", archive(APP)[:-9]), [(1, "app", MISFITS + " (truncated gzip input)")]),
    (lambda: record("app", archive({"home/bin/mp": ("", 0o755)})), [(1, "app", "lacks home/bin/mp.elf.strip")]),
    (lambda: record("diags", archive(APP)), [(1, "diags", "lacks mpdiag.elf.strip")]),
    (lambda: record("app", archive({"home/bin/mp.elf.strip": ("", 0o644), "home/bin/install.sh": ("", 0o600)})),
     [(1, "app", "home/bin/mp.elf.strip is not executable"),
      (1, "app", "home/bin/install.sh is not executable: the launch runs it directly")]),
    (lambda: record("app", archive({**APP, "/etc/passwd": ("", 0o644), "home/../../x": ("", 0o644),
                                    "\x1b[2Jé\udce9/../../y": ("", 0o644)})),
     [(1, "app", r"member \x1b[2Jé\xe9/../../y leaves /tmp"), (1, "app", "member /etc/passwd is an absolute path"),
      (1, "app", "member home/../../x leaves /tmp")]),
    (lambda: record("app", tgz({**APP, "etc": ("->/etc", 0o777), "etc/shadow": ("", 0o600), "hop": ("->etc", 0o777),
                                "hop/group": ("", 0o644), "pw": ("=>../passwd", 0o644)})),
     [(1, "app", "member etc/shadow is unpacked through the symbolic link etc, which leads out of /tmp"),
      (1, "app", "member hop/group is unpacked through the symbolic link hop, which leads out of /tmp"),
      (1, "app", "hard link target ../passwd leaves /tmp")]),
    (lambda: uboot(300, (299, TYPES["uboot"], 0x01000001)), [(1, "uboot", COPY + "299, magic 0x02504f4c, version 1.0.0.1)")]),
    (lambda: uboot(300, (300, TYPES["uboot"], 0x01000000)), [(1, "uboot", COPY + "300, magic 0x02504f4c, version 1.0.0.0)")]),
    (lambda: uboot(300, hdr_len=20), [(1, "uboot", COPY + "300, magic 0x02504f4c, version 1.0.0.1)")]),
    (lambda: record("uboot", bytes(255)),
     [(1, "uboot", "payload shorter than 256 bytes: no room for its header copy at byte 240")]),
    (lambda: uboot(524289), [(1, "uboot", "too big for its partition: payload length 524289 > 524288")]),
    (lambda: record("kernel", bytes(3145728 - 15)),
     [(1, "kernel", "too big for its partition: record length 3145729 > 3145728")]),
    (lambda: record("dft", b"device tree", crc=1),
     [(1, "dft", "checksum mismatch (stored 0x00000001, computed {crc})")]),
    (lambda: record("app", archive(APP)) + record("kernel", b"k" * 64) + record("app", archive(APP)),
     [(3, "app", "a second application record: " + NOT_OURS)]),
    (lambda: record(0x07504F4C, b"future"), [(1, "0x07504f4c", "unknown record type: the installer passes over it")]),
    (lambda: b"", [(1, None, "no records")]),
    (lambda: record("dft", b"device tree") + bytes(7), [(2, None, "7 trailing bytes are not a record")]),
]


@pytest.mark.parametrize("recipe,findings", CHECKS)
def test_check_names_what_would_fail_on_a_board(pkgtool, tmp_path, recipe, findings):
    data = recipe()
    pkg = tmp_path / "p\x1b-é.pkg"  # control bytes escaped, UTF-8 kept
    pkg.write_bytes(data)
    offsets = [0]
    for off, _, length, _, _, hl in walk(data):
        offsets.append(off + hl + length)
    crc = f"0x{gen_crc(data[4:]):08x}"
    expected = [{"record": i, "offset": offsets[i - 1], "type": t, "problem": p.replace("{crc}", crc)}
                for i, t, p in findings]
    r = pkgtool("check", pkg)
    records = len(offsets) - 1
    text = "".join(f"{pkg}: " + (f"record {f['record']} ({f['type']}) " if f["type"] else "")
                   + f"at 0x{f['offset']:08x}: {f['problem']}\n" for f in expected)
    assert (r.returncode, r.stdout) == (1 if findings else 0, text or f"{pkg}: OK, {records} record{'s' * (records != 1)}\n")
    r = pkgtool("check", "--json", pkg)
    assert json.loads(r.stdout) == {"package": str(pkg).replace("\x1b", r"\x1b"), "records": records, "ok": not findings, "findings": expected}


def test_every_sample_package_passes_check(pkgtool):
    for pkg in sorted(SAMPLES.glob("*.pkg")):
        n = len(list(walk(pkg.read_bytes())))
        assert pkgtool("check", pkg).stdout == f"{pkg}: OK, {n} record{'s' * (n != 1)}\n"


LONG = "d" * 120  # past ustar's 100-byte names
TREE = {  # path under /tmp: (text, or "->" a link target, or None for a folder; mode)
    "home": (None, 0o755),
    "home/bin": (None, 0o755),
    "home/bin/mp.elf.strip": (f'#!/bin/sh\necho "folder app up: $FOLDER_APP"\ncat /tmp/home/{LONG}/{LONG}\n'
                              'readlink /tmp/home/bin/sh\ncat "/tmp/home/$(printf \'caf\\351\')"\n', 0o755),
    "home/bin/install.sh": ("#!/bin/sh\necho installed\n", 0o750),
    "home/bin/env-setup": ("FOLDER_APP yes\n", 0o644),
    "home/bin/sh": ("->mp.elf.strip", None),
    f"home/{LONG}": (None, 0o755),
    f"home/{LONG}/{LONG}": ("long path\n", 0o600),
    "home/caf\udce9": ("not UTF-8\n", 0o644),  # the byte 0xE9 alone
    "home/empty": (None, 0o700),
}


def make_tree(root, reverse=False, owner=None, mtime=None):
    for path, (text, mode) in sorted(TREE.items(), reverse=reverse):
        where = root / path
        where.parent.mkdir(parents=True, exist_ok=True)
        if text is None:
            where.mkdir(exist_ok=True)
        elif text.startswith("->"):
            where.symlink_to(text[2:])
        else:
            where.write_text(text)
        if mode is not None:
            where.chmod(mode)
    for where in [root, *root.rglob("*")]:
        if owner is not None:
            os.lchown(where, owner, owner)
        if mtime is not None:
            os.utime(where, (mtime, mtime), follow_symlinks=False)
    return root


def test_a_folder_always_packs_to_the_same_bytes(pkgtool, tmp_path):
    one = make_tree(tmp_path / "one")
    # Created in the other order, with other owners and times.
    two = make_tree(tmp_path / "two", reverse=True, owner=4242, mtime=1_700_000_000)
    packs = []
    for n, folder in enumerate([one, one, two]):
        pkg = tmp_path / f"{n}.pkg"
        assert pkgtool("create", pkg, f"app={folder}@1.2.3.4").returncode == 0
        packs.append(pkg.read_bytes())
    assert packs[0] == packs[1] == packs[2]
    payload = packs[0][16:]
    assert payload[4:8] == bytes(4)  # no time in the gzip header
    unzip = zlib.decompressobj(wbits=31)
    unzip.decompress(payload)
    assert unzip.eof and unzip.unused_data == b""  # nothing after the gzip stream
    members = tarfile.open(fileobj=io.BytesIO(payload), mode="r:gz").getmembers()
    names = ["home", "home/bin", "home/bin/env-setup", "home/bin/install.sh", "home/bin/mp.elf.strip", "home/bin/sh",
             "home/caf\udce9", f"home/{LONG}", f"home/{LONG}/{LONG}", "home/empty"]
    assert [m.name for m in members] == names
    assert {(m.uid, m.gid, m.mtime) for m in members} == {(0, 0, 0)}
    modes = {m.name: (m.mode if not m.issym() else "->" + m.linkname) for m in members}
    assert modes == {p: (t if t and t.startswith("->") else m) for p, (t, m) in TREE.items()}


def test_a_file_that_changes_while_packed_leaves_no_package(pkgtool, tmp_path):
    # A kernel file bound into the folder says it holds 0 bytes, then yields
    # more: the archive would announce one length and carry another.
    folder = make_tree(tmp_path / "app")
    out = tmp_path / "p.pkg"
    bind = f'mount --bind /proc/version {folder}/home/bin/env-setup && exec "$0" "$@"'
    r = pkgtool("create", out, f"app={folder}", wrap=("unshare", "-m", "sh", "-c", bind))
    assert (r.returncode, r.stderr) == (2, f"pkgtool: {folder}/home/bin/env-setup: changed while being read\n")
    assert not out.exists() and os.listdir(tmp_path) == ["app"]


def test_a_package_built_from_a_folder_boots_on_a_board(pkgtool, tmp_path):
    pkg = tmp_path / "p.pkg"
    assert pkgtool("create", pkg, f"app={make_tree(tmp_path / 'app')}@6.1.0.0").returncode == 0
    board = VBoard.create(tmp_path / "board")
    board.write_slot(1, pkg.read_bytes())
    rc, console = board.boot()
    assert (rc, console) == (0, "Booting image '1'\nRunning AOS install script\ninstalled\n"
                                "folder app up: yes\nlong path\nmp.elf.strip\nnot UTF-8\n")
