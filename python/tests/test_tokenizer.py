"""The korvel.Tokenizer API on the LLaMA-2 tokenizer, checked against the
korvel command."""

import base64
import concurrent.futures
import multiprocessing
import os
import pickle
import random
import select
import signal

import numpy
import pytest

import korvel
from conftest import run_korvel

MULTILINGUAL = [
    "Hello world, this is korvel.",
    "Grüße aus München — naïve café",
    "Быстрая лиса; 東京の天気は晴れ。",
    "👋🏽 emoji and 𝔘𝔫𝔦𝔠𝔬𝔡𝔢 outside the BMP",
    "  spaces  and\ttabs ",
    "",
]


def korvel_ids(model, lines, tmp_path):
    text_file = tmp_path / "texts.txt"
    text_file.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    output = run_korvel("encode", f"--model={model}", text_file)
    return [[int(i) for i in line.split()] for line in output.splitlines()]


def test_every_encode_call_gives_the_commands_ids(
        tok, llama2_lite, llama2_json, sample_lines, tmp_path):
    lines = sample_lines + MULTILINGUAL
    expected = korvel_ids(llama2_lite, lines, tmp_path)
    assert len(expected) == len(lines)
    assert [tok.encode(line) for line in lines] == expected
    assert [tok.encode_with_offsets(line)[0] for line in lines] == expected
    for threads in (0, 1, 2):
        assert tok.encode_batch(lines, num_threads=threads) == expected
    ids, offsets = tok.encode_batch_numpy(tuple(lines))
    assert ids.dtype == numpy.uint32 and offsets.dtype == numpy.int64
    assert [ids[b:e].tolist() for b, e in zip(offsets, offsets[1:])] == expected
    data = "".join(line + "\n" for line in lines).encode()
    for buffer in (data, bytearray(data), numpy.frombuffer(data, numpy.uint8),
                   memoryview(data)[::-1][::-1]):
        ids, offsets = tok._encode_lines(buffer)
        assert [ids[b:e].tolist() for b, e in zip(offsets, offsets[1:])] == expected
    for other in (korvel.Tokenizer(llama2_lite, mmap=True),
                  korvel.Tokenizer(str(llama2_lite)),
                  korvel.Tokenizer.from_bytes(llama2_lite.read_bytes()),
                  korvel.Tokenizer.from_tokenizer_json(llama2_json)):
        assert other.encode_batch(lines) == expected


def test_files_round_trip_through_import_and_convert(tok, llama2_json, tmp_path):
    korvel.import_tokenizer_json(llama2_json, tmp_path / "m.full")
    korvel.convert(tmp_path / "m.full", tmp_path / "m.lite")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.full", "m.lite"]
    assert korvel.Tokenizer(tmp_path / "m.lite").encode_batch(MULTILINGUAL) == \
        tok.encode_batch(MULTILINGUAL)


def test_decode_normalize_and_vocabulary_match_the_command(
        tok, llama2_lite, sample_lines):
    ids = tok.encode_batch(sample_lines)
    decoded = run_korvel("decode", f"--model={llama2_lite}",
                         stdin="".join(" ".join(map(str, i)) + "\n" for i in ids))
    assert [tok.decode(i) for i in ids] == decoded.splitlines()
    assert tok.decode_batch(ids, num_threads=2) == decoded.splitlines()
    assert tok.decode(numpy.array(ids[0])) == decoded.splitlines()[0]
    normalized = run_korvel("normalize", f"--model={llama2_lite}",
                            stdin="".join(line + "\n" for line in MULTILINGUAL))
    assert [tok.normalize(t) for t in MULTILINGUAL] == normalized.splitlines()
    assert (tok.vocab_size, tok.unk_id, tok.bos_id, tok.eos_id, tok.pad_id) == \
        (32000, 0, 1, 2, -1)
    for i in (0, 1, 2, 3, 259, 31999):
        assert tok.piece_to_id(tok.id_to_piece(i)) == i


def test_special_pieces(tok):
    plain = tok.encode("a</s>")
    assert tok.encode("a", add_bos=True, add_eos=True) == [1] + tok.encode("a") + [2]
    assert tok.encode("a</s>", parse_special=True) == tok.encode("a") + [2]
    assert 2 not in plain


