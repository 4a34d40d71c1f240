// An outside program that includes only the tokenizer layer's header, built
// with a flatbuffers that fails on inclusion.
#include <cstdio>

#include "korvel_tokenizer/tokenizer.h"

int main() {
  const auto opened = korvel::tokenizer::Tokenizer::Open("no-such-model-file");
  if (opened.ok() || opened.status().code() != absl::StatusCode::kNotFound) {
    std::fprintf(stderr, "unexpected answer to a missing model file\n");
    return 1;
  }
  std::printf("tokenizer-only consumer ok\n");
  return 0;
}
