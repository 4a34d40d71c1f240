"""Token shards: NAME.bin holds the little-endian uint32 ids of all lines of
one input file in order, NAME.idx little-endian uint64 offsets into them, one
per line plus a final one, starting at 0."""

import numpy

IDS_DTYPE = numpy.dtype("<u4")
OFFSETS_DTYPE = numpy.dtype("<u8")


def _memmap(path, dtype):
    # numpy cannot map an empty file; an empty array is the same content.
    if numpy.fromfile(path, dtype=numpy.uint8, count=1).size == 0:
        return numpy.zeros(0, dtype=dtype)
    return numpy.memmap(path, dtype=dtype, mode="r")


def read_shard(prefix, vocab_size=None):
    """(ids, offsets) of the shard PREFIX.bin / PREFIX.idx, memory-mapped.

    The ids of line i are ids[offsets[i]:offsets[i + 1]]. ValueError when the
    two files do not belong together: offsets that do not start at 0, go
    backwards or do not end at the last id, or (given vocab_size) an id
    outside the vocabulary.
    """
    prefix = str(prefix)
    ids = _memmap(prefix + ".bin", IDS_DTYPE)
    offsets = _memmap(prefix + ".idx", OFFSETS_DTYPE)
    if (offsets.size == 0 or offsets[0] != 0 or offsets[-1] != ids.size
            or numpy.any(offsets[1:] < offsets[:-1])):
        raise ValueError(f"{prefix}: .idx does not describe .bin")
    if vocab_size is not None and ids.size and int(ids.max()) >= vocab_size:
        raise ValueError(f"{prefix}: .bin holds id {int(ids.max())}, "
                         f"outside the vocabulary of {vocab_size}")
    return ids, offsets
