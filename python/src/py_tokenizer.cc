#include "py_tokenizer.h"

#include <fstream>
#include <random>
#include <sstream>

#include "absl/status/statusor.h"
#include "korvel_import/hf_import.h"
#include "korvel_model_converters/model_converter.h"
#include "py_text.h"

namespace korvel::python {
namespace {

// Texts longer than this are encoded or decoded without the GIL.
constexpr size_t kReleaseGilBytes = 4096;

std::unique_ptr<tokenizer::Tokenizer> ValueOrThrow(
    absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> tokenizer) {
  ThrowIfError(tokenizer.status());
  return *std::move(tokenizer);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  std::ostringstream contents;
  contents << file.rdbuf();
  return std::move(contents).str();
}

}  // namespace

absl::StatusOr<korvel::ModelProto> ImportJson(std::string_view json) {
  return import::ImportHuggingFaceTokenizer(json);
}

std::unique_ptr<PyTokenizer> PyTokenizer::Open(const std::string& path,
                                               bool mmap) {
  tokenizer::OpenOptions options;
  options.mmap = mmap;
  return std::unique_ptr<PyTokenizer>(new PyTokenizer(
      ValueOrThrow(tokenizer::Tokenizer::Open(path, options)), path));
}

std::unique_ptr<PyTokenizer> PyTokenizer::FromBytes(std::string bytes) {
  return std::unique_ptr<PyTokenizer>(new PyTokenizer(
      ValueOrThrow(tokenizer::Tokenizer::FromBytes(std::move(bytes))), ""));
}

std::unique_ptr<PyTokenizer> PyTokenizer::FromTokenizerJson(
    const std::string& path) {
  const std::string json = ReadFile(path);
  absl::StatusOr<korvel::ModelProto> full;
  absl::StatusOr<std::string> lite_bytes;
  {
    py::gil_scoped_release release;
    full = ImportJson(json);
    if (full.ok())
      lite_bytes = lite::ToVerifiedFlatbuffer(*full, lite::ConverterOptions());
  }
  if (!full.ok()) {
    ThrowIfError(
        absl::Status(full.status().code(),
                     path + ": " + std::string(full.status().message())));
  }
  ThrowIfError(lite_bytes.status());
  return FromBytes(*std::move(lite_bytes));
}

py::str PyTokenizer::IdToPiece(int id) const {
  if (id < 0 || id >= tokenizer_->vocab_size()) {
    throw py::value_error("id " + std::to_string(id) + " is out of range [0, " +
                          std::to_string(tokenizer_->vocab_size()) + ")");
  }
  return ToStr(tokenizer_->IdToPiece(id));
}

std::optional<int> PyTokenizer::PieceToId(const py::str& piece) const {
  const std::string_view text = Utf8View(piece, "piece");
  const int id = tokenizer_->PieceToId(text);
  // The runtime answers unk_id for a missing piece; Python wants None.
  if (id < 0 ||
      (id == tokenizer_->unk_id() && tokenizer_->IdToPiece(id) != text)) {
    return std::nullopt;
  }
  return id;
}

py::dict PyTokenizer::GetVocab() const {
  py::dict vocab;
  for (int id = 0; id < tokenizer_->vocab_size(); ++id) {
    vocab[ToStr(tokenizer_->IdToPiece(id))] = id;
  }
  return vocab;
}

py::list PyTokenizer::ToList(const int* ids, size_t count) const {
  if (id_objects_.size() == 0) {
    const int vocab_size = tokenizer_->vocab_size();
    id_objects_ = py::tuple(vocab_size);
    for (int id = 0; id < vocab_size; ++id) id_objects_[id] = py::int_(id);
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) throw py::error_already_set();
  PyObject** objects = &PyTuple_GET_ITEM(id_objects_.ptr(), 0);
  for (size_t i = 0; i < count; ++i) {
    PyObject* id = objects[ids[i]];
    Py_INCREF(id);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), id);
  }
  return py::reinterpret_steal<py::list>(list);
}

py::list PyTokenizer::Encode(const py::str& text,
                             const tokenizer::EncodeOptions& options) const {
  const std::string_view utf8 = Utf8View(text, "text");
  std::vector<int> ids;
  absl::Status status;
  if (utf8.size() > kReleaseGilBytes) {
    py::gil_scoped_release release;
    status = tokenizer_->Encode(utf8, options, &ids);
  } else {
    status = tokenizer_->Encode(utf8, options, &ids);
  }
  ThrowIfError(status);
  return ToList(ids.data(), ids.size());
}

std::pair<std::vector<int>, std::vector<std::pair<size_t, size_t>>>
PyTokenizer::EncodeWithOffsets(const py::str& text,
                               const tokenizer::EncodeOptions& options) const {
  const std::string_view utf8 = Utf8View(text, "text");
  std::vector<int> ids;
  std::vector<tokenizer::Offset> offsets;
  absl::Status status;
  {
    py::gil_scoped_release release;
    status = tokenizer_->Encode(utf8, options, &ids, &offsets);
  }
  ThrowIfError(status);
  return {std::move(ids), ToCharOffsets(utf8, offsets)};
}

py::str PyTokenizer::Decode(py::handle id_sequence,
                            const tokenizer::DecodeOptions& options) const {
  const std::vector<int> ids = IdsFromPython(id_sequence);
  std::string text;
  absl::Status status;
  if (ids.size() > kReleaseGilBytes / 4) {
    py::gil_scoped_release release;
    status = tokenizer_->Decode(ids, options, &text);
  } else {
    status = tokenizer_->Decode(ids, options, &text);
  }
  ThrowIfError(status);
  return ToStr(text);
}

py::str PyTokenizer::Normalize(const py::str& text) const {
  std::string normalized;
  ThrowIfError(tokenizer_->Normalize(Utf8View(text, "text"), &normalized));
  return ToStr(normalized);
}

std::vector<int> PyTokenizer::Sample(const py::str& text, float alpha,
                                     std::optional<uint64_t> seed) const {
  const std::string_view utf8 = Utf8View(text, "text");
  if (!seed.has_value()) {
    std::random_device device;
    seed = (uint64_t{device()} << 32) | device();
  }
  std::vector<int> ids;
  ThrowIfError(tokenizer_->Sample(utf8, alpha, *seed, &ids));
  return ids;
}

}  // namespace korvel::python
