"""The vocabulary calls, decoding with special pieces, num_threads=0 and the
package's version and location, on the LLaMA-2 tokenizer."""

import sys

import korvel
from conftest import INSTALLED, PACKAGE_DIR, run_korvel


def test_vocabulary_lookups(tok):
    vocab = tok.get_vocab()
    assert len(tok) == tok.vocab_size == len(vocab) == 32000
    assert vocab["▁Hello"] == 22557 == tok.piece_to_id("▁Hello")
    assert all(tok.id_to_piece(i) == piece for piece, i in vocab.items())
    # None for a missing piece, as Hugging Face's token_to_id.
    assert tok.piece_to_id("no such piece") is None
    assert tok.piece_to_id("<unk>") == tok.unk_id == 0


def test_decode_skips_special_tokens_unless_asked(tok):
    ids = tok.encode("Hello world", add_bos=True, add_eos=True)
    assert tok.decode(ids) == "Hello world"
    assert tok.decode(ids, skip_special_tokens=False) == "<s>Hello world</s>"
    assert tok.decode_batch([ids, ids[1:]], skip_special_tokens=False) == [
        "<s>Hello world</s>", "Hello world</s>"]


def test_zero_threads_means_every_core(tok, sample_lines):
    assert (tok.encode_batch(sample_lines, num_threads=0)
            == tok.encode_batch(sample_lines, num_threads=1))


def test_version_and_location_are_those_of_the_copy_meant():
    assert run_korvel("--version") == f"korvel {korvel.__version__}\n"
    # pip's install into the interpreter's environment, or the build tree.
    where = sys.prefix if INSTALLED else str(PACKAGE_DIR)
    assert korvel.__file__.startswith(where), korvel.__file__
