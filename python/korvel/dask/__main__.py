"""python3 -m korvel.dask [--scheduler ADDRESS] --model M --out OUT FILES...

Tokenizes text files, one text per line, on a Dask cluster into OUT/NAME.bin
and OUT/NAME.idx per input file and OUT/manifest.json. Without --scheduler it
starts a local cluster of one worker process per core."""

import argparse
import contextlib
import logging
import os
import signal
import sys

from korvel.dask import BYTES_PER_TASK, _check_inputs, tokenize_files


def _local_cluster():
    """A LocalCluster of one single-threaded worker process per core. Its
    processes ignore SIGINT, so that Ctrl-C on a terminal reaches only this
    process, which then stops them in order."""
    from distributed import LocalCluster
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1,
                            dashboard_address=None)
    finally:
        signal.signal(signal.SIGINT, previous)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m korvel.dask", description=__doc__.split("\n\n")[1])
    parser.add_argument("--scheduler",
                        help="address of the Dask scheduler, e.g. "
                             "tcp://host:8786 (default: a local cluster with "
                             "one worker per core)")
    parser.add_argument("--model", required=True, help="lite model file")
    parser.add_argument("--out", required=True, help="output directory")
    parser.add_argument("--add_bos", action="store_true")
    parser.add_argument("--add_eos", action="store_true")
    parser.add_argument("--parse_special", action="store_true")
    parser.add_argument("--bytes_per_task", type=int, default=BYTES_PER_TASK,
                        help="bytes of whole lines per task (default: 8 MiB)")
    parser.add_argument("--lines_per_task", type=int, default=None,
                        help="at most this many lines per task")
    parser.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args(argv)

    from korvel import Tokenizer
    interrupted = False
    with contextlib.ExitStack() as stack:
        try:
            # The model and the inputs first, before any cluster starts.
            model = Tokenizer(args.model)
            _check_inputs(args.files)
            from distributed import Client
            if args.scheduler:
                client = stack.enter_context(Client(args.scheduler))
            else:
                cluster = stack.enter_context(_local_cluster())
                client = stack.enter_context(Client(cluster))
            manifest = tokenize_files(
                client, model, args.files, args.out,
                add_bos=args.add_bos, add_eos=args.add_eos,
                parse_special=args.parse_special,
                bytes_per_task=args.bytes_per_task,
                lines_per_task=args.lines_per_task)
        except KeyboardInterrupt:
            interrupted = True
            # Close the cluster quietly; a second Ctrl-C waits for that. The
            # interrupted tasks' futures outlive the client, and their
            # finalizers would print tracebacks as the process ends.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            logging.getLogger("distributed").setLevel(logging.CRITICAL)
            sys.unraisablehook = lambda unraisable: None
        except (OSError, ValueError) as error:
            print(f"korvel.dask: {error}", file=sys.stderr)
            return 1
        except Exception as error:  # The cluster's own, such as CancelledError.
            print(f"korvel.dask: the job failed: {type(error).__name__} "
                  f"{error}", file=sys.stderr)
            return 1
    if interrupted:
        if sys.stderr.isatty():  # below the progress bar
            print(file=sys.stderr)
        print(f"korvel.dask: interrupted; {args.out} keeps the complete files, "
              "and the same command finishes the rest", file=sys.stderr)
        return 130
    lines = sum(f["lines"] for f in manifest["files"].values())
    ids = sum(f["ids"] for f in manifest["files"].values())
    print(f"{len(manifest['files'])} files, {lines} lines, {ids} ids in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
