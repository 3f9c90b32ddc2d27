"""pkgtool as a firmware engineer uses it: build, check, list, verify, extract."""
import gzip
import io
import json
import os
import re
import signal
import struct
import tarfile

import pytest

from records import EXTENDED, TYPES, flipped, gen_crc, payloads, record, walk
from vb import SAMPLES, VBoard, archive, pkgtool


def blob(size, seed=0):
    return bytes((i * 7 + seed) & 0xFF for i in range(size))


def uboot_area(area, size=256):
    return blob(240, 5) + area + blob(size, 5)[256:]


# The boot loader's header copy goes at byte 240 over what may be overwritten.  A record
# short of the 20 bytes the board reads is fine where another follows (the empty one).
@pytest.mark.parametrize("option,hdr_len,area", [
    ([], 16, bytes(16)), (["--extended"], 20, b"\xff" * 16),
    (["--extended=4096"], 4096, struct.pack(">IIII", 7, 4096, TYPES["uboot"] | EXTENDED, 0x01000001)),
    (["--overwrite-copy"], 16, bytes(range(16)))], ids=["zeros", "erased", "earlier-copy", "overwrite"])
def test_create_list_verify_and_extract_agree_on_every_byte(tmp_path, option, hdr_len, area):
    parts = [("dft", b"", (0, 0, 0, 9)), ("kernel", blob(3000), (1, 2, 3, 4)), ("uboot", uboot_area(area), (3, 1, 4, 1)),
             ("app", blob(12345, 2), (10, 0, 255, 7)), ("diags", blob(17, 3), (0, 0, 0, 0))]
    for name, data, _ in parts:
        (tmp_path / name).write_bytes(data)
    pkg = tmp_path / "p.pkg"
    r = pkgtool("create", pkg, *option, *[f"{t}={tmp_path / t}@{'.'.join(map(str, v))}" for t, _, v in parts])
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    data, magic = pkg.read_bytes(), EXTENDED if hdr_len > 16 else 0
    # The copy of the boot loader's header has checksum 0.
    copy = struct.pack(">IIII", 0, 256, TYPES["uboot"] | magic, 0x03010401)
    expected = [d if t != "uboot" else d[:240] + copy + d[256:] for t, d, _ in parts]
    assert payloads(data) == expected
    listing = [line.split() for line in pkgtool("list", pkg).stdout.splitlines()]
    assert listing[1:] == [[str(n + 1), f"0x{off:08x}", t, ".".join(map(str, v)),
                            f"{'extended' if magic else 'basic'}/{hdr_len}", str(length), "OK",
                            f"0x{gen_crc(data[off + 4:off + hdr_len + length]):08x}"]
                           for n, ((t, _, v), (off, _, length, *_)) in enumerate(zip(parts, walk(data)))]
    assert pkgtool("verify", pkg).stdout == f"{pkg}: OK, 5 records\n"
    assert pkgtool("extract", pkg, tmp_path / "x").returncode == 0
    assert [(tmp_path / "x" / f"{n + 1:02d}-{t}.bin").read_bytes() for n, (t, _, _) in enumerate(parts)] == expected
    for x in [tmp_path / "x" / "01-dft.bin", tmp_path / "x" / "02-kernel.bin"]:  # empty, and not
        assert pkgtool("crc", x).stdout == f"0x{gen_crc(x.read_bytes()):08x}  {x}\n"


C = "create OUT app=FILE "
@pytest.mark.parametrize("args,problem", [
    *[(C + f"kernel=FILE@{v}", "bad version") for v in ["1.2.3", "1.2.3.256", "1.2.3.4.5", "a.b.c.d", "-1.2.3.4"]],
    (C + "foo=FILE", "unknown record type"), (C + "kernel", "expected TYPE=FILE"), (C + "kernel=", "no file"),
    (C + "kernel=MISSING", "No such file"), (C + "kernel=FIFO", "not a regular file"),
    (C + "kernel=/dev/zero", "not a regular file"), (C + "dft=TINY", "at least 4 payload bytes"),
    (C + "--extended=19", "header length"), (C + "--extended=65536", "header length"), (C + "--bogus", "unknown option"),
    (C + "rfs=HUGE", "too large for one record"), (C + "--extended=300 rfs=HUGE300", "too large for one record"),
    (C + "uboot=U255", "240"), (C + "kernel=DIR", "a folder is packed only as app or diags"),
    (C + "app=DIR", "a FIFO cannot be packed"), (C + "diags=HERE", "the output would be written into the folder being packed"),
    (C + "uboot=UFE", "--overwrite-copy"), (C + "uboot=UDATA", "bytes 240 to 255"), (C + "uboot=UKERNEL", "bytes 240 to 255"),
    ("create OUT", "no records given"), ("", "usage"), ("list", "usage"), ("frobnicate x", "usage"),
    ("create MISSING/p.pkg app=FILE", "No such file"), ("verify MISSING", "No such file"), ("extract OUT FILE", "Not a directory"),
    *[(c.format(p), "not a regular file") for c in ["verify {}", "list {}", "crc {}", "extract {} DIR", "check {}"]
      for p in ["FIFO", "/dev/zero", "DIR"]]])
