"""What the package's output files do with what stands at their path: the
table of korvel.convert (and every file the package writes) against a missing
path, a regular file, a symbolic link, a character device, a FIFO with a
reader and a directory; and new files under the umask."""

import os
import stat

import pytest

import korvel
from korvel._files import write_atomically

NEW = b"new contents\n"


def mode(path):
    return os.lstat(path).st_mode


def check_missing(folder, path):
    assert (folder / "out").read_bytes() == NEW
    assert mode(folder / "out") == stat.S_IFREG | (0o666 & ~current_umask())


def prepare_private(folder):
    (folder / "out").write_bytes(b"private\n")
    os.chmod(folder / "out", 0o600)
    return folder / "out"


def check_private(folder, path):
    assert (folder / "out").read_bytes() == NEW
    assert mode(folder / "out") == stat.S_IFREG | 0o600


def prepare_link(folder):
    (folder / "target.txt").write_bytes(b"old\n")
    os.chmod(folder / "target.txt", 0o640)
    os.symlink("target.txt", folder / "link.txt")
    return folder / "link.txt"


def check_link(folder, path):
    assert stat.S_ISLNK(mode(folder / "link.txt"))
    assert (folder / "target.txt").read_bytes() == NEW
    assert mode(folder / "target.txt") == stat.S_IFREG | 0o640


def prepare_dangling_link(folder):
    os.symlink("new.txt", folder / "link.txt")
    return folder / "link.txt"


def check_dangling_link(folder, path):
    assert stat.S_ISLNK(mode(folder / "link.txt"))
    assert (folder / "new.txt").read_bytes() == NEW


DEV_NULL = os.stat("/dev/null")


def check_dev_null(folder, path):
    after = os.stat("/dev/null")
    if not stat.S_ISCHR(after.st_mode) and os.geteuid() == 0:
        # Put the machine's /dev/null back before failing.
        os.unlink("/dev/null")
        os.mknod("/dev/null", stat.S_IFCHR | 0o666, DEV_NULL.st_rdev)
        os.chmod("/dev/null", 0o666)
    assert stat.S_ISCHR(after.st_mode) and after.st_rdev == DEV_NULL.st_rdev
    assert not [n for n in os.listdir("/dev") if n.startswith(".null.")]


class FifoWithReader:
    """A FIFO whose read end this process holds open (never blocking)."""

    def __call__(self, folder):
        os.mkfifo(folder / "out.fifo")
        self.reader = os.open(folder / "out.fifo", os.O_RDONLY | os.O_NONBLOCK)
        return folder / "out.fifo"

    def check(self, folder, path):
        try:
            received = os.read(self.reader, 4096)
        except BlockingIOError:
            received = b""
        os.close(self.reader)
        assert received == NEW
        assert stat.S_ISFIFO(mode(folder / "out.fifo"))


def prepare_directory(folder):
    (folder / "out").mkdir()
    return folder / "out"


def check_directory(folder, path):
    assert stat.S_ISDIR(mode(folder / "out"))


fifo = FifoWithReader()
ROWS = {
    "missing path": (lambda folder: folder / "out", check_missing),
    "regular file of mode 0600": (prepare_private, check_private),
    "symbolic link to a file": (prepare_link, check_link),
    "symbolic link to a missing file": (prepare_dangling_link,
                                        check_dangling_link),
    "character device /dev/null": (lambda folder: "/dev/null", check_dev_null),
    "FIFO with a reader": (fifo, fifo.check),
    "directory": (prepare_directory, check_directory),
}


def current_umask():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    raise AssertionError("no Umask line")


@pytest.mark.parametrize("row", list(ROWS))
def test_output_file_follows_what_stands_at_the_path(row, tmp_path):
    assert stat.S_ISCHR(DEV_NULL.st_mode)
    prepare, check = ROWS[row]
    path = prepare(tmp_path)
    if row == "directory":
        with pytest.raises(IsADirectoryError, match=str(path)):
            write_atomically(path, NEW[:4], NEW[4:])
    else:
        write_atomically(path, NEW[:4], NEW[4:])
    check(tmp_path, path)
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


def test_import_and_convert_write_through_a_link(tmp_path, llama2_json):
    # Every file of the package goes through write_atomically; one row here.
    link = prepare_link(tmp_path)
    korvel.import_tokenizer_json(llama2_json, tmp_path / "model.full")
    korvel.convert(tmp_path / "model.full", link)
    assert stat.S_ISLNK(mode(link))
    assert mode(tmp_path / "target.txt") == stat.S_IFREG | 0o640
    assert korvel.Tokenizer(link).vocab_size == 32000


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_new_files_honour_the_umask(umask, tmp_path):
    previous = os.umask(umask)
    try:
        write_atomically(tmp_path / "out", NEW)
    finally:
        os.umask(previous)
    assert stat.S_IMODE(mode(tmp_path / "out")) == 0o666 & ~umask
