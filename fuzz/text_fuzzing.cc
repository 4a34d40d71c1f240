#include "text_fuzzing.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::lite::fuzzing {
namespace {

constexpr size_t kMaxTextBytes = 1 << 16;
constexpr size_t kMaxDecodedIds = 512;
constexpr float kLargestBelowOne = 0x1.fffffep-1f;

// A unigram lattice threshold low enough that most texts rebase their scores.
constexpr float kLowScoreResetThreshold = 8.0f;

// The lite models of one normalizer set-up: as converted, then, for BPE, the
// same without bigram trie and without direct mapping, and for unigram, the
// same with a low lattice threshold.
using ModelSet = std::vector<std::unique_ptr<KorvelLiteProcessor>>;

std::unique_ptr<KorvelLiteProcessor> Load(std::string lite) {
  auto processor = std::make_unique<KorvelLiteProcessor>(
      std::make_shared<std::string>(std::move(lite)));
  Require(processor->status() == absl::StatusCode::kOk,
          "a text model does not load");
  return processor;
}

std::vector<ModelSet> BuildModels(TextModelKind kind) {
  std::vector<ModelSet> models(kNumNormalizerVariants);
  for (int variant = 0; variant < kNumNormalizerVariants; ++variant) {
    const std::string lite =
        ConvertOrDie(TextFullModel(kind, variant), TextConverterOptions());
    models[variant].push_back(Load(lite));
    if (kind == TextModelKind::kBpe) {
      models[variant].push_back(Load(WithoutBigramTrie(lite)));
      models[variant].push_back(Load(WithoutDirectMapping(lite)));
    } else {
      models[variant].push_back(Load(lite));
      models[variant].back()->SetScoreResetThresholdForTesting(
          kLowScoreResetThreshold);
    }
  }
  return models;
}

std::vector<std::unique_ptr<tokenizer::Tokenizer>> BuildTokenizers(
    TextModelKind kind) {
  std::vector<std::unique_ptr<tokenizer::Tokenizer>> tokenizers;
  for (int variant = 0; variant < kNumNormalizerVariants; ++variant) {
    auto loaded = tokenizer::Tokenizer::FromBytes(
        ConvertOrDie(TextFullModel(kind, variant), TextConverterOptions()));
    Require(loaded.ok(), "a text model does not open as a tokenizer");
    tokenizers.push_back(*std::move(loaded));
  }
  return tokenizers;
}

bool SameViews(const std::vector<std::string_view>& a,
               const std::vector<std::string_view>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](std::string_view x, std::string_view y) {
                      return x.data() == y.data() && x.size() == y.size();
                    });
}

// Safe-boundary chunking and direct mapping are shortcuts: without them a
// converted model encodes every text to the same ids and views.
void CheckShortcutsKeepResults(const ModelSet& models, std::string_view raw) {
  std::string normalized;
  models[0]->Normalize(raw, &normalized, nullptr);
  std::vector<int> ids;
  std::vector<std::string_view> views;
  models[0]->EncodeNormalized(normalized, &ids, &views);
  for (size_t i = 1; i < models.size(); ++i) {
    std::vector<int> other_ids;
    std::vector<std::string_view> other_views;
    models[i]->EncodeNormalized(normalized, &other_ids, &other_views);
    Require(other_ids == ids && SameViews(other_views, views),
            i == 1 ? "encoding differs without the bigram trie"
                   : "encoding differs without direct mapping");
  }
}

std::vector<int> ConsumeIds(const KorvelLiteProcessor& processor,
                            FuzzedDataProvider* input) {
  const int vocab_size = static_cast<int>(processor.vocab_size());
  std::vector<int> ids(
      input->ConsumeIntegralInRange<size_t>(0, kMaxDecodedIds));
  for (int& id : ids) id = input->ConsumeIntegralInRange(0, vocab_size - 1);
  if (!ids.empty() && input->ConsumeBool()) {
    const size_t at = input->ConsumeIntegralInRange<size_t>(0, ids.size() - 1);
    ids[at] = input->ConsumeBool() ? -1 : vocab_size;
  }
  return ids;
}

}  // namespace

int FuzzText(const uint8_t* data, size_t size, TextModelKind kind) {
  static const std::vector<ModelSet>* const models =
      new std::vector<ModelSet>(BuildModels(kind));
  static const auto* const tokenizers =
      new std::vector<std::unique_ptr<tokenizer::Tokenizer>>(
          BuildTokenizers(kind));
  FuzzedDataProvider input(data, size);
  const int variant =
      input.ConsumeIntegralInRange(0, kNumNormalizerVariants - 1);
  const ModelSet& model_set = (*models)[variant];
  // BPE dropout beyond 1 switches merging off; unigram noise has no bound.
  const int max_alpha_tenths = kind == TextModelKind::kBpe ? 11 : 40;
  TextChecks checks;
  checks.alpha = input.ConsumeIntegralInRange(0, max_alpha_tenths) / 10.0f;
  checks.converter_built = true;
  checks.user_defined_pieces_well_formed = true;
  checks.user_defined_pieces_without_space_runs = true;
  const std::string text = input.ConsumeRandomLengthString(kMaxTextBytes);
  auto rng = [&input] {
    return std::min(input.ConsumeProbability<float>(), kLargestBelowOne);
  };

  const KorvelLiteProcessor& processor = *model_set[0];
  CheckText(processor, text, rng, checks);
  if (kind == TextModelKind::kBpe) {
    CheckShortcutsKeepResults(model_set, text);
  } else {
    CheckText(*model_set[1], text, rng, checks);
  }
  const std::vector<int> ids = ConsumeIds(processor, &input);
  CheckDecode(processor, ids);
  CheckStreamingDecode(*(*tokenizers)[variant], ids);
  return 0;
}

}  // namespace korvel::lite::fuzzing