def test_padded_batches(tok):
    texts = ["Hello world", "a", ""]
    ids = tok.encode_batch(texts)
    width = max(map(len, ids))
    for side, max_length, truncation in [("right", None, False),
                                         ("left", None, False),
                                         ("right", width + 2, False),
                                         ("left", 1, True)]:
        padded, mask = tok.encode_batch_padded(
            texts, max_length=max_length, truncation=truncation,
            padding_side=side)
        assert padded.dtype == numpy.int32 and padded.shape == mask.shape
        assert padded.shape == (3, max_length or width)
        for row, row_mask, text_ids in zip(padded, mask, ids):
            kept = text_ids[:padded.shape[1]]
            assert row[row_mask == 1].tolist() == kept
            assert (row[row_mask == 0] == 0).all()
            assert row_mask.sum() == len(kept)
            assert row_mask[0 if side == "right" else -1] == (1 if kept else 0)


def check_offsets(tok, text):
    ids, offsets = tok.encode_with_offsets(text)
    assert len(offsets) == len(ids)
    previous_end = 0
    for piece_id, (begin, end) in zip(ids, offsets):
        assert 0 <= begin <= end <= len(text) and begin <= previous_end + 1
        previous_end = max(previous_end, end)
        piece = tok.id_to_piece(piece_id)
        if not piece.startswith("<0x"):
            surface = text[begin:end].replace("\u2581", " ")
            assert surface.strip() == piece.replace("\u2581", " ").strip()
    if text.strip():
        assert previous_end == len(text)


@pytest.mark.parametrize("text", MULTILINGUAL)
def test_offsets_are_characters_of_the_text(tok, text):
    check_offsets(tok, text)


def test_offsets_on_every_sample_line(tok, sample_lines):
    for text in sample_lines:
        check_offsets(tok, text)


def test_streaming_decode_gives_decode_in_pieces(tok, sample_lines):
    for text in sample_lines + MULTILINGUAL:
        ids = tok.encode(text)
        stream = tok.decode_stream()
        so_far = ""
        for piece_id in ids:
            so_far += stream.step(piece_id)
            assert tok.decode(ids).startswith(so_far)
        assert so_far + stream.finish() == tok.decode(ids)


def test_sampling_is_reproducible_and_decodes_to_the_text(tok):
    text = "Sampling segmentations of the same sentence."
    assert tok.sample(text, alpha=0.3, seed=7) == tok.sample(text, alpha=0.3, seed=7)
    samples = {tuple(tok.sample(text, alpha=0.5, seed=s)) for s in range(20)}
    assert len(samples) > 1
    assert all(tok.decode(list(s)) == text for s in samples)
    assert tok.decode(tok.sample(text, alpha=0.1)) == text


def encode_in_child(tokenizer_and_text):
    tokenizer, text = tokenizer_and_text
    return tokenizer.encode(text)


def test_pickles_into_a_process_pool(tok, sample_lines):
    clone = pickle.loads(pickle.dumps(tok))
    assert clone.encode_batch(sample_lines) == tok.encode_batch(sample_lines)
    with concurrent.futures.ProcessPoolExecutor(
            2, mp_context=multiprocessing.get_context("spawn")) as pool:
        results = list(pool.map(encode_in_child, [(tok, t) for t in sample_lines]))
    assert results == tok.encode_batch(sample_lines)


def test_batches_work_in_a_forked_child(tok, sample_lines):
    expected = tok.encode_batch(sample_lines, num_threads=2)
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        ok = tok.encode_batch(sample_lines, num_threads=2) == expected
        os.write(write_end, b"1" if ok else b"0")
        os._exit(0)
    os.close(write_end)
    ready, _, _ = select.select([read_end], [], [], 60)
    if not ready:
        os.kill(child, signal.SIGKILL)
    os.waitpid(child, 0)
    assert ready and os.read(read_end, 1) == b"1"


