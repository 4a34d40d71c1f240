"""Files that appear only when complete: written under a temporary name in
the destination's directory, flushed, then renamed over the destination."""

import os
import tempfile


def write_atomically(path, *chunks):
    """Writes the concatenation of `chunks` (bytes-like) to `path`."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(
        dir=directory, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            for chunk in chunks:
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
