"""Tokenizing a corpus on a Dask cluster.

tokenize_files(client, model, inputs, out_dir) splits every input file (one
text per line) into tasks of whole lines (about 8 MB each), encodes them on the cluster's
workers (each loads the model once) and writes, per input file NAME,
out_dir/NAME.bin and out_dir/NAME.idx (see korvel.read_shard) and
out_dir/manifest.json. Inputs and out_dir must be reachable under the same
paths from the client and every worker (one machine, or a shared file
system).

Output files appear only when complete, and a task lost with its worker runs
again with the same result, so a run with failures writes the same bytes as
one without. Started again over the same out_dir, a job skips the files that
are already complete (their shards' sha256 as recorded) and match their
input, model and options.
"""

import contextlib
import hashlib
import json
import os
import secrets
import shutil
import sys
import time

from korvel._files import write_atomically
from korvel._korvel import Tokenizer
from korvel.dask._tasks import encode_part, file_sha256, input_stamp, join_parts
from korvel.shards import read_shard

__all__ = ["tokenize_files"]

_BLOCK = 1 << 24
# The size of one task's share of a file: large enough that a task's
# overhead is small, small enough that a typical file spreads over workers.
BYTES_PER_TASK = 8 << 20


def _split_lines(path, bytes_per_task, lines_per_task=None):
    """(sha256, lines, [(begin, end), ...]): the byte ranges of runs of whole
    lines of `path`, each ending at the first line end at least
    `bytes_per_task` bytes past its start, or after `lines_per_task` lines."""
    digest = hashlib.sha256()
    ranges = []
    lines = 0
    in_run = 0
    begin = position = 0
    last_byte = b"\n"
    with open(path, "rb") as f:
        while block := f.read(_BLOCK):
            digest.update(block)
            if lines_per_task is None:  # only line ends past the size count
                lines += block.count(b"\n")
                while (newline := block.find(
                        b"\n", max(0, begin + bytes_per_task - 1 - position))) >= 0:
                    ranges.append((begin, position + newline + 1))
                    begin = position + newline + 1
            else:
                start = 0
                while (newline := block.find(b"\n", start)) >= 0:
                    lines += 1
                    in_run += 1
                    start = newline + 1
                    if (in_run == lines_per_task
                            or position + start - begin >= bytes_per_task):
                        ranges.append((begin, position + start))
                        begin, in_run = position + start, 0
            position += len(block)
            last_byte = block[-1:]
    if last_byte != b"\n":
        lines += 1
    if position > begin:
        ranges.append((begin, position))
    return digest.hexdigest(), lines, ranges


def _check_inputs(inputs):
    """OSError naming the first input that cannot be read, before any work
    starts."""
    for path in inputs:
        with open(path, "rb"):  # a directory is an IsADirectoryError
            pass


def _load_model(model):
    if not isinstance(model, Tokenizer):
        model = Tokenizer(model)  # its errors name the file
    return model._model_bytes, model.vocab_size


def _read_manifest(path):
    try:
        with open(path, "rb") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _is_complete(prefix, entry, vocab_size):
    try:
        ids, offsets = read_shard(prefix, vocab_size)
        return (len(offsets) == entry["lines"] + 1 and len(ids) == entry["ids"]
                and file_sha256(prefix + ".bin") == entry.get("bin_sha256")
                and file_sha256(prefix + ".idx") == entry.get("idx_sha256"))
    except (OSError, ValueError):
        return False


def _remove_parts(parts):
    for part in parts:
        for suffix in (".bin", ".idx"):
            try:
                os.unlink(part + suffix)
            except FileNotFoundError:
                pass


def _remove_parts_dir(parts_dir):
    """Removes `parts_dir`, into which a cancelled task may still be writing.
    It is renamed first, so a task's later calls fail to create or rename its
    file. A call already past the lookup of the directory can still add a
    file after the tree was listed, so the removal is repeated until the
    directory is gone; no call can add to it after that."""
    doomed = f"{parts_dir}.{secrets.token_hex(4)}.removed"
    try:
        os.rename(parts_dir, doomed)
    except FileNotFoundError:
        return
    for _ in range(200):
        shutil.rmtree(doomed, ignore_errors=True)
        if not os.path.lexists(doomed):
            return
        time.sleep(0.005)


def _previous_files(manifest_path, model_hash, options):
    """The files of the manifest of an earlier run with the same model and
    options."""
    previous = _read_manifest(manifest_path)
    if (previous and previous.get("model_sha256") == model_hash
            and previous.get("options") == options):
        return previous.get("files", {})
    return {}


def _write_manifest(path, manifest):
    write_atomically(path, json.dumps(manifest, indent=1, sort_keys=True).encode())


class _Progress:
    """A one-line progress bar on standard error."""

    def __init__(self, total, enabled):
        self.total, self.done, self.enabled = total, 0, enabled and total > 0

    def step(self):
        self.done += 1
        if self.enabled:
            width = 40
            filled = width * self.done // self.total
            sys.stderr.write(f"\rkorvel: [{'#' * filled}{'.' * (width - filled)}]"
                             f" {self.done}/{self.total} tasks")
            if self.done == self.total:
                sys.stderr.write("\n")
            sys.stderr.flush()


