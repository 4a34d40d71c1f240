"""korvel.dask.tokenize_files on a LocalCluster and on a scheduler and
workers started as separate processes, one of them killed mid-run."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy
import pytest

import korvel
from korvel._files import write_atomically
from korvel.dask import tokenize_files

distributed = pytest.importorskip("distributed")

DEADLINE_SECONDS = 120


@pytest.fixture(scope="module")
def corpus(tmp_path_factory, sample_lines):
    directory = tmp_path_factory.mktemp("corpus")
    files = {
        "repeated.txt": "\n".join(sample_lines[:45] * 60) + "\n",
        "no_final_newline.txt": "first\n\n  third line\nlast without newline",
        "empty.txt": "",
    }
    for name, text in files.items():
        (directory / name).write_text(text, encoding="utf-8")
    return [directory / name for name in files]


def expected_shard(tok, path):
    lines = path.read_text(encoding="utf-8").split("\n")
    if lines[-1] == "":
        lines.pop()
    ids = tok.encode_batch(lines)
    offsets = numpy.cumsum([0] + [len(i) for i in ids], dtype=numpy.uint64)
    return [i for line in ids for i in line], offsets.tolist()


def output_bytes(out_dir, corpus):
    return {p.name + suffix: (out_dir / (p.name + suffix)).read_bytes()
            for p in corpus for suffix in (".bin", ".idx")}


@pytest.fixture(scope="module")
def clean_run(tok, llama2_lite, corpus, tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("clean")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        manifest = tokenize_files(client, llama2_lite, corpus, out_dir,
                                  lines_per_task=500)
        mtimes = {p: p.stat().st_mtime_ns for p in out_dir.iterdir()}
        (out_dir / "empty.txt.bin").unlink()
        shard = out_dir / "repeated.txt.bin"
        data = bytearray(shard.read_bytes())
        data[0] ^= 1
        shard.write_bytes(data)  # Corrupted at the same size.
        again = tokenize_files(client, tok, corpus, out_dir, lines_per_task=7)
    return out_dir, manifest, mtimes, again


def test_local_cluster_writes_every_line_in_order(tok, corpus, clean_run):
    out_dir, manifest, _, _ = clean_run
    assert sorted(os.listdir(out_dir)) == sorted(
        [p.name + s for p in corpus for s in (".bin", ".idx")] + ["manifest.json"])
    assert manifest == json.loads((out_dir / "manifest.json").read_text())
    assert manifest["vocab_size"] == tok.vocab_size
    for path in corpus:
        ids, offsets = korvel.read_shard(out_dir / path.name)
        expected_ids, expected_offsets = expected_shard(tok, path)
        assert (ids.tolist(), offsets.tolist()) == (expected_ids, expected_offsets)
        entry = manifest["files"][path.name]
        assert (entry["lines"], entry["ids"]) == (len(offsets) - 1, len(ids))


def test_a_second_run_redoes_only_what_is_missing(corpus, clean_run):
    out_dir, manifest, mtimes, again = clean_run
    assert again == manifest
    changed = {p.name for p in out_dir.iterdir()
               if mtimes.get(p) != p.stat().st_mtime_ns}
    assert changed == {"empty.txt.bin", "empty.txt.idx", "repeated.txt.bin",
                       "repeated.txt.idx", "manifest.json"}


def test_read_shard_refuses_corrupt_shards(tmp_path):
    for name, ids, offsets, message in [
            ("backwards", [1, 2, 3], [0, 2, 1, 3], "describe"),
            ("past the end", [1, 2], [0, 5, 2], "describe"),
            ("outside", [1, 50], [0, 2], "outside")]:
        numpy.array(ids, "<u4").tofile(tmp_path / f"{name}.bin")
        numpy.array(offsets, "<u8").tofile(tmp_path / f"{name}.idx")
        with pytest.raises(ValueError, match=message):
            korvel.read_shard(tmp_path / name, vocab_size=50)


def test_a_changed_input_fails_and_leaves_no_parts(
        llama2_lite, corpus, tmp_path, monkeypatch):
    # The stamp taken before reading never matches the one at the join.
    monkeypatch.setattr(korvel.dask, "input_stamp", lambda path: (-1, -1))
    with distributed.LocalCluster(n_workers=1, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        with pytest.raises(OSError, match="changed while it was being tokenized"):
            tokenize_files(client, llama2_lite, corpus, tmp_path,
                           lines_per_task=500)
    assert os.listdir(tmp_path) == []


def test_the_parts_directory_goes_while_cancelled_tasks_still_write(tmp_path):
    parts = tmp_path / ".parts"
    parts.mkdir()
    def write_until_refused(k):
        with contextlib.suppress(FileNotFoundError):
            for i in range(500):
                write_atomically(parts / f"{k}.{i}", b"x" * 4096)
    writers = [threading.Thread(target=write_until_refused, args=(k,))
               for k in range(4)]
    for writer in writers:
        writer.start()
    time.sleep(0.05)
    korvel.dask._remove_parts_dir(parts)
    for writer in writers:
        writer.join(DEADLINE_SECONDS)
    assert os.listdir(tmp_path) == []


def start(*command):
    """Runs the `dask` command (`dask scheduler`, `dask worker`)."""
    return subprocess.Popen([sys.executable, "-m", "dask", *command],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(condition, what):
    deadline = time.monotonic() + DEADLINE_SECONDS
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def test_separate_processes_with_a_killed_worker(
        llama2_lite, corpus, clean_run, tmp_path):
    scheduler_file = tmp_path / "scheduler.json"
    processes = [start("scheduler", "--host", "127.0.0.1", "--port", "0",
                       "--no-dashboard", "--scheduler-file", str(scheduler_file))]
    try:
        wait_for(scheduler_file.exists, "the scheduler")
        for _ in range(2):
            processes.append(start(
                "worker", "--scheduler-file", str(scheduler_file),
                "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                "--no-dashboard"))
        with distributed.Client(scheduler_file=str(scheduler_file),
                                timeout=DEADLINE_SECONDS) as client:
            client.wait_for_workers(2, timeout=DEADLINE_SECONDS)
            address = client.scheduler.address
            out_dir = tmp_path / "out"
            job = subprocess.Popen(
                [sys.executable, "-m", "korvel.dask", "--scheduler", address,
                 "--model", str(llama2_lite), "--out", str(out_dir),
                 "--lines_per_task", "5", *map(str, corpus)],
                stderr=subprocess.PIPE, text=True)
            wait_for(lambda: all(client.processing().values()) and
                     len(client.processing()) == 2, "both workers to be busy")
            processes[1].send_signal(signal.SIGKILL)
            _, stderr = job.communicate(timeout=DEADLINE_SECONDS)
            assert job.returncode == 0, stderr
        assert output_bytes(out_dir, corpus) == output_bytes(clean_run[0], corpus)
        assert json.loads((out_dir / "manifest.json").read_text()) == clean_run[1]
    finally:
        for process in processes:
            process.kill()
            process.wait()
