#include "py_text.h"

#include <string>

namespace korvel::python {
namespace {

bool IsContinuationByte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::string_view Utf8View(py::handle text, const char* argument_name) {
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(argument_name) + " must be str, not " +
                         Py_TYPE(text.ptr())->tp_name);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string_view(data, static_cast<size_t>(size));
}

py::str ToStr(std::string_view utf8) {
  PyObject* str = PyUnicode_DecodeUTF8(
      utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

int IdFromPython(int64_t id) {
  if (id < INT32_MIN || id > INT32_MAX) {
    throw py::value_error("id " + std::to_string(id) + " is out of range");
  }
  return static_cast<int>(id);
}

std::vector<int> IdsFromPython(py::handle ids) {
  if (PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr()) ||
      !PySequence_Check(ids.ptr())) {
    throw py::type_error(std::string("ids must be a sequence of int, not ") +
                         Py_TYPE(ids.ptr())->tp_name);
  }
  py::sequence items = py::reinterpret_borrow<py::sequence>(ids);
  std::vector<int> result;
  result.reserve(items.size());
  for (py::handle item : items) {
    PyObject* index = PyNumber_Index(item.ptr());
    if (index == nullptr) {
      PyErr_Clear();
      throw py::type_error(std::string("an id must be int, not ") +
                           Py_TYPE(item.ptr())->tp_name);
    }
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) throw py::value_error("an id is out of range");
    result.push_back(IdFromPython(id));
  }
  return result;
}

void ThrowIfError(const absl::Status& status) {
  if (status.ok()) return;
  const std::string message(status.message());
  switch (status.code()) {
    case absl::StatusCode::kNotFound:
    case absl::StatusCode::kPermissionDenied:
    case absl::StatusCode::kUnavailable:
    case absl::StatusCode::kDataLoss:
      PyErr_SetString(PyExc_OSError, message.c_str());
      throw py::error_already_set();
    default:
      throw py::value_error(message);
  }
}

std::vector<std::pair<size_t, size_t>> ToCharOffsets(
    std::string_view text, const std::vector<tokenizer::Offset>& offsets) {
  // chars_before[b] is the number of characters that start before byte b.
  std::vector<size_t> chars_before(text.size() + 1);
  size_t chars = 0;
  for (size_t b = 0; b < text.size(); ++b) {
    chars_before[b] = chars;
    if (!IsContinuationByte(text[b])) ++chars;
  }
  chars_before[text.size()] = chars;
  auto floor_char = [&](size_t b) {
    b = std::min(b, text.size());
    const bool inside = b < text.size() && IsContinuationByte(text[b]);
    return chars_before[b] - (inside && chars_before[b] > 0 ? 1 : 0);
  };
  auto ceil_char = [&](size_t b) {
    b = std::min(b, text.size());
    return chars_before[b];
  };
  std::vector<std::pair<size_t, size_t>> result;
  result.reserve(offsets.size());
  for (const tokenizer::Offset& offset : offsets) {
    result.emplace_back(floor_char(offset.begin), ceil_char(offset.end));
  }
  return result;
}

}  // namespace korvel::python
