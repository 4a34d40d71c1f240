"""korvel.dask as a user starts it: README's snippet saved as a script,
`python3 -m korvel.dask` without a scheduler, its checks before anything
starts, Ctrl-C and a rerun, and tasks sized by bytes."""

import os
import re
import signal
import stat
import subprocess
import sys
import time

import pytest

import korvel
from conftest import REPO
from korvel.dask import _split_lines

distributed = pytest.importorskip("distributed")

TIMEOUT = 300


def readme_snippet():
    text = (REPO / "README.md").read_text(encoding="utf-8")
    [snippet] = [block for block in re.findall(r"```python\n(.*?)```", text, re.S)
                 if "korvel.dask.tokenize_files" in block]
    return snippet


def flat_ids(tok, lines):
    return [i for ids in tok.encode_batch(lines) for i in ids]


def run_job(*args):
    return subprocess.run([sys.executable, "-m", "korvel.dask", *map(str, args)],
                          capture_output=True, text=True, timeout=TIMEOUT)


def test_readme_snippet_runs_as_a_script(tmp_path, llama2_lite, tok,
                                         sample_lines):
    (tmp_path / "llama2.lite").symlink_to(llama2_lite)
    texts = {"a.txt": sample_lines[:20], "b.txt": sample_lines[20:45]}
    for name, lines in texts.items():
        (tmp_path / name).write_text("\n".join(lines) + "\n", encoding="utf-8")
    script = tmp_path / "tokenize_corpus.py"
    script.write_text(readme_snippet() + "    print(len(offsets) - 1)\n")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["20"]
    for name, lines in texts.items():
        ids, _ = korvel.read_shard(tmp_path / "shards" / name)
        assert ids.tolist() == flat_ids(tok, lines)


def test_command_without_a_scheduler_runs_a_local_cluster(
        tmp_path, llama2_lite, tok, sample_lines):
    corpus = tmp_path / "corpus.txt"
    lines = sample_lines * 20
    corpus.write_text("\n".join(lines) + "\n", encoding="utf-8")
    out = tmp_path / "out"
    result = run_job("--model", llama2_lite, "--out", out,
                     "--bytes_per_task", 4096, corpus)
    assert result.returncode == 0, result.stderr
    ids, offsets = korvel.read_shard(out / "corpus.txt")
    assert ids.tolist() == flat_ids(tok, lines)
    assert result.stdout == f"1 files, {len(lines)} lines, {len(ids)} ids in {out}\n"
    # Readable by the other users of a shared file system, as the umask says.
    umask = os.umask(0)
    os.umask(umask)
    for name in ("corpus.txt.bin", "corpus.txt.idx", "manifest.json"):
        assert stat.S_IMODE(os.stat(out / name).st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("case", ["full model", "missing input", "directory"])
def test_model_and_inputs_are_checked_before_anything_starts(
        case, tmp_path, llama2_lite):
    good = tmp_path / "good.txt"
    good.write_text("Hello\n")
    model, inputs, named = llama2_lite, [good], tmp_path / "missing.txt"
    if case == "full model":
        model = named = llama2_lite.parent / "llama2.full"
    elif case == "missing input":
        inputs.append(named)
    else:
        inputs.append(named := tmp_path)
    out = tmp_path / "out"
    result = run_job("--model", model, "--out", out, *inputs)
    assert result.returncode == 1
    assert result.stderr.startswith("korvel.dask: ")
    assert str(named) in result.stderr and result.stderr.count("\n") == 1
    assert not out.exists()


def test_ctrl_c_ends_with_one_line_and_the_same_command_finishes(
        tmp_path, llama2_lite, tok, sample_lines):
    lines = sample_lines * 400
    corpus = []
    for i in range(4):
        corpus.append(tmp_path / f"part{i}.txt")
        corpus[-1].write_text("\n".join(lines) + "\n", encoding="utf-8")
    out = tmp_path / "out"
    command = [sys.executable, "-m", "korvel.dask", "--model", str(llama2_lite),
               "--out", str(out), "--bytes_per_task", "65536", *map(str, corpus)]
    # In a session of its own, so that SIGINT goes to its whole process group
    # as a terminal's Ctrl-C does.
    job = subprocess.Popen(command, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True,
                           start_new_session=True)
    deadline = time.monotonic() + TIMEOUT
    parts = out / ".parts"
    while not (parts.is_dir() and any(parts.iterdir())):
        assert job.poll() is None, job.communicate()
        assert time.monotonic() < deadline, "no part appeared"
        time.sleep(0.01)
    os.killpg(job.pid, signal.SIGINT)
    _, stderr = job.communicate(timeout=TIMEOUT)
    assert job.returncode == 130, stderr
    assert "Traceback" not in stderr
    assert stderr.splitlines()[-1].startswith("korvel.dask: interrupted; ")

    again = subprocess.run(command, capture_output=True, text=True,
                           timeout=TIMEOUT)
    assert again.returncode == 0, again.stderr
    expected = flat_ids(tok, lines)
    for path in corpus:
        assert korvel.read_shard(out / path.name)[0].tolist() == expected
    assert not parts.exists()


def test_tasks_are_sized_by_bytes(tmp_path):
    path = tmp_path / "text.txt"
    path.write_bytes(b"".join(b"x" * (i % 50) + b"\n" for i in range(5000)) + b"end")
    data = path.read_bytes()
    for bytes_per_task, lines_per_task in ((1, None), (1000, None), (8 << 20, None),
                                           (1000, 7)):
        _, lines, ranges = _split_lines(path, bytes_per_task, lines_per_task)
        assert lines == 5001
        assert [begin for begin, _ in ranges] == [0] + [end for _, end in ranges[:-1]]
        assert ranges[-1][1] == len(data)
        for begin, end in ranges[:-1]:
            assert data[end - 1:end] == b"\n"
            run_lines = data.count(b"\n", begin, end)
            # A run ends at the first line end past its size, or at its lines.
            assert (end - begin >= bytes_per_task
                    and data.find(b"\n", begin + bytes_per_task - 1, end - 1) < 0
                    or run_lines == lines_per_task)
    assert len(_split_lines(path, 8 << 20)[2]) == 1