def test_bad_input_raises_python_errors(tok, tmp_path):
    bad_json = tmp_path / "bad.json"
    bad_json.write_text('{"model": {"type": "WordPiece"}}')
    cases = [
        (OSError, lambda: korvel.Tokenizer(tmp_path / "missing.lite")),
        (OSError, lambda: korvel.Tokenizer.from_tokenizer_json(tmp_path / "no.json")),
        (OSError, lambda: korvel.convert(tmp_path / "missing", tmp_path / "out")),
        (ValueError, lambda: korvel.Tokenizer.from_bytes(b"not a model")),
        (ValueError, lambda: korvel.Tokenizer(bad_json)),
        (ValueError, lambda: korvel.Tokenizer.from_tokenizer_json(bad_json)),
        (ValueError, lambda: korvel.convert(bad_json, tmp_path / "out")),
        (ValueError, lambda: tok.decode([tok.vocab_size])),
        (ValueError, lambda: tok.decode([-1])),
        (ValueError, lambda: tok.decode([2**40])),
        (ValueError, lambda: tok.decode_stream().step(2**33)),
        (ValueError, lambda: tok.decode_batch([[1], [40000]])),
        (ValueError, lambda: tok.id_to_piece(tok.vocab_size)),
        (ValueError, lambda: tok.decode_stream().step(-5)),
        (ValueError, lambda: tok.encode_batch(["a"], num_threads=-1)),
        (ValueError, lambda: tok.decode_batch([[1]], num_threads=10**6)),
        (ValueError, lambda: tok.encode_batch_padded(["a b c"], max_length=1)),
        (ValueError, lambda: tok.encode_batch_padded(["a"], padding_side="up")),
        (ValueError, lambda: tok._encode_lines(memoryview(b"a\nb\nc")[::2])),
        (ValueError, lambda: tok._encode_lines(numpy.zeros(1 << 26, "u1")[::-1])),
        (ValueError, lambda: tok._encode_lines(numpy.zeros(4, numpy.uint16))),
        (UnicodeEncodeError, lambda: tok.encode("bad \ud800 surrogate")),
        (UnicodeEncodeError, lambda: tok.encode_batch(["ok", "\udfff"])),
        (UnicodeEncodeError, lambda: tok.normalize("\ud83d")),
        (TypeError, lambda: tok.encode(b"bytes")),
        (TypeError, lambda: tok.encode(None)),
        (TypeError, lambda: tok.encode_batch("one string")),
        (TypeError, lambda: tok.encode_batch(["a", 3])),
        (TypeError, lambda: tok.decode("1 2")),
        (TypeError, lambda: tok.decode([1.5])),
        (TypeError, lambda: tok.decode_batch([[1], "2"])),
        (TypeError, lambda: tok.piece_to_id(3)),
        (TypeError, lambda: tok.sample("a")),
    ]
    for error, call in cases:
        with pytest.raises(error):
            call()
    assert issubclass(UnicodeEncodeError, ValueError)
    assert not list(tmp_path.glob("out*"))


def test_random_texts_never_crash(tok):
    rng = random.Random(5)
    alphabet = "ab ▁<>/s\u0301é世🙂\t\n0x"
    for _ in range(300):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(30)))
        ids, offsets = tok.encode_with_offsets(text, parse_special=True)
        assert all(0 <= b <= e <= len(text) for b, e in offsets)
        decoded = tok.decode(ids)
        assert tok.decode(tok.encode(decoded, parse_special=True)) == decoded


def test_help_shows_the_api():
    for name in ("encode", "encode_batch_padded", "decode_stream", "sample"):
        assert getattr(korvel.Tokenizer, name).__doc__
    assert "lite model" in korvel.Tokenizer.__doc__


def test_tiktoken_rank_files_import(tmp_path):
    tokens = [bytes([b]) for b in range(256)] + [b"ab", b" ab"]
    ranks = tmp_path / "r.tiktoken"
    ranks.write_text("".join(f"{base64.b64encode(t).decode()} {i}\n"
                             for i, t in enumerate(tokens)))
    korvel.import_tiktoken(ranks, tmp_path / "m.full", pattern="gpt2",
                           special="<|eot|>=260")
    korvel.convert(tmp_path / "m.full", tmp_path / "m.lite")
    assert korvel.Tokenizer(tmp_path / "m.lite").encode("ab ab") == [256, 257]
    with pytest.raises(ValueError, match="neither gpt2"):
        korvel.import_tiktoken(ranks, tmp_path / "x.full", pattern="(")
