// The batch calls of korvel.Tokenizer: texts are gathered as UTF-8 views
// while the GIL is held, then encoded or decoded on the layer's thread pool
// without it.

#include <algorithm>
#include <cstring>

#include "py_text.h"
#include "py_tokenizer.h"
#include "split_lines.h"

namespace korvel::python {
namespace {

// Holds references to the items of `texts` (a copy of the sequence, so the
// caller may change it meanwhile) and their UTF-8 views.
struct TextViews {
  py::tuple items;
  std::vector<std::string_view> views;
};

TextViews GatherTexts(const py::sequence& texts) {
  if (PyUnicode_Check(texts.ptr()) || PyBytes_Check(texts.ptr()) ||
      !PySequence_Check(texts.ptr())) {
    throw py::type_error(std::string("texts must be a sequence of str, not ") +
                         Py_TYPE(texts.ptr())->tp_name);
  }
  TextViews gathered;
  PyObject* items = PySequence_Tuple(texts.ptr());
  if (items == nullptr) throw py::error_already_set();
  gathered.items = py::reinterpret_steal<py::tuple>(items);
  gathered.views.reserve(gathered.items.size());
  for (py::handle item : gathered.items) {
    gathered.views.push_back(Utf8View(item, "every text"));
  }
  return gathered;
}

// The memory of `info` as bytes. Only a buffer of single bytes laid out
// contiguously in C order is its own memory read from the start; any other
// (reversed, strided or of wider items) gives ValueError.
std::string_view ContiguousBytes(const py::buffer_info& info) {
  if (info.itemsize != 1) {
    throw py::value_error("data must be a buffer of bytes, not of " +
                          std::to_string(info.itemsize) + "-byte items");
  }
  py::ssize_t stride = 1;
  for (py::ssize_t dim = info.ndim - 1; dim >= 0; --dim) {
    if (info.shape[dim] > 1 && info.strides[dim] != stride) {
      throw py::value_error("data must be a C-contiguous buffer");
    }
    stride *= info.shape[dim];
  }
  return std::string_view(static_cast<const char*>(info.ptr),
                          static_cast<size_t>(info.size));
}

// The layer's flat ids and text ends as numpy arrays: uint32 ids and int64
// offsets, one per text plus a final one.
std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>> ToNumpy(
    const std::vector<int>& ids, const std::vector<size_t>& ends) {
  py::array_t<uint32_t> flat(static_cast<py::ssize_t>(ids.size()));
  std::copy(ids.begin(), ids.end(), flat.mutable_data());
  py::array_t<int64_t> offsets(static_cast<py::ssize_t>(ends.size() + 1));
  int64_t* offset = offsets.mutable_data();
  offset[0] = 0;
  std::copy(ends.begin(), ends.end(), offset + 1);
  return {std::move(flat), std::move(offsets)};
}

}  // namespace

PyTokenizer::~PyTokenizer() { DropInheritedEncoders(); }

void PyTokenizer::DropInheritedEncoders() const {
  if (encoders_pid_ == getpid()) return;
  for (auto& [num_threads, encoder] : encoders_) encoder.release();
  encoders_.clear();
  encoders_pid_ = getpid();
}

const tokenizer::BatchEncoder& PyTokenizer::EncoderFor(int num_threads) const {
  constexpr int kMaxThreads = 1024;
  if (num_threads < 0 || num_threads > kMaxThreads) {
    throw py::value_error("num_threads must be 0 (all cores) or at most " +
                          std::to_string(kMaxThreads));
  }
  std::lock_guard<std::mutex> lock(encoders_mutex_);
  DropInheritedEncoders();
  std::unique_ptr<tokenizer::BatchEncoder>& encoder = encoders_[num_threads];
  if (encoder == nullptr) {
    encoder =
        std::make_unique<tokenizer::BatchEncoder>(*tokenizer_, num_threads);
  }
  return *encoder;
}

std::vector<std::vector<int>> PyTokenizer::EncodeViews(
    const std::vector<std::string_view>& texts,
    const tokenizer::EncodeOptions& options, int num_threads) const {
  const tokenizer::BatchEncoder& encoder = EncoderFor(num_threads);
  std::vector<std::vector<int>> ids;
  absl::Status status;
  {
    py::gil_scoped_release release;
    status = encoder.EncodeBatch(texts, options, &ids);
  }
  ThrowIfError(status);
  return ids;
}

std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>>
PyTokenizer::EncodeViewsFlat(const std::vector<std::string_view>& texts,
                             const tokenizer::EncodeOptions& options,
                             int num_threads) const {
  const tokenizer::BatchEncoder& encoder = EncoderFor(num_threads);
  std::vector<int> ids;
  std::vector<size_t> ends;
  absl::Status status;
  {
    py::gil_scoped_release release;
    status = encoder.EncodeBatchFlat(texts, options, &ids, &ends);
  }
  ThrowIfError(status);
  return ToNumpy(ids, ends);
}

py::list PyTokenizer::EncodeBatch(const py::sequence& texts,
                                  const tokenizer::EncodeOptions& options,
                                  int num_threads) const {
  const TextViews gathered = GatherTexts(texts);
  const tokenizer::BatchEncoder& encoder = EncoderFor(num_threads);
  std::vector<int> ids;
  std::vector<size_t> ends;
  absl::Status status;
  {
    py::gil_scoped_release release;
    status = encoder.EncodeBatchFlat(gathered.views, options, &ids, &ends);
  }
  ThrowIfError(status);
  py::list lists(ends.size());
  size_t begin = 0;
  for (size_t i = 0; i < ends.size(); ++i) {
    lists[i] = ToList(ids.data() + begin, ends[i] - begin);
    begin = ends[i];
  }
  return lists;
}

std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>>
PyTokenizer::EncodeBatchNumpy(const py::sequence& texts,
                              const tokenizer::EncodeOptions& options,
                              int num_threads) const {
  const TextViews gathered = GatherTexts(texts);
  return EncodeViewsFlat(gathered.views, options, num_threads);
}

std::tuple<py::array_t<int32_t>, py::array_t<int32_t>>
PyTokenizer::EncodeBatchPadded(const py::sequence& texts,
                               const tokenizer::EncodeOptions& options,
                               int num_threads,
                               std::optional<size_t> max_length,
                               bool truncation,
                               const std::string& padding_side) const {
  if (padding_side != "right" && padding_side != "left") {
    throw py::value_error("padding_side must be 'right' or 'left', not '" +
                          padding_side + "'");
  }
  const TextViews gathered = GatherTexts(texts);
  const std::vector<std::vector<int>> ids =
      EncodeViews(gathered.views, options, num_threads);
  size_t width = 0;
  for (const std::vector<int>& text_ids : ids) {
    width = std::max(width, text_ids.size());
  }
  if (max_length.has_value()) {
    if (width > *max_length && !truncation) {
      throw py::value_error("a text has " + std::to_string(width) +
                            " ids, more than max_length " +
                            std::to_string(*max_length) +
                            "; pass truncation=True to cut it");
    }
    width = *max_length;
  }
  const int32_t pad_id = std::max(tokenizer_->pad_id(), 0);
  const auto rows = static_cast<py::ssize_t>(ids.size());
  const auto columns = static_cast<py::ssize_t>(width);
  py::array_t<int32_t> padded({rows, columns});
  py::array_t<int32_t> mask({rows, columns});
  for (size_t row = 0; row < ids.size(); ++row) {
    int32_t* row_ids = padded.mutable_data(row);
    int32_t* row_mask = mask.mutable_data(row);
    const size_t kept = std::min(ids[row].size(), width);
    const size_t start = padding_side == "left" ? width - kept : 0;
    std::fill(row_ids, row_ids + width, pad_id);
    std::fill(row_mask, row_mask + width, 0);
    std::copy(ids[row].begin(), ids[row].begin() + kept, row_ids + start);
    std::fill(row_mask + start, row_mask + start + kept, 1);
  }
  return {std::move(padded), std::move(mask)};
}

std::vector<py::str> PyTokenizer::DecodeBatch(
    const py::sequence& id_lists, int num_threads,
    const tokenizer::DecodeOptions& options) const {
  std::vector<std::vector<int>> ids;
  ids.reserve(id_lists.size());
  for (py::handle id_list : id_lists) ids.push_back(IdsFromPython(id_list));
  const tokenizer::BatchEncoder& encoder = EncoderFor(num_threads);
  std::vector<std::string> texts;
  absl::Status status;
  {
    py::gil_scoped_release release;
    status = encoder.DecodeBatch(ids, &texts, options);
  }
  ThrowIfError(status);
  std::vector<py::str> result;
  result.reserve(texts.size());
  for (const std::string& text : texts) result.push_back(ToStr(text));
  return result;
}

std::tuple<py::array_t<uint32_t>, py::array_t<int64_t>>
PyTokenizer::EncodeLines(py::buffer data,
                         const tokenizer::EncodeOptions& options,
                         int num_threads) const {
  const py::buffer_info info = data.request();
  return EncodeViewsFlat(SplitLines(ContiguousBytes(info)), options,
                         num_threads);
}

}  // namespace korvel::python
