"""What the package's output files (korvel.convert, the Dask shards: all go
through write_atomically) do with what stands at their path."""

import os
import stat

import pytest

from korvel._files import write_atomically

NEW = b"new contents\n"
UMASK = os.umask(0o022)
os.umask(UMASK)
DEV_NULL = os.stat("/dev/null")


def mode(path):
    return os.lstat(path).st_mode


def regular(path, mode_bits):
    path.write_bytes(b"old\n")
    os.chmod(path, mode_bits)


def fifo_with_reader(folder):
    os.mkfifo(folder / "out")
    return os.open(folder / "out", os.O_RDONLY | os.O_NONBLOCK)


def check_dev_null():
    after = os.stat("/dev/null")
    if not stat.S_ISCHR(after.st_mode) and os.geteuid() == 0:
        os.unlink("/dev/null")  # put the machine's /dev/null back, then fail
        os.mknod("/dev/null", stat.S_IFCHR | 0o666, DEV_NULL.st_rdev)
        os.chmod("/dev/null", 0o666)
    return stat.S_ISCHR(after.st_mode) and after.st_rdev == DEV_NULL.st_rdev


# row: (prepare the folder -> path to write and state, check after writing)
ROWS = {
    "missing path": (
        lambda d: (d / "out", None),
        lambda d, _: (d / "out").read_bytes() == NEW
        and mode(d / "out") == stat.S_IFREG | (0o666 & ~UMASK)),
    "regular file of mode 0600": (
        lambda d: (d / "out", regular(d / "out", 0o600)),
        lambda d, _: (d / "out").read_bytes() == NEW
        and mode(d / "out") == stat.S_IFREG | 0o600),
    "symbolic link to a file": (
        lambda d: (d / "link", regular(d / "target", 0o640),
                   os.symlink("target", d / "link")),
        lambda d, _: stat.S_ISLNK(mode(d / "link"))
        and (d / "target").read_bytes() == NEW
        and mode(d / "target") == stat.S_IFREG | 0o640),
    "symbolic link to a missing file": (
        lambda d: (d / "link", os.symlink("new", d / "link")),
        lambda d, _: stat.S_ISLNK(mode(d / "link"))
        and (d / "new").read_bytes() == NEW),
    "character device /dev/null": (
        lambda d: ("/dev/null", None),
        lambda d, _: check_dev_null()),
    "FIFO with a reader": (
        lambda d: (d / "out", fifo_with_reader(d)),
        lambda d, reader: os.read(reader, 4096) == NEW
        and stat.S_ISFIFO(mode(d / "out"))),
}


@pytest.mark.parametrize("row", list(ROWS) + ["directory"])
def test_output_file_follows_what_stands_at_the_path(row, tmp_path):
    assert stat.S_ISCHR(DEV_NULL.st_mode)
    if row == "directory":
        (tmp_path / "out").mkdir()
        with pytest.raises(IsADirectoryError, match=str(tmp_path / "out")):
            write_atomically(tmp_path / "out", NEW)
        assert stat.S_ISDIR(mode(tmp_path / "out"))
    else:
        prepare, check = ROWS[row]
        path, state, *_ = prepare(tmp_path)
        write_atomically(path, NEW[:4], NEW[4:])
        assert check(tmp_path, state)
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]
    assert not [n for n in os.listdir("/dev") if n.startswith(".null.")]


@pytest.mark.parametrize("umask", [0o077, 0o002])
def test_new_files_honour_the_umask(umask, tmp_path):
    previous = os.umask(umask)
    try:
        write_atomically(tmp_path / "out", NEW)
    finally:
        os.umask(previous)
    assert stat.S_IMODE(mode(tmp_path / "out")) == 0o666 & ~umask
