#ifndef KORVEL_PYTHON_PY_TEXT_H_
#define KORVEL_PYTHON_PY_TEXT_H_

// The seams between Python objects and the tokenizer layer's bytes: str to
// UTF-8 views, text back to str, byte offsets to character offsets, and
// absl::Status to Python exceptions. All functions need the GIL.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/status/status.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::python {

namespace py = pybind11;

// The UTF-8 bytes of `text`, a str, cached inside the str object itself, so
// the view lives as long as `text`. Raises TypeError for anything but a str
// and UnicodeEncodeError (a ValueError) for lone surrogates.
std::string_view Utf8View(py::handle text, const char* argument_name);

// Text the layer produced, as a str. Bytes that are not UTF-8 become U+FFFD.
py::str ToStr(std::string_view utf8);

// The ids in `ids`, a sequence of ints or an integer numpy array. Raises
// TypeError for anything else and ValueError for an int outside the range of
// ids (the layer reports ids outside the vocabulary).
std::vector<int> IdsFromPython(py::handle ids);
int IdFromPython(int64_t id);

// Raises the Python exception for a failed status: OSError for files that
// cannot be opened or read, ValueError for everything else (bad models, ids
// out of range, missing special pieces). Does nothing for an ok status.
void ThrowIfError(const absl::Status& status);

// Turns [begin, end) byte offsets into `text` into offsets in code points; a
// range that starts or ends inside a character covers that whole character.
std::vector<std::pair<size_t, size_t>> ToCharOffsets(
    std::string_view text, const std::vector<tokenizer::Offset>& offsets);

}  // namespace korvel::python

#endif  // KORVEL_PYTHON_PY_TEXT_H_
