// An outside program built against the installed korvel package.
#include <cstdio>
#include <string>
#include <vector>

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/model.h"
#include "korvel_tokenizer/tokenizer.h"
#ifdef KORVEL_HAVE_CONVERTER
#include "korvel_model_converters/model_converter.h"
#include "libkorvel/korvel_model.pb.h"
#endif
#ifdef KORVEL_HAVE_LIBKORVEL
#include "libkorvel/korvel_processor.h"
#endif

#ifdef KORVEL_HAVE_CONVERTER
// Converts a small full model and encodes with the result.
bool ConvertAndEncode() {
  korvel::ModelProto full;
  const char* const texts[] = {"<unk>", "\xe2\x96\x81", "a", "b", "ab"};
  for (const char* text : texts) {
    korvel::ModelProto::Piece* piece = full.add_pieces();
    piece->set_piece(text);
    piece->set_score(-1.0f);
  }
  full.mutable_pieces(0)->set_type(korvel::ModelProto::Piece::UNKNOWN);
  full.mutable_trainer_spec()->set_model_type(korvel::TrainerSpec::BPE);
  full.mutable_normalizer_spec();
  absl::StatusOr<std::string> lite =
      korvel::lite::ToFlatbuffer(full, korvel::lite::ConverterOptions());
  if (!lite.ok()) {
    std::fprintf(stderr, "conversion failed: %s\n",
                 std::string(lite.status().message()).c_str());
    return false;
  }
  korvel::lite::KorvelLiteProcessor processor(*lite);
  std::vector<int> ids;
  if (processor.Encode("ab", &ids) != absl::StatusCode::kOk ||
      ids != std::vector<int>{1, 4}) {
    std::fprintf(stderr, "unexpected encoding of the converted model\n");
    return false;
  }
  return true;
}
#endif

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
  const auto opened = korvel::tokenizer::Tokenizer::Open("no-such-model-file");
  if (opened.ok() || opened.status().code() != absl::StatusCode::kNotFound) {
    std::fprintf(stderr, "unexpected answer to a missing model file\n");
    return 1;
  }
#ifdef KORVEL_HAVE_CONVERTER
  if (!ConvertAndEncode()) return 1;
#endif
#ifdef KORVEL_HAVE_LIBKORVEL
  korvel::KorvelProcessor full_processor;
  if (full_processor.Load("no-such-model-file").ok() ||
      full_processor.GetPieceSize() != 0) {
    std::fprintf(stderr, "unexpected load of a missing file\n");
    return 1;
  }
#endif
  std::printf("consumer ok\n");
  return 0;
}
