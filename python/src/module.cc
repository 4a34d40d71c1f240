// korvel._korvel: the extension module behind the Python package korvel.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "absl/status/statusor.h"
#include "korvel_import/tiktoken_import.h"
#include "korvel_model_converters/model_converter.h"
#include "py_text.h"
#include "py_tokenizer.h"

namespace korvel::python {
namespace {

using namespace pybind11::literals;  // NOLINT(build/namespaces)

tokenizer::EncodeOptions MakeOptions(bool add_bos, bool add_eos,
                                     bool parse_special) {
  tokenizer::EncodeOptions options;
  options.add_bos = add_bos;
  options.add_eos = add_eos;
  options.parse_special = parse_special;
  return options;
}

tokenizer::DecodeOptions MakeDecodeOptions(bool skip_special_tokens) {
  tokenizer::DecodeOptions options;
  options.keep_special = !skip_special_tokens;
  return options;
}

// A decode stream and the tokenizer it reads (kept alive by pybind11).
class PyDecodeStream {
 public:
  explicit PyDecodeStream(const PyTokenizer& tokenizer)
      : stream_(tokenizer.layer().NewDecodeStream()) {}

  py::str Step(int64_t id) {
    std::string text;
    ThrowIfError(stream_.Step(IdFromPython(id), &text));
    return ToStr(text);
  }
  py::str Finish() {
    std::string text;
    ThrowIfError(stream_.Finish(&text));
    return ToStr(text);
  }

