"""The vocabulary calls, decoding with special pieces, num_threads=0 and the
package version, on the LLaMA-2 tokenizer."""

import korvel
from conftest import run_korvel


def test_vocabulary_lookups(tok):
    assert len(tok) == tok.vocab_size == 32000
    vocab = tok.get_vocab()
    assert len(vocab) == len(tok)
    assert vocab["▁Hello"] == 22557 == tok.piece_to_id("▁Hello")
    assert all(tok.id_to_piece(i) == piece for piece, i in vocab.items())
    # A missing piece is None (as Hugging Face's token_to_id); the unknown
    # piece itself has its id.
    assert tok.piece_to_id("no such piece") is None
    assert tok.piece_to_id("<unk>") == tok.unk_id == 0


def test_decode_skips_special_tokens_unless_asked(tok):
    ids = tok.encode("Hello world", add_bos=True, add_eos=True)
    assert ids[0] == tok.bos_id and ids[-1] == tok.eos_id
    assert tok.decode(ids) == "Hello world"
    assert tok.decode(ids, skip_special_tokens=True) == "Hello world"
    assert tok.decode(ids, skip_special_tokens=False) == "<s>Hello world</s>"
    assert tok.decode_batch([ids, ids[1:]], skip_special_tokens=False) == [
        "<s>Hello world</s>", "Hello world</s>"]
    assert tok.decode_batch([ids]) == ["Hello world"]


def test_zero_threads_means_every_core(tok, sample_lines):
    assert (tok.encode_batch(sample_lines, num_threads=0)
            == tok.encode_batch(sample_lines, num_threads=1))


def test_version_is_the_command_line_version():
    assert run_korvel("--version") == f"korvel {korvel.__version__}\n"


def test_the_package_under_test_is_the_one_meant():
    import sys
    from conftest import INSTALLED, PACKAGE_DIR
    location = korvel.__file__
    if INSTALLED:  # installed with pip into the interpreter's environment
        assert location.startswith(sys.prefix), location
    else:
        assert location.startswith(str(PACKAGE_DIR)), location