def tokenize_files(client, model, inputs, out_dir, *, add_bos=False,
                   add_eos=False, parse_special=False,
                   bytes_per_task=BYTES_PER_TASK, lines_per_task=None,
                   progress=None):
    """Tokenizes the text files `inputs` on the Dask cluster of `client`.

    model: a lite model path or a korvel.Tokenizer. Every line of every input
    becomes one id sequence. Each file is cut into tasks of whole lines of
    about `bytes_per_task` bytes (at most `lines_per_task` lines, when given),
    so that a file spreads over the workers. Inputs are checked before any
    work starts. progress: show a bar on standard error (default: when it is
    a terminal). Returns the manifest, also written to
    out_dir/manifest.json: the model's sha256 and vocabulary size, the
    options, and per file NAME its input's sha256, lines and ids and the
    sha256 of its .bin and .idx. An input whose size or modification time
    changes before its shard is written fails the job with OSError; a failed
    job leaves no parts behind.
    """
    if bytes_per_task < 1 or (lines_per_task is not None and lines_per_task < 1):
        raise ValueError("bytes_per_task and lines_per_task must be positive")
    inputs = [os.fspath(path) for path in inputs]
    _check_inputs(inputs)
    names = [os.path.basename(path) for path in inputs]
    if len(set(names)) != len(names):
        raise ValueError("two inputs have the same file name")
    model_bytes, vocab_size = _load_model(model)
    model_hash = hashlib.sha256(model_bytes).hexdigest()
    options = {"add_bos": add_bos, "add_eos": add_eos,
               "parse_special": parse_special}
    out_dir = os.path.abspath(out_dir)
    parts_dir = os.path.join(out_dir, ".parts")
    os.makedirs(parts_dir, exist_ok=True)
    manifest_path = os.path.join(out_dir, "manifest.json")

    manifest = {"model_sha256": model_hash, "vocab_size": vocab_size,
                "options": options,
                "files": _previous_files(manifest_path, model_hash, options)}

    if progress is None:
        progress = sys.stderr.isatty()
    try:
        return _run(client, inputs, names, out_dir, parts_dir, manifest_path,
                    manifest, model_bytes, model_hash, bytes_per_task,
                    lines_per_task, progress)
    except BaseException:
        _remove_parts_dir(parts_dir)
        raise


def _run(client, inputs, names, out_dir, parts_dir, manifest_path, manifest,
         model_bytes, model_hash, bytes_per_task, lines_per_task, progress):
    from distributed import as_completed

    options = manifest["options"]
    vocab_size = manifest["vocab_size"]
    model_future = None
    joins = {}
    futures = []
    for path, name in zip(inputs, names):
        stamp = input_stamp(path)
        digest, lines, ranges = _split_lines(path, bytes_per_task,
                                             lines_per_task)
        prefix = os.path.join(out_dir, name)
        entry = manifest["files"].get(name)
        if (entry and entry.get("input_sha256") == digest
                and entry.get("lines") == lines
                and _is_complete(prefix, entry, vocab_size)):
            continue
        manifest["files"].pop(name, None)
        if model_future is None:
            # A key of its own: an earlier run's release of the same bytes
            # under their content key could drop them under this run.
            model_future = client.scatter(model_bytes, broadcast=True,
                                          hash=False)
        parts = [os.path.join(parts_dir, f"{name}.{i:06d}")
                 for i in range(len(ranges))]
        counts = [client.submit(encode_part, model_future, model_hash,
                                os.path.abspath(path), begin, end, part,
                                options, pure=False)
                  for part, (begin, end) in zip(parts, ranges)]
        joined = client.submit(join_parts, parts, prefix, counts,
                               os.path.abspath(path), stamp, pure=False)
        joins[joined] = (name, digest, lines, parts)
        futures += counts + [joined]

    bar = _Progress(len(futures), progress)
    try:
        for future in as_completed(futures):
            bar.step()
            if future in joins:
                _record(manifest, manifest_path, future, *joins[future])
    except BaseException:
        with contextlib.suppress(Exception):
            client.cancel(futures)
        raise
    _write_manifest(manifest_path, manifest)
    _remove_parts_dir(parts_dir)
    return manifest


def _record(manifest, manifest_path, joined, name, digest, lines, parts):
    """Adds the shard that `joined` wrote to the manifest."""
    joined_lines, ids, bin_hash, idx_hash = joined.result()
    if joined_lines != lines:
        raise ValueError(f"{name}: {joined_lines} lines encoded, {lines} read")
    manifest["files"][name] = {"input_sha256": digest, "lines": lines,
                               "ids": ids, "bin_sha256": bin_hash,
                               "idx_sha256": idx_hash}
    _write_manifest(manifest_path, manifest)
    _remove_parts(parts)