 private:
  tokenizer::DecodeStream stream_;
};

py::bytes SerializeImported(const absl::StatusOr<korvel::ModelProto>& model) {
  ThrowIfError(model.status());
  std::string bytes;
  if (!model->SerializeToString(&bytes)) {
    throw py::value_error("the imported model cannot be serialized");
  }
  return py::bytes(bytes);
}

py::bytes ImportTokenizerJson(const std::string& json) {
  absl::StatusOr<korvel::ModelProto> model;
  {
    py::gil_scoped_release release;
    model = ImportJson(json);
  }
  return SerializeImported(model);
}

py::bytes ImportTiktoken(const std::string& ranks, const std::string& pattern,
                         const std::string& special) {
  absl::StatusOr<korvel::ModelProto> model;
  {
    py::gil_scoped_release release;
    model = import::ImportTiktoken(ranks, pattern, special);
  }
  return SerializeImported(model);
}

py::bytes Convert(const std::string& full_model) {
  korvel::ModelProto model;
  if (full_model.size() > INT_MAX || !model.ParseFromString(full_model) ||
      model.pieces_size() == 0) {
    throw py::value_error("not a korvel full model");
  }
  absl::StatusOr<std::string> lite_model;
  {
    py::gil_scoped_release release;
    lite_model = lite::ToVerifiedFlatbuffer(model, lite::ConverterOptions());
  }
  ThrowIfError(lite_model.status());
  return py::bytes(*lite_model);
}

constexpr char kTokenizerDoc[] = R"doc(
A loaded korvel lite model: turns text into piece ids and back.

Tokenizer(path, mmap=False) reads a lite model file (mmap=True maps it
instead: pages are shared between processes, but the file must then never be
rewritten in place while open). Tokenizer.from_bytes(data) and
Tokenizer.from_tokenizer_json(path) build one from bytes or from a Hugging Face
tokenizer.json.

A Tokenizer is immutable and may be shared by any number of threads; the batch
calls release the GIL and run on a pool of native threads. It pickles by its
model bytes. Errors: OSError for files, ValueError for a bad model, ids out of
range or a missing special piece, TypeError for arguments of the wrong type.
Offsets are [begin, end) in characters of the given str.
)doc";

// Construction, model facts and pickling.
void DefineLoading(py::class_<PyTokenizer>& tokenizer) {
  tokenizer
      .def(py::init([](const std::filesystem::path& path, bool mmap) {
             return PyTokenizer::Open(path.string(), mmap);
           }),
           "path"_a, "mmap"_a = false)
      .def_static(
          "from_bytes",
          [](py::bytes data) { return PyTokenizer::FromBytes(data); }, "data"_a,
          "A tokenizer over the bytes of a lite model (copied).")
      .def_static(
          "from_tokenizer_json",
          [](const std::filesystem::path& path) {
            return PyTokenizer::FromTokenizerJson(path.string());
          },
          "path"_a,
          "Imports a Hugging Face tokenizer.json and converts it to a "
          "lite model in memory.")
      .def_property_readonly(
          "vocab_size",
          [](const PyTokenizer& t) { return t.layer().vocab_size(); })
      .def("__len__",
           [](const PyTokenizer& t) { return t.layer().vocab_size(); })
      .def_property_readonly(
          "unk_id", [](const PyTokenizer& t) { return t.layer().unk_id(); })
      .def_property_readonly(
          "bos_id", [](const PyTokenizer& t) { return t.layer().bos_id(); })
      .def_property_readonly(
          "eos_id", [](const PyTokenizer& t) { return t.layer().eos_id(); })
      .def_property_readonly(
          "pad_id", [](const PyTokenizer& t) { return t.layer().pad_id(); })
      .def_property_readonly(
          "_model_bytes",
          [](const PyTokenizer& t) {
            return py::bytes(std::string(t.layer().model_bytes()));
          })
      .def_property_readonly("_path", &PyTokenizer::path)
      .def(py::pickle(
          [](const PyTokenizer& t) {
            return py::make_tuple(
                py::bytes(std::string(t.layer().model_bytes())));
          },
          [](const py::tuple& state) {
            if (state.size() != 1) throw py::value_error("bad Tokenizer state");
            return PyTokenizer::FromBytes(state[0].cast<std::string>());
          }));
  ;
}

// Binds an encoder of one str with the encoding options as keywords.
template <typename Result>
void DefTextEncoder(py::class_<PyTokenizer>& tokenizer, const char* name,
                    Result (PyTokenizer::*method)(
                        const py::str&, const tokenizer::EncodeOptions&) const,
                    const char* doc) {
  tokenizer.def(
      name,
      [method](const PyTokenizer& t, const py::str& text, bool add_bos,
               bool add_eos, bool parse_special) {
        return (t.*method)(text, MakeOptions(add_bos, add_eos, parse_special));
      },
      "text"_a, py::kw_only(), "add_bos"_a = false, "add_eos"_a = false,
      "parse_special"_a = false, doc);
}

// Binds an encoder of many texts (the argument `input_name`) with the
// encoding options and num_threads as keywords.
template <typename Input, typename Result>
void DefBatchEncoder(py::class_<PyTokenizer>& tokenizer, const char* name,
                     Result (PyTokenizer::*method)(
                         Input, const tokenizer::EncodeOptions&, int) const,
                     const char* input_name, const char* doc) {
  tokenizer.def(
      name,
      [method](const PyTokenizer& t, Input input, bool add_bos, bool add_eos,
               bool parse_special, int num_threads) {
        return (t.*method)(input, MakeOptions(add_bos, add_eos, parse_special),
                           num_threads);
      },
      py::arg(input_name), py::kw_only(), "add_bos"_a = false,
      "add_eos"_a = false, "parse_special"_a = false, "num_threads"_a = 0, doc);
}

// Vocabulary lookups and encoding.
void DefineEncoding(py::class_<PyTokenizer>& tokenizer) {
  tokenizer
      .def("id_to_piece", &PyTokenizer::IdToPiece, "id"_a,
           "The text of piece `id`; ValueError outside [0, vocab_size).")
      .def("piece_to_id", &PyTokenizer::PieceToId, "piece"_a,
           "The id of `piece`, or None when the vocabulary lacks it (as "
           "Hugging Face's token_to_id).")
      .def("get_vocab", &PyTokenizer::GetVocab,
           "A dict from every piece's text to its id.");
  DefTextEncoder(tokenizer, "encode", &PyTokenizer::Encode,
                 "The ids of `text`. parse_special turns texts of control "
                 "pieces and of the unknown piece "
                 "into their ids.");
  DefTextEncoder(
      tokenizer, "encode_with_offsets", &PyTokenizer::EncodeWithOffsets,
      "(ids, offsets): offsets[i] is the [begin, end) range of characters "
      "of `text` that ids[i] covers.");
  DefBatchEncoder(
      tokenizer, "encode_batch", &PyTokenizer::EncodeBatch, "texts",
      "The ids of every text, encoded in parallel (num_threads 0: all "
      "cores).");
  DefBatchEncoder(
      tokenizer, "encode_batch_numpy", &PyTokenizer::EncodeBatchNumpy, "texts",
      "(ids, offsets): the uint32 ids of all texts one after another, and "
      "int64 offsets, len(texts) + 1, where text i's ids start and end.");
  DefBatchEncoder(tokenizer, "_encode_lines", &PyTokenizer::EncodeLines, "data",
                  nullptr);
  tokenizer.def(
      "encode_batch_padded",
      [](const PyTokenizer& t, const py::sequence& texts, bool add_bos,
         bool add_eos, bool parse_special, int num_threads,
         std::optional<size_t> max_length, bool truncation,
         const std::string& padding_side) {
        return t.EncodeBatchPadded(
            texts, MakeOptions(add_bos, add_eos, parse_special), num_threads,
            max_length, truncation, padding_side);
      },
      "texts"_a, py::kw_only(), "add_bos"_a = false, "add_eos"_a = false,
      "parse_special"_a = false, "num_threads"_a = 0,
      "max_length"_a = py::none(), "truncation"_a = false,
      "padding_side"_a = "right",
      "(ids, attention_mask): int32 arrays [len(texts), width], ids padded "
      "with pad_id (0 without one), width the longest text or max_length. "
      "A text longer than max_length is a ValueError unless truncation "
      "keeps its first max_length ids.");
}

// Decoding, normalization and sampling.
void DefineDecoding(py::class_<PyTokenizer>& tokenizer) {
  tokenizer
      .def(
          "decode",
          [](const PyTokenizer& t, const py::sequence& ids,
             bool skip_special_tokens) {
            return t.Decode(ids, MakeDecodeOptions(skip_special_tokens));
          },
          "ids"_a, py::kw_only(), "skip_special_tokens"_a = true,
          "The text of `ids`; ValueError names an id outside the vocabulary. "
          "Control pieces (such as <s>) decode to nothing unless "
          "skip_special_tokens=False, which writes their texts.")
      .def(
          "decode_batch",
          [](const PyTokenizer& t, const py::sequence& ids, int num_threads,
             bool skip_special_tokens) {
            return t.DecodeBatch(ids, num_threads,
                                 MakeDecodeOptions(skip_special_tokens));
          },
          "ids"_a, py::kw_only(), "num_threads"_a = 0,
          "skip_special_tokens"_a = true,
          "The texts of many id lists, in parallel (num_threads 0: all "
          "cores).")
      .def("normalize", &PyTokenizer::Normalize, "text"_a,
           "`text` as the model normalizes it before encoding.")
      .def("sample", &PyTokenizer::Sample, "text"_a, py::kw_only(), "alpha"_a,
           "seed"_a = py::none(),
           "A sampled segmentation of `text`: alpha scales unigram noise or is "
           "the BPE dropout probability. The same seed gives the same ids.")
      .def(
          "decode_stream",
          [](const PyTokenizer& t) { return PyDecodeStream(t); },
          py::keep_alive<0, 1>(),
          "A DecodeStream that turns ids fed one at a time into text.");
}

void DefineModule(py::module_& m) {
  m.doc() = "The native part of the korvel package.";
  m.attr("__version__") = KORVEL_VERSION;
  py::class_<PyDecodeStream>(
      m, "DecodeStream",
      "Turns ids fed one at a time into text: step(id) returns the text that "
      "became final, finish() what is left. The concatenation equals "
      "decode(ids).")
      .def("step", &PyDecodeStream::Step, "id"_a)
      .def("finish", &PyDecodeStream::Finish);
  py::class_<PyTokenizer> tokenizer(m, "Tokenizer", kTokenizerDoc);
  DefineLoading(tokenizer);
  DefineEncoding(tokenizer);
  DefineDecoding(tokenizer);
  m.def("_import_tokenizer_json", &ImportTokenizerJson, "json"_a);
  m.def("_import_tiktoken", &ImportTiktoken, "ranks"_a, "pattern"_a,
        "special"_a);
  m.def("_convert", &Convert, "full_model"_a);
}

}  // namespace
}  // namespace korvel::python

PYBIND11_MODULE(_korvel, m) { korvel::python::DefineModule(m); }
