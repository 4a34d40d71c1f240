#ifndef LIBKORVEL_KORVEL_PROCESSOR_H_
#define LIBKORVEL_KORVEL_PROCESSOR_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "libkorvel/flags.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel {

namespace lite {
class KorvelLiteProcessor;
}  // namespace lite

// Loads a full model file (the binary serialization of korvel::ModelProto)
// and encodes text with it.
//
// `Load` reads and parses the file, converts the model once into a lite model
// with the converter's default options, and keeps both: the full model for
// `model_proto()` and `GetScore`, the lite model for `Encode`. A failed `Load`
// leaves the processor without a model, and its message names the path and
// tells whether the file could not be read, was not a full model, or could
// not be converted. Loading again replaces the model.
//
// After a successful `Load` the const operations keep no state and may run on
// any number of threads at once. Without a model, `Encode` fails with
// kFailedPrecondition and the queries answer with an empty model.
class KorvelProcessor {
 public:
  KorvelProcessor();
  ~KorvelProcessor();
  KorvelProcessor(const KorvelProcessor&) = delete;
  KorvelProcessor& operator=(const KorvelProcessor&) = delete;

  absl::Status Load(std::string_view path);

  // Replaces the contents of `ids` with the piece ids of `text` (normalized
  // as the model says). On failure `ids` is left as it was.
  absl::Status Encode(std::string_view text, std::vector<int>* ids) const;

  // The full model's score of piece `id`; 0 for an id out of range.
  float GetScore(int id) const;

  const ModelProto& model_proto() const { return model_proto_; }

  int GetPieceSize() const { return model_proto_.pieces_size(); }

 private:
  ModelProto model_proto_;
  std::unique_ptr<lite::KorvelLiteProcessor> lite_processor_;
};

}  // namespace korvel

#endif  // LIBKORVEL_KORVEL_PROCESSOR_H_
