#ifndef KORVEL_PYTHON_PY_TOKENIZER_H_
#define KORVEL_PYTHON_PY_TOKENIZER_H_

// korvel.Tokenizer: a Python face on korvel::tokenizer::Tokenizer. It adds
// only what Python needs (str conversion, character offsets, numpy arrays,
// exceptions, GIL release); every operation is the layer's. The wrapped
// tokenizer is immutable, so any number of Python threads may share one
// object; batch calls release the GIL and run on the layer's thread pools,
// one pool per thread count, created on first use and kept for the object's
// life; batches from several Python threads may share a pool.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "absl/status/statusor.h"
#include "korvel_tokenizer/batch_encoder.h"
#include "korvel_tokenizer/tokenizer.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::python {

namespace py = pybind11;

// The full model of a Hugging Face tokenizer.json, by the importer.
absl::StatusOr<korvel::ModelProto> ImportJson(std::string_view json);

class PyTokenizer {
 public:
  static std::unique_ptr<PyTokenizer> Open(const std::string& path, bool mmap);
  static std::unique_ptr<PyTokenizer> FromBytes(std::string bytes);
  static std::unique_ptr<PyTokenizer> FromTokenizerJson(
      const std::string& path);

  ~PyTokenizer();

  const tokenizer::Tokenizer& layer() const { return *tokenizer_; }
  const std::string& path() const { return path_; }

  py::str IdToPiece(int id) const;
  // The id of `piece`, or none when the vocabulary lacks it.
  std::optional<int> PieceToId(const py::str& piece) const;
  // Every piece's text with its id.
  py::dict GetVocab() const;

  py::list Encode(const py::str& text,
                  const tokenizer::EncodeOptions& options) const;
  std::pair<std::vector<int>, std::vector<std::pair<size_t, size_t>>>
  EncodeWithOffsets(const py::str& text,
                    const tokenizer::EncodeOptions& options) const;
  py::str Decode(py::handle ids, const tokenizer::DecodeOptions& options) const;
  py::str Normalize(const py::str& text) const;
  std::vector<int> Sample(const py::str& text, float alpha,
                          std::optional<uint64_t> seed) const;

  // Batch calls, in py_batch.cc.
  py::list EncodeBatch(const py::sequence& texts,
                       const tokenizer::EncodeOptions& options,
                       int num_threads) const;
  std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>> EncodeBatchNumpy(
      const py::sequence& texts, const tokenizer::EncodeOptions& options,
      int num_threads) const;
  std::tuple<py::array_t<int32_t>, py::array_t<int32_t>> EncodeBatchPadded(
      const py::sequence& texts, const tokenizer::EncodeOptions& options,
      int num_threads, std::optional<size_t> max_length, bool truncation,
      const std::string& padding_side) const;
  std::vector<py::str> DecodeBatch(
      const py::sequence& ids, int num_threads,
      const tokenizer::DecodeOptions& options) const;
  // Encodes every '\n'-terminated line of `data` (UTF-8 bytes, the last line
  // may lack its newline) into flat ids and per-line offsets.
  std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>> EncodeLines(
      py::buffer data, const tokenizer::EncodeOptions& options,
      int num_threads) const;

 private:
  PyTokenizer(std::unique_ptr<tokenizer::Tokenizer> tokenizer, std::string path)
      : tokenizer_(std::move(tokenizer)), path_(std::move(path)) {}

  const tokenizer::BatchEncoder& EncoderFor(int num_threads) const;
  // A list of the ints `ids`, which must be ids of the vocabulary; the int
  // objects are made once per tokenizer and shared.
  py::list ToList(const int* ids, size_t count) const;
  std::vector<std::vector<int>> EncodeViews(
      const std::vector<std::string_view>& texts,
      const tokenizer::EncodeOptions& options, int num_threads) const;
  std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>> EncodeViewsFlat(
      const std::vector<std::string_view>& texts,
      const tokenizer::EncodeOptions& options, int num_threads) const;

  std::unique_ptr<tokenizer::Tokenizer> tokenizer_;
  std::string path_;
  mutable py::tuple id_objects_;
  // Forgets (leaks) the encoders of the process this one was forked from:
  // their threads do not exist here, so they can neither run nor be joined.
  void DropInheritedEncoders() const;

  // One pool of threads per thread count asked for, created on first use by
  // the process `encoders_pid_`.
  mutable std::mutex encoders_mutex_;
  mutable pid_t encoders_pid_ = getpid();
  mutable std::map<int, std::unique_ptr<tokenizer::BatchEncoder>> encoders_;
};

}  // namespace korvel::python

#endif  // KORVEL_PYTHON_PY_TOKENIZER_H_
