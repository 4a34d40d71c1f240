// Loads a lite model file and encodes and decodes each argument with it.
//
//   encode_example model.lite "Hello world" ...
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <lite model file> [text ...]\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::stringstream contents;
  contents << file.rdbuf();
  // The shared string keeps the bytes alive (and aligned) for the processor.
  korvel::lite::KorvelLiteProcessor processor(
      std::make_shared<std::string>(contents.str()));
  if (processor.status() != absl::StatusCode::kOk) {
    std::fprintf(stderr, "%s is not a valid lite model (status %d)\n", argv[1],
                 static_cast<int>(processor.status()));
    return 1;
  }
  std::printf("vocab_size=%zu unk_id=%d bos_id=%d eos_id=%d\n",
              processor.vocab_size(), processor.unk_id(), processor.bos_id(),
              processor.eos_id());

  std::vector<int> ids;
  std::string decoded;
  for (int i = 2; i < argc; ++i) {
    if (processor.Encode(argv[i], &ids) != absl::StatusCode::kOk ||
        processor.Decode(ids, &decoded, nullptr) != absl::StatusCode::kOk) {
      std::fprintf(stderr, "failed to encode %s\n", argv[i]);
      return 1;
    }
    std::printf("%s ->", argv[i]);
    for (int id : ids) std::printf(" %d", id);
    std::printf(" -> %s\n", decoded.c_str());
  }
  return 0;
}