def test_bad_input_is_one_line_exit_2_and_the_output_untouched(tmp_path, args, problem):
    ins, out = tmp_path / "in", tmp_path / "out" / "p.pkg"
    (ins / "DIR").mkdir(parents=True)
    out.parent.mkdir()
    out.write_bytes(b"previous package")
    files = {"HUGE300": b"", "HUGE": b"", "FILE": blob(3000), "TINY": b"abc", "U255": bytes(255), "UDATA": uboot_area(bytes(range(16))),
             "UFE": uboot_area(b"\xff" * 15 + b"\xfe"), "UKERNEL": uboot_area(struct.pack(">IIII", 0, 600, TYPES["kernel"], 0))}
    for name, data in files.items():
        (ins / name).write_bytes(data)
    for fifo in ["FIFO", "DIR/pipe"]:  # no writer ever comes
        os.mkfifo(ins / fifo)
    for name, size in [("HUGE300", 2**32 - 300 + 1), ("HUGE", 2**32 - 16 + 1)]:  # sparse: they cost no disk
        os.truncate(ins / name, size)
    paths = {**{n: ins / n for n in [*files, "FIFO", "DIR"]}, "HERE": out.parent, "MISSING": tmp_path / "missing", "OUT": out}
    r = pkgtool(*re.sub("|".join(paths), lambda m: str(paths[m[0]]), args).split())
    assert (r.returncode, r.stdout) == (2, "") and problem in r.stderr
    assert r.stderr.count("\n") == 1 or problem == "usage"
    assert os.listdir(out.parent) == ["p.pkg"] and out.read_bytes() == b"previous package"


def test_inputs_are_streamed_in_bounded_memory(tmp_path):
    big, limit = tmp_path / "dir" / "payload", ("prlimit", f"--as={64 << 20}")  # the libraries alone take about 42 MiB
    big.parent.mkdir()
    big.touch()
    os.truncate(big, 40 << 20)  # sparse: costs no disk
    for n, what in enumerate([f"rfs={big}", f"app={big.parent}"]):
        r = pkgtool("create", tmp_path / f"{n}.pkg", what, wrap=limit)
        assert r.returncode == 0 and pkgtool("verify", tmp_path / f"{n}.pkg", wrap=limit).stdout == f"{tmp_path / f'{n}.pkg'}: OK, 1 record\n", r.stderr


@pytest.mark.parametrize("sig", ["INT", "TERM", "HUP"])
def test_an_interrupted_run_leaves_no_temporary_file(tmp_path, sig):
    pkg, dest = tmp_path / "p.pkg", tmp_path / "out"
    pkg.write_bytes(record("rfs", blob(70000)))
    dest.mkdir()
    # The signal comes as the first bytes go to the temporary file; a run
    # started in the background (nohup, &) would inherit it ignored.
    for argv in [["create", dest / "q.pkg", f"rfs={pkg}"], ["extract", pkg, dest]]:
        r = pkgtool(*argv, wrap=("env", f"--default-signal={sig}", "strace", "-f", "-qq", "-o", "/dev/null",
                                 "-e", "trace=write", "-e", f"inject=write:signal={sig}:when=1"))
        assert r.returncode in (-getattr(signal, f"SIG{sig}"), 128 + getattr(signal, f"SIG{sig}")) and os.listdir(dest) == [], r.stderr


