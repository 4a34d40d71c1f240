// The C functions of the package's importer module: a tokenizer.json text in,
// the lite model bytes of `korvel import` then `korvel convert` out, with the
// importer's warnings. The core module loads the bytes, which verifies them
// with the load's own message (ToVerifiedFlatbuffer would keep only its
// code), so nothing here loads a model.
//
// As in the core's glue, each call leaves its answer in one module-wide
// Import that JavaScript reads before its next call (one thread).

#include <emscripten/emscripten.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "absl/strings/str_join.h"
#include "korvel_import/hf_import.h"
#include "korvel_model_converters/model_converter.h"

namespace {

struct Import {
  std::string message;   // the failure's message; empty on success
  std::string warnings;  // one per line, on success and failure alike
  std::string model;     // the lite model's bytes on success
};

Import& import() {
  static Import* const i = new Import;
  return *i;
}

// The lite model of a tokenizer.json text, which is freed once parsed.
absl::StatusOr<std::string> LiteModel(std::unique_ptr<std::string> json,
                                      std::vector<std::string>* warnings) {
  absl::StatusOr<korvel::ModelProto> full =
      korvel::import::ImportHuggingFaceTokenizer(*json, warnings);
  json.reset();
  if (!full.ok()) return full.status();
  return korvel::lite::ToFlatbuffer(*full, korvel::lite::ConverterOptions());
}

}  // namespace

extern "C" {

// A buffer for `size` bytes of tokenizer.json that korvel_import takes over,
// so that JavaScript copies the file into wasm memory once.
EMSCRIPTEN_KEEPALIVE std::string* korvel_import_buffer(size_t size) {
  return new std::string(size, '\0');
}
EMSCRIPTEN_KEEPALIVE char* korvel_import_buffer_data(std::string* buffer) {
  return buffer->data();
}

// Imports and converts the text in a buffer of korvel_import_buffer, which it
// frees. Answers the status code (0 for OK).
EMSCRIPTEN_KEEPALIVE int korvel_import(std::string* buffer) {
  Import& i = import();
  std::vector<std::string> warnings;
  absl::StatusOr<std::string> lite =
      LiteModel(std::unique_ptr<std::string>(buffer), &warnings);
  i.warnings = absl::StrJoin(warnings, "\n");
  i.message.clear();
  std::string().swap(i.model);
  if (!lite.ok()) {
    i.message.assign(lite.status().message().data(),
                     lite.status().message().size());
    return static_cast<int>(lite.status().code());
  }
  i.model = *std::move(lite);
  return 0;
}

// The parts of the Import: 0 the message, 1 the warnings, 2 the model.
EMSCRIPTEN_KEEPALIVE const char* korvel_import_data(int part) {
  Import& i = import();
  return part == 0 ? i.message.data()
                   : part == 1 ? i.warnings.data() : i.model.data();
}
EMSCRIPTEN_KEEPALIVE size_t korvel_import_size(int part) {
  Import& i = import();
  return part == 0 ? i.message.size()
                   : part == 1 ? i.warnings.size() : i.model.size();
}

// Frees the model bytes once JavaScript holds its copy.
EMSCRIPTEN_KEEPALIVE void korvel_import_clear() {
  std::string().swap(import().model);
}

}  // extern "C"
