// An outside program built against the installed korvel package.
#include <cstdio>
#include <string>
#include <vector>

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/model.h"

int main() {
  korvel::lite::KorvelLiteProcessor empty{std::string_view()};
  if (empty.status() != absl::StatusCode::kInvalidArgument ||
      empty.vocab_size() != 0 || empty.IdToPiece(0) != "<unk>") {
    std::fprintf(stderr, "unexpected answers from a failed processor\n");
    return 1;
  }
  korvel::lite::ModelProtoT object;
  object.pieces = {"a"};
  flatbuffers::FlatBufferBuilder builder;
  builder.Finish(korvel::lite::ModelProto::Pack(builder, &object));
  std::string bytes(reinterpret_cast<const char*>(builder.GetBufferPointer()),
                    builder.GetSize());
  korvel::lite::Model model(bytes);
  // Verifiable, but without scores, types or tries: rejected as inconsistent.
  if (model.status() != absl::StatusCode::kInternal) {
    std::fprintf(stderr, "unexpected load status\n");
    return 1;
  }
  std::printf("consumer ok\n");
  return 0;
}
