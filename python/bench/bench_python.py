"""Python binding throughput against the native batch encoder, in one run.

    cmake --build build --target korvel_python korvel_python_baseline_bench korvel_cli
    /usr/bin/python3 python/bench/bench_python.py --build build \\
        [--model llama2.lite] [--text corpus.txt]

Without --model it imports and converts the LLaMA-2 tokenizer (fetched by
tools/fetch_llama2.sh) with the korvel command; without --text it encodes 4 MB
of numbered lines of data/sample.txt.

Prints: encode_batch MB/s on 1 and 2 threads beside the C++ BatchEncoder's
(and the ratios), the time of one encode() call on a short text beside the
C++ call, and the MB/s of korvel.dask.tokenize_files on a LocalCluster of two
single-threaded workers.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

SHORT_TEXT = "Hello world, this is korvel."


def best_seconds(call, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def native_baseline(build, model, text):
    program = build / "python" / "korvel_python_baseline_bench"
    output = subprocess.run([str(program), str(model), str(text), SHORT_TEXT],
                            capture_output=True, text=True, check=True).stdout
    return {name: float(value) for name, value in
            (line.split() for line in output.splitlines())}


def dask_megabytes_per_second(model, text, megabytes):
    import distributed
    from korvel.dask import tokenize_files
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client, \
            tempfile.TemporaryDirectory() as out_dir:
        lines = text.read_bytes().count(b"\n")
        start = time.perf_counter()
        tokenize_files(client, model, [text], out_dir,
                       lines_per_task=max(1, lines // 16), progress=False)
        return megabytes / (time.perf_counter() - start)


REPO = pathlib.Path(__file__).resolve().parents[2]


def default_inputs(build):
    """The LLaMA-2 lite model and a 4 MB text, made in build/pybench."""
    directory = build / "pybench"
    directory.mkdir(exist_ok=True)
    model, text = directory / "llama2.lite", directory / "corpus.txt"
    if not model.exists():
        korvel = str(build / "src" / "korvel_cli" / "korvel")
        tokenizer_json = subprocess.run(
            [str(REPO / "tools" / "fetch_llama2.sh"), str(build / "hf")],
            capture_output=True, text=True, check=True).stdout.strip()
        full = directory / "llama2.full"
        subprocess.run([korvel, "import", f"--output_file={full}",
                        tokenizer_json], check=True)
        subprocess.run([korvel, "convert", f"--output_file={model}", str(full)],
                       check=True)
    if not text.exists():
        sample_lines = (REPO / "data" / "sample.txt").read_text(
            encoding="utf-8").splitlines()
        lines, size = [], 0
        while size < 4_000_000:
            line = f"{sample_lines[len(lines) % len(sample_lines)]} {len(lines)}"
            lines.append(line)
            size += len(line.encode()) + 1
        text.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return model, text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=pathlib.Path("build"))
    parser.add_argument("--model", type=pathlib.Path)
    parser.add_argument("--text", type=pathlib.Path)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.model is None or args.text is None:
        model, text = default_inputs(args.build.resolve())
        args.model, args.text = args.model or model, args.text or text
    sys.path.insert(0, str(args.build.resolve() / "python"))
    os.environ["PYTHONPATH"] = str(args.build.resolve() / "python")
    import korvel

    tok = korvel.Tokenizer(args.model)
    texts = args.text.read_text(encoding="utf-8").split("\n")
    megabytes = args.text.stat().st_size / 1e6
    native = native_baseline(args.build, args.model, args.text)
    print(f"text: {len(texts)} lines, {megabytes:.1f} MB")
    print(f"{'':34}{'MB/s':>10}{'C++ MB/s':>10}{'ratio':>8}")
    python_rates = {}
    for threads in (1, 2):
        for name, call in (("encode_batch", tok.encode_batch),
                           ("encode_batch_numpy", tok.encode_batch_numpy)):
            seconds = best_seconds(lambda: call(texts, num_threads=threads),
                                   args.rounds)
            rate = megabytes / seconds
            python_rates[name, threads] = rate
            cpp = native[f"cpp_batch_mb_s_{threads}"]
            print(f"{name + f' ({threads} thread' + ('s)' if threads > 1 else ')'):34}"
                  f"{rate:10.2f}{cpp:10.2f}{rate / cpp:8.3f}")
    print(f"encode_batch 2 threads / 1 thread: "
          f"{python_rates['encode_batch', 2] / python_rates['encode_batch', 1]:.2f}"
          f" (C++ {native['cpp_batch_mb_s_2'] / native['cpp_batch_mb_s_1']:.2f})")
    calls = 100_000
    seconds = best_seconds(lambda: [tok.encode(SHORT_TEXT) for _ in range(calls)], 3)
    per_call = seconds / calls * 1e6
    cpp_call = native["cpp_encode_short_us"]
    print(f"encode({SHORT_TEXT!r}): {per_call:.2f} us per call, C++ "
          f"{cpp_call:.2f} us, overhead {per_call - cpp_call:.2f} us")
    print(f"dask tokenize_files, 2 workers: "
          f"{dask_megabytes_per_second(args.model, args.text, megabytes):.2f} MB/s")


if __name__ == "__main__":
    main()
