"""Files that appear only when complete, as the korvel command writes them.

What stands at the destination decides how:
- nothing, or a regular file: the bytes go to a temporary file in the same
  directory, which is flushed, then renamed over the destination. A new file
  gets 0666 minus the umask; a replaced one keeps its permission bits, and
  its owner and group where the process may set them;
- a symbolic link: the file it names (which may not exist yet) is written as
  above, and the link stays;
- a device, a FIFO or a socket: the bytes are written straight into it;
- a directory: IsADirectoryError.
"""

import errno
import os
import secrets
import stat


def _follow_links(path):
    """`path` with the symbolic links of its last component followed, to a
    file that need not exist."""
    for _ in range(40):
        try:
            link = os.readlink(path)
        except OSError:  # not a link, or missing: the caller's stat tells
            return path
        path = os.path.join(os.path.dirname(path), link)
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


def _write_all(fd, chunks):
    for chunk in chunks:
        view = memoryview(chunk).cast("B")
        while view:
            view = view[os.write(fd, view):]


def _create_temporary(target):
    """A new file beside `target`, created with mode 0666 so that the umask
    applies as it does to any new file; returns (fd, path)."""
    directory, name = os.path.split(target)
    for _ in range(100):
        temporary = os.path.join(
            directory, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                           | os.O_CLOEXEC, 0o666), temporary
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", target)


def write_atomically(path, *chunks):
    """Writes the concatenation of `chunks` (bytes-like) to `path`."""
    path = os.fspath(path)
    target = _follow_links(path)
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC | os.O_NOCTTY)
        try:
            _write_all(fd, chunks)
        finally:
            os.close(fd)
        return

    fd, temporary = _create_temporary(os.path.abspath(target))
    try:
        try:
            if existing is not None:
                try:  # the owner first: changing it clears set-id bits
                    os.fchown(fd, existing.st_uid, existing.st_gid)
                except OSError:
                    try:
                        os.fchown(fd, -1, existing.st_gid)
                    except OSError:
                        pass
                os.fchmod(fd, stat.S_IMODE(existing.st_mode))
            _write_all(fd, chunks)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