GOOD = record("kernel", b"k" * 3000) + record("dft", blob(100))
ODD = record(0x07504F4C, b"mystery", version=(1, 0, 0, 0))
TRAILING = "19 trailing bytes are not a record"
UNUSABLE = "unusable record header ({}): type {}, header length {}, payload length {}, {} bytes left"
# Spans past 8 MiB are checksummed in two halves, and the walk reads a megabyte at a time: small records cross its ends.
BIG, NEXT = record("rfs", os.urandom((9 << 20) + 3)), record("dft", bytes((1 << 20) + 31))
SMALL = [record("dft", bytes([n & 0xFF]) * (n * 7 % 1500)) for n in range(2900)]
MANY, LAST = BIG + NEXT + b"".join(SMALL), len(BIG + NEXT) + sum(map(len, SMALL[:-1]))


def ends(n, off, text):
    """The list line and the verify verdict of a walk that ends at what is no usable record."""
    return [f"{n} 0x{off:08x} {text}", f"BAD, at 0x{off:08x}: {text}"]


def bad_then(rec):
    return record("dft", b"good") + rec + record("dft", b"never seen")


# Which headers are unusable is the walk's own test; here, that each kind is named.
@pytest.mark.parametrize("data,last,verdict", [
    (MANY, f"2902 0x{LAST:08x} dft 0.0.0.0 basic/16 {len(SMALL[-1]) - 16} OK 0x{gen_crc(SMALL[-1][4:]):08x}", "OK, 2902 records"),
    # the big record flipped in its second half, the last one in its version
    (flipped(flipped(MANY, len(BIG) // 2 + 7), LAST + 13), f"2902 0x{LAST:08x} dft 0.1.0.0 basic/16 {len(SMALL[-1]) - 16} BAD "
     f"stored 0x{gen_crc(SMALL[-1][4:]):08x} computed 0x{gen_crc(flipped(SMALL[-1], 13)[4:]):08x}",
     "BAD, record 1 (rfs) at 0x00000000: checksum mismatch"),
    (record("dft", b"abcdef") + bytes(19), *ends(2, 0x16, TRAILING)), (record("app", b"abc"), *ends(1, 0, TRAILING)),
    (GOOD[:-1], *ends(2, 3016, UNUSABLE.format("record runs past the end", "dft", 16, 100, 115))),
    (b"", "(no records)", "BAD, no records"),
    (ODD, f"1 0x00000000 0x07504f4c 1.0.0.0 basic/16 7 OK 0x{gen_crc(ODD[4:]):08x}", "OK, 1 record"),
    (bad_then(record("app", b"x" * 40, hdr_len=8)), *ends(2, 20, UNUSABLE.format("header length below 16", "app", 8, 40, 86))),
    (bad_then(record("app", b"", hdr_len=0xFFFF, length=0xFFFFFFFF, pad=False)),
     *ends(2, 20, UNUSABLE.format("record length wraps past 4 GiB", "app", 65535, 4294967295, 46))),
], ids=["past-8-mib", "flipped", "trailing", "short-payload", "truncated", "empty", "unknown-type", "header-8", "wraps"])
def test_list_and_verify_say_what_a_package_holds(tmp_path, data, last, verdict):
    pkg = tmp_path / "p.pkg"
    pkg.write_bytes(data)
    r, ok = pkgtool("list", pkg), verdict.startswith("OK")
    listed = [" ".join(line.split()) for line in r.stdout.splitlines()[1:]]
    assert (r.returncode, listed[-1], len(listed)) == (1 - ok, last, int(last.split()[0]) if last[0].isdigit() else 1)
    r = pkgtool("verify", pkg)
    assert (r.returncode, r.stdout) == (1 - ok, f"{pkg}: {verdict}\n")


def test_extract_writes_every_good_record_and_names_the_bad_one(tmp_path):
    pkg, x = tmp_path / "p.pkg", tmp_path / "x"
    pkg.write_bytes(record("kernel", b"k" * 50) + record("app", b"a" * 30, crc=1) + record(0x09504F4C, b"oddity"))
    r = pkgtool("extract", pkg, x)
    assert r.returncode == 1 and "record 2 (app)" in r.stderr and sorted(os.listdir(x)) == ["01-kernel.bin", "03-0x09504f4c.bin"]
    assert (x / "03-0x09504f4c.bin").read_bytes() == b"oddity"


def uboot(size, length=None, ident=0x01000001, hdr_len=None):
    """A boot-loader record of version 1.0.0.1 whose payload carries a header copy, of its own length by default."""
    copy = struct.pack(">IIII", 0, length or size, TYPES["uboot"], ident)
    return record("uboot", bytes(240) + copy + bytes(size - 256), version=(1, 0, 0, 1), hdr_len=hdr_len)


APP = {"home/bin/mp.elf.strip": ("#!/bin/sh\n", 0o755)}
MISFITS = "payload is not a readable gzip-compressed tar archive"
COPY = "header copy at byte 240 does not match the record (it holds length "

# Package -> findings, as (record index, type, problem); none: OK.
CHECKS = [
    (record("app", archive({"./home/bin/mp.elf.strip": ("#!/bin/sh\n", 0o755), "home/bin/sh": ("->mp.elf.strip", 0o777),
                            "lib": ("->home/../home", 0o777), "lib/x": ("", 0o644)})), []),
    (record("app", gzip.compress(b"\x7fELF debugger")), []), (uboot(524288) + record("kernel", bytes(3145728 - 16)), []),
    (record("app", b"plain text, no archive"), [(1, "app", MISFITS + " (Unrecognized archive format)")]),
    (record("app", gzip.decompress(archive(APP))), [(1, "app", MISFITS + " (not gzip-compressed)")]),
    (record("app", archive(APP)[:-9]), [(1, "app", MISFITS + " (truncated gzip input)")]),
    (record("app", archive({"home/bin/mp": ("", 0o755)})), [(1, "app", "lacks home/bin/mp.elf.strip")]),
    (record("diags", archive(APP)), [(1, "diags", "lacks mpdiag.elf.strip")]),
    (record("app", archive({"home/bin/mp.elf.strip": ("", 0o644), "home/bin/install.sh": ("", 0o600)})),
     [(1, "app", "home/bin/mp.elf.strip is not executable"),
      (1, "app", "home/bin/install.sh is not executable: the launch runs it directly")]),
    (record("app", archive({**APP, "/etc/passwd": ("", 0o644), "home/../../x": ("", 0o644), "\x1b[2Jé\udce9/../../y": ("", 0o644)})),
     [(1, "app", r"member \x1b[2Jé\xe9/../../y leaves /tmp"), (1, "app", "member /etc/passwd is an absolute path"),
      (1, "app", "member home/../../x leaves /tmp")]),
    (record("app", archive({**APP, "etc": ("->/etc", 0o777), "etc/shadow": ("", 0o600), "hop": ("->etc", 0o777),
                            "hop/group": ("", 0o644), "pw": ("=>../passwd", 0o644)})),
     [(1, "app", f"member {m}/{f} is unpacked through the symbolic link {m}, which leads out of /tmp")
      for m, f in [("etc", "shadow"), ("hop", "group")]] + [(1, "app", "hard link target ../passwd leaves /tmp")]),
    *[(uboot(300, *args), [(1, "uboot", COPY + f"{n}, magic 0x02504f4c, version 1.0.0.{v})")])
      for args, n, v in [((299,), 299, 1), ((None, 0x01000000), 300, 0), ((None, 0x01000001, 20), 300, 1)]],
    (record("uboot", bytes(255)), [(1, "uboot", "payload shorter than 256 bytes: no room for its header copy at byte 240")]),
    (uboot(524289), [(1, "uboot", "too big for its partition: payload length 524289 > 524288")]),
    (record("kernel", bytes(3145728 - 15)), [(1, "kernel", "too big for its partition: record length 3145729 > 3145728")]),
    (record("dft", b"device tree", crc=1), [(1, "dft", "checksum mismatch (stored 0x00000001, computed {crc})")]),
    (record("app", archive(APP)) + record("kernel", b"k" * 64) + record("app", archive(APP)),
     [(3, "app", "a second application record: the installer asks for one slot per package, so it replaces record 1 there")]),
    (record(0x07504F4C, b"future"), [(1, "0x07504f4c", "unknown record type: the installer passes over it")]),
    (b"", [(1, None, "no records")]), (record("dft", b"device tree") + bytes(7), [(2, None, "7 trailing bytes are not a record")]),
    *[(pkg.read_bytes(), []) for pkg in sorted(SAMPLES.glob("*.pkg"))],  # every sample package
]


@pytest.mark.parametrize("data,findings", CHECKS, ids=[f"findings-{n}" for n in range(len(CHECKS))])
def test_check_names_what_would_fail_on_a_board(tmp_path, data, findings):
    pkg = tmp_path / "p\x1b-é.pkg"  # control bytes escaped, UTF-8 kept
    pkg.write_bytes(data)
    offsets = [0] + [off + hl + length for off, _, length, _, _, hl in walk(data)]
    n, crc = len(offsets) - 1, f"0x{gen_crc(data[4:]):08x}"
    expected = [{"record": i, "offset": offsets[i - 1], "type": t, "problem": p.replace("{crc}", crc)} for i, t, p in findings]
    text = "".join(f"{pkg}: " + f"record {f['record']} ({f['type']}) " * bool(f["type"])
                   + f"at 0x{f['offset']:08x}: {f['problem']}\n" for f in expected)
    r = pkgtool("check", pkg)
    assert (r.returncode, r.stdout) == (1 if findings else 0, text or f"{pkg}: OK, {n} record{'s' * (n != 1)}\n")
    assert json.loads(pkgtool("check", "--json", pkg).stdout) == {
        "package": str(pkg).replace("\x1b", r"\x1b"), "records": n, "ok": not findings, "findings": expected}


LONG = "d" * 120  # past ustar's 100-byte names
TREE = {  # path under /tmp: (text, or "->" a link target, or None for a folder; mode); caf\udce9: the byte 0xE9 alone
    "home": (None, 0o755), "home/bin": (None, 0o755), "home/bin/mp.elf.strip": (
        f'#!/bin/sh\necho "folder app up: $FOLDER_APP"\ncat /tmp/home/{LONG}/{LONG}\nreadlink /tmp/home/bin/sh\n'
        'cat "/tmp/home/$(printf \'caf\\351\')"\n', 0o755), "home/bin/install.sh": ("#!/bin/sh\necho installed\n", 0o750),
    "home/bin/env-setup": ("FOLDER_APP yes\n", 0o644), "home/bin/sh": ("->mp.elf.strip", None), f"home/{LONG}": (None, 0o755),
    f"home/{LONG}/{LONG}": ("long path\n", 0o600), "home/caf\udce9": ("not UTF-8\n", 0o644), "home/empty": (None, 0o700)}


def make_tree(root, reverse=False, owner=None):
    for path, (text, mode) in sorted(TREE.items(), reverse=reverse):
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        if text is None:
            (root / path).mkdir(exist_ok=True)
        elif text.startswith("->"):
            (root / path).symlink_to(text[2:])
        else:
            (root / path).write_text(text)
        if mode is not None:
            (root / path).chmod(mode)
    for where in [root, *root.rglob("*")] * (owner is not None):
        os.lchown(where, owner, owner)
        os.utime(where, (1_700_000_000,) * 2, follow_symlinks=False)
    return root


def test_a_folder_always_packs_to_the_same_bytes_and_boots(tmp_path):
    one = make_tree(tmp_path / "one")
    two = make_tree(tmp_path / "two", reverse=True, owner=4242)  # in the other order, other owners and times
    assert [pkgtool("create", tmp_path / f"{n}.pkg", f"app={f}@6.1.0.0").returncode for n, f in enumerate([one, two])] == [0, 0]
    packs = [(tmp_path / f"{n}.pkg").read_bytes() for n in range(2)]
    payload = payloads(packs[0])[0]
    assert packs[0] == packs[1] and payload[4:8] == bytes(4)  # no time in the gzip header
    members = tarfile.open(fileobj=io.BytesIO(payload), mode="r:gz").getmembers()
    assert [m.name for m in members] == sorted(TREE) and {(m.uid, m.gid, m.mtime) for m in members} == {(0, 0, 0)}
    assert {m.name: (m.mode if not m.issym() else "->" + m.linkname) for m in members} == {
        p: (t if t and t.startswith("->") else m) for p, (t, m) in TREE.items()}
    # A kernel file bound in says it holds 0 bytes, then yields more: the archive would carry another length.
    bind = f'mount --bind /proc/version {one}/home/bin/env-setup && exec "$0" "$@"'
    r = pkgtool("create", tmp_path / "2.pkg", f"app={one}", wrap=("unshare", "-m", "sh", "-c", bind))
    assert (r.returncode, r.stderr, (tmp_path / "2.pkg").exists()) == (2, f"pkgtool: {one}/home/bin/env-setup: changed while being read\n", False)
    board = VBoard.create(tmp_path / "board")
    board.write_slot(1, packs[0])
    assert board.boot() == (0, "Booting image '1'\nRunning AOS install script\ninstalled\n"
                               "folder app up: yes\nlong path\nmp.elf.strip\nnot UTF-8\n")
