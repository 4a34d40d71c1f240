"""korvel: a compact subword tokenizer runtime.

    import korvel
    tok = korvel.Tokenizer("model.lite")
    ids = tok.encode("Hello world")
    text = tok.decode(ids)

See help(korvel.Tokenizer) for every call, korvel.dask for tokenizing a corpus
on a Dask cluster, and korvel.read_shard for reading its output.
"""

from korvel._files import write_atomically as _write_atomically
from korvel._korvel import DecodeStream, Tokenizer, __version__
from korvel._korvel import _convert, _import_tiktoken, _import_tokenizer_json
from korvel.shards import read_shard

__all__ = ["Tokenizer", "DecodeStream", "import_tokenizer_json",
           "import_tiktoken", "convert", "read_shard", "__version__"]


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def import_tokenizer_json(src_json, dst_full_model):
    """Imports a Hugging Face tokenizer.json as a full korvel model file.

    The output file appears only once complete. OSError for files,
    ValueError for a tokenizer.json that cannot be imported.
    """
    try:
        full = _import_tokenizer_json(_read(src_json))
    except ValueError as error:
        raise ValueError(f"{src_json}: {error}") from None
    _write_atomically(dst_full_model, full)


def import_tiktoken(src_ranks, dst_full_model, *, pattern, special=""):
    """Imports a tiktoken rank file as a full korvel model file.

    pattern is gpt2, cl100k (or llama3), qwen2, o200k or a regular
    expression; special lists the special tokens as "TEXT=ID,TEXT=ID".
    OSError for files, ValueError for a file that cannot be imported.
    """
    try:
        full = _import_tiktoken(_read(src_ranks), pattern, special)
    except ValueError as error:
        raise ValueError(f"{src_ranks}: {error}") from None
    _write_atomically(dst_full_model, full)


def convert(src_full_model, dst_lite_model):
    """Converts a full korvel model file into a lite model file."""
    try:
        lite = _convert(_read(src_full_model))
    except ValueError as error:
        raise ValueError(f"{src_full_model}: {error}") from None
    _write_atomically(dst_lite_model, lite)
