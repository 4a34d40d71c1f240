// Opens a lite model file, encodes a chat turn with its special texts and
// offsets, decodes the ids one at a time as a generating model produces them,
// and encodes a batch on all cores.
//
//   chat_example model.lite
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_tokenizer/batch_encoder.h"
#include "korvel_tokenizer/tokenizer.h"

namespace tok = korvel::tokenizer;

int Fail(const absl::Status& status) {
  std::fprintf(stderr, "%s\n", std::string(status.message()).c_str());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <lite model file>\n", argv[0]);
    return 2;
  }
  // Reads the file into memory; Open(path, {/*mmap=*/true}) maps it.
  auto opened = tok::Tokenizer::Open(argv[1]);
  if (!opened.ok()) return Fail(opened.status());
  const tok::Tokenizer& tokenizer = **opened;

  // LLaMA-2's chat layout: with parse_special, "<s>" and "</s>" in the text
  // become the model's BOS and EOS ids (its only control pieces).
  const std::string text = "<s>[INST] Hi [/INST] Hello</s>";
  tok::EncodeOptions options;
  options.parse_special = true;
  std::vector<int> ids;
  std::vector<tok::Offset> offsets;
  if (absl::Status s = tokenizer.Encode(text, options, &ids, &offsets);
      !s.ok()) {
    return Fail(s);
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    const tok::Offset& at = offsets[i];
    std::printf("%d\t[%zu, %zu)\t%s\n", ids[i], at.begin, at.end,
                text.substr(at.begin, at.end - at.begin).c_str());
  }

  tok::DecodeStream stream = tokenizer.NewDecodeStream();
  std::string decoded;
  for (int id : ids) {
    if (absl::Status s = stream.Step(id, &decoded); !s.ok()) return Fail(s);
  }
  if (absl::Status s = stream.Finish(&decoded); !s.ok()) return Fail(s);
  std::printf("decoded: %s\n", decoded.c_str());

  const tok::BatchEncoder batch(tokenizer);  // one thread per core
  const std::vector<std::string_view> texts = {"Hello world", "Hi there"};
  std::vector<std::vector<int>> batch_ids;
  if (absl::Status s = batch.EncodeBatch(texts, {}, &batch_ids); !s.ok()) {
    return Fail(s);
  }
  std::printf("batch of %zu texts on %d threads\n", batch_ids.size(),
              batch.num_threads());
  return 0;
}
