"""What runs on the Dask workers: encoding one run of whole lines of an input
file into a part, and joining a file's parts into its shard. Both write only
through temporary names and renames, so a task that a lost worker leaves half
done and Dask runs again produces the same bytes."""

import hashlib
import os
import threading

import numpy

from korvel._files import write_atomically
from korvel._korvel import Tokenizer
from korvel.shards import IDS_DTYPE, OFFSETS_DTYPE, read_shard

# Each worker process loads a model once, however many tasks use it.
_tokenizers = {}
_tokenizers_lock = threading.Lock()


def _tokenizer(model_bytes, model_hash):
    with _tokenizers_lock:
        tokenizer = _tokenizers.get(model_hash)
        if tokenizer is None:
            tokenizer = Tokenizer.from_bytes(model_bytes)
            _tokenizers[model_hash] = tokenizer
        return tokenizer


def encode_part(model_bytes, model_hash, path, begin, end, part, options):
    """Encodes the lines in bytes [begin, end) of `path` into the shard
    `part`; returns its (lines, ids)."""
    with open(path, "rb") as f:
        f.seek(begin)
        data = f.read(end - begin)
    if len(data) != end - begin:
        raise OSError(f"{path}: changed while it was being tokenized")
    ids, offsets = _tokenizer(model_bytes, model_hash)._encode_lines(
        data, num_threads=1, **options)
    write_atomically(part + ".bin", ids.astype(IDS_DTYPE, copy=False))
    write_atomically(part + ".idx", offsets.astype(OFFSETS_DTYPE))
    return len(offsets) - 1, len(ids)


def input_stamp(path):
    """What tells whether `path` was rewritten: its size and modification
    time."""
    info = os.stat(path)
    return info.st_size, info.st_mtime_ns


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 24):
            digest.update(block)
    return digest.hexdigest()


def join_parts(parts, prefix, counts, path, stamp):
    """Writes the shard `prefix` from the shards `parts`, in order; `counts`
    are the parts' (lines, ids), which also make this task wait for them.
    OSError, before writing, when the input `path` no longer has the stamp it
    had before it was read. Returns the lines, the ids and the sha256 of the
    .bin and .idx files."""
    if input_stamp(path) != tuple(stamp):
        raise OSError(f"{path}: changed while it was being tokenized; "
                      "its shard is not written")
    ids = []
    offsets = [numpy.zeros(1, dtype=OFFSETS_DTYPE)]
    total = 0
    for part, (lines, part_ids) in zip(parts, counts):
        ids_part, offsets_part = read_shard(part)
        if len(offsets_part) != lines + 1 or len(ids_part) != part_ids:
            raise ValueError(f"{part}: does not hold the lines it was made for")
        ids.append(ids_part)
        offsets.append(offsets_part[1:] + numpy.uint64(total))
        total += part_ids
    write_atomically(prefix + ".bin", *ids)
    write_atomically(prefix + ".idx", *offsets)
    return (sum(lines for lines, _ in counts), total,
            file_sha256(prefix + ".bin"), file_sha256(prefix + ".idx"))
