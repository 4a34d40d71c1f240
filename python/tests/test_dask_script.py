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


def job(*args):
    return [sys.executable, "-m", "korvel.dask", *map(str, args)]


def write_corpus(tmp_path, lines, names):
    for name in names:
        (tmp_path / name).write_text("\n".join(lines) + "\n", encoding="utf-8")
    return [tmp_path / name for name in names]


def shard_ids(path):
    return korvel.read_shard(path)[0].tolist()


def test_readme_snippet_runs_as_a_script(tmp_path, llama2_lite, tok,
                                         sample_lines):
    text = (REPO / "README.md").read_text(encoding="utf-8")
    [snippet] = [block for block in re.findall(r"```python\n(.*?)```", text, re.S)
                 if "korvel.dask.tokenize_files" in block]
    (tmp_path / "script.py").write_text(snippet + "    print(len(offsets))\n")
    (tmp_path / "llama2.lite").symlink_to(llama2_lite)
    write_corpus(tmp_path, sample_lines, ["a.txt", "b.txt"])
    result = subprocess.run([sys.executable, "script.py"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{len(sample_lines) + 1}\n"
    expected = [i for ids in tok.encode_batch(sample_lines) for i in ids]
    assert shard_ids(tmp_path / "shards" / "b.txt") == expected


@pytest.mark.parametrize("case", ["full model", "missing input", "directory"])
def test_model_and_inputs_are_checked_before_anything_starts(
        case, tmp_path, llama2_lite):
    model, named = llama2_lite, tmp_path / "missing.txt"
    if case == "full model":
        model = named = llama2_lite.parent / "llama2.full"
    elif case == "directory":
        named = tmp_path
    result = subprocess.run(job("--model", model, "--out", tmp_path / "out", named),
                            capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 1
    assert result.stderr.startswith("korvel.dask: ") and str(named) in result.stderr
    assert result.stderr.count("\n") == 1 and not (tmp_path / "out").exists()


def test_ctrl_c_ends_with_one_line_and_the_same_command_finishes(
        tmp_path, llama2_lite, tok, sample_lines):
    # Without --scheduler, on a local cluster.
    corpus = write_corpus(tmp_path, sample_lines * 400,
                          [f"part{i}.txt" for i in range(4)])
    out = tmp_path / "out"
    command = job("--model", llama2_lite, "--out", out,
                  "--bytes_per_task", 65536, *corpus)
    # A session of its own: SIGINT to its process group, as a terminal sends.
    # SIGINT with its default action, even where this runs in the background
    # of a script, which ignores it.
    running = subprocess.Popen(
        command, stderr=subprocess.PIPE, text=True, start_new_session=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + TIMEOUT
    while not ((out / ".parts").is_dir() and any((out / ".parts").iterdir())):
        assert running.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    os.killpg(running.pid, signal.SIGINT)
    _, stderr = running.communicate(timeout=TIMEOUT)
    assert running.returncode == 130, stderr
    assert "Traceback" not in stderr
    assert stderr.splitlines()[-1].startswith("korvel.dask: interrupted; ")
    again = subprocess.run(command, capture_output=True, text=True,
                           timeout=TIMEOUT)
    assert again.returncode == 0, again.stderr
    expected = [i for ids in tok.encode_batch(sample_lines * 400) for i in ids]
    assert all(shard_ids(out / path.name) == expected for path in corpus)
    assert again.stdout == (f"4 files, {len(sample_lines) * 1600} lines, "
                            f"{len(expected) * 4} ids in {out}\n")
    umask = os.umask(0)  # shards readable by others, as the umask says
    os.umask(umask)
    assert {stat.S_IMODE(p.stat().st_mode) for p in out.iterdir()} == {0o666 & ~umask}


def test_tasks_are_sized_by_bytes(tmp_path):
    path = tmp_path / "text.txt"
    path.write_bytes(b"".join(b"x" * (i % 50) + b"\n" for i in range(5000)) + b"end")
    ends = [end for _, end in _split_lines(path, 1000)[2]]
    # Each task ends at the first line end at least 1000 bytes past its start.
    data = path.read_bytes()
    assert ends[-1] == len(data) and all(data[e - 1] == ord("\n") for e in ends[:-1])
    starts = [0] + ends[:-1]
    assert all(data.find(b"\n", b + 999) + 1 == e for b, e in zip(starts, ends[:-1]))
    assert [len(_split_lines(path, n, 7)[2]) for n in (8 << 20, 1)] == [715, 5001]
    assert _split_lines(path, 8 << 20)[1:] == (5001, [(0, len(data))])
