"""python3 -m korvel.dask --scheduler ADDRESS --model M --out OUT FILES...

Tokenizes text files, one text per line, on a Dask cluster into OUT/NAME.bin
and OUT/NAME.idx per input file and OUT/manifest.json."""

import argparse
import sys

from korvel.dask import tokenize_files


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m korvel.dask", description=__doc__.split("\n\n")[1])
    parser.add_argument("--scheduler", required=True,
                        help="address of the Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--model", required=True, help="lite model file")
    parser.add_argument("--out", required=True, help="output directory")
    parser.add_argument("--add_bos", action="store_true")
    parser.add_argument("--add_eos", action="store_true")
    parser.add_argument("--parse_special", action="store_true")
    parser.add_argument("--lines_per_task", type=int, default=100_000)
    parser.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args(argv)

    from distributed import Client
    try:
        with Client(args.scheduler) as client:
            manifest = tokenize_files(
                client, args.model, args.files, args.out,
                add_bos=args.add_bos, add_eos=args.add_eos,
                parse_special=args.parse_special,
                lines_per_task=args.lines_per_task)
    except (OSError, ValueError) as error:
        print(f"korvel.dask: {error}", file=sys.stderr)
        return 1
    except Exception as error:  # The cluster's own, such as CancelledError.
        print(f"korvel.dask: the job failed: {type(error).__name__} {error}",
              file=sys.stderr)
        return 1
    lines = sum(f["lines"] for f in manifest["files"].values())
    ids = sum(f["ids"] for f in manifest["files"].values())
    print(f"{len(manifest['files'])} files, {lines} lines, {ids} ids in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
