"""`vboard create`: a new board folder, optionally with the sample images in
flash and both slots, as a board leaves the factory."""
import os
import shutil

from . import conf
from .board import CPLD_SIZE, VPD_SIZE, Board, erased_part, write_file
from .common import SAMPLES, fail
from .envvpd import env_image


def sample_file(name):
    path = os.path.join(SAMPLES, name)
    if not os.path.isfile(path):
        fail(f"{path}: sample image not built (run make build)")
    with open(path, "rb") as f:
        return f.read()


def write_sample(board):
    """Flash and both slots as a board leaves the factory with the samples."""
    size = board.conf.size
    write_file(board.flash("uboot"), erased_part(size("uboot"), sample_file("uboot.bin"), "uboot"))
    for part, name in (("kernel", "kernel.pkg"), ("rfs", "rfs.pkg"),
                       ("devicetree", "dft.pkg"), ("rescue", "diags.pkg")):
        write_file(board.flash(part), erased_part(size(part), sample_file(name), part))
    write_file(board.flash("ubootenv"),
               env_image([("baudrate", "9600"), ("bootdelay", "3"), ("ethact", "TSEC1")],
                         size("ubootenv")))
    write_file(board.file("user", "images", "image1"), sample_file("app1.pkg"))
    write_file(board.file("user", "images", "image2"), sample_file("app2.pkg"))
    vpd = bytearray(b"\xff" * VPD_SIZE)
    vpd[1] = 1
    write_file(board.file("vpd.bin"), bytes(vpd))


def write_board(board, sets, sample):
    for d in ("flash", "user", os.path.join("user", "images"), "tmp", "tftp"):
        os.makedirs(board.file(d))
    write_file(board.file("board.conf"), conf.text(sets).encode())
    for part in board.conf.parts():
        write_file(board.flash(part), erased_part(board.conf.size(part)))
    write_file(board.file("vpd.bin"), b"\xff" * VPD_SIZE)
    cpld = bytearray(CPLD_SIZE)
    cpld[20] = 0xA4
    cpld[24] = 0x01
    write_file(board.file("cpld.bin"), bytes(cpld))
    write_file(board.file("trace.log"), b"")
    if sample:
        write_sample(board)


def cmd_create(args):
    path = os.path.abspath(args.board)
    sets = args.set or []
    settings = conf.with_sets(sets)
    if os.path.lexists(path) and not (os.path.isdir(path) and not os.listdir(path)):
        fail(f"{args.board}: already exists")
    if not os.path.isdir(os.path.dirname(path)):
        fail(f"{os.path.dirname(path)}: no such directory")
    # Built aside and renamed into place: a failure leaves nothing behind.
    staging = f"{path}.creating.{os.getpid()}"
    try:
        write_board(Board(staging, settings), sets, args.sample)
        os.rename(staging, path)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return 0
