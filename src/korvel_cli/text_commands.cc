// korvel decode (ids back to text) and korvel normalize (the model's
// normalized form of text).

#include <cstdint>
#include <string>
#include <string_view>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "korvel_cli/absl_view.h"
#include "korvel_cli/command.h"
#include "korvel_cli/line_command.h"
#include "korvel_cli/output_escaping.h"
#include "korvel_cli/shared_flags.h"

ABSL_FLAG(bool, keep_special, false,
          "decode: write the texts of control pieces (such as <s>) where their "
          "ids stand; off, they decode to nothing");
ABSL_FLAG(bool, offsets, false,
          "after the normalized text print a tab and, space separated, the "
          "input offset of every normalized byte plus the input length");

namespace korvel::cli {
namespace {

absl::Status NotAnId(std::string_view token) {
  return absl::InvalidArgumentError(
      absl::StrCat("not a piece id: '", AbslView(token), "'"));
}

absl::Status ParseIdList(std::string_view line, std::vector<int>& ids) {
  for (absl::string_view token : absl::StrSplit(
           AbslView(line), absl::ByAnyChar(" \t\r"), absl::SkipEmpty())) {
    int id;
    if (!absl::SimpleAtoi(token, &id)) {
      return absl::InvalidArgumentError(
          absl::StrCat("not a piece id: '", token, "'"));
    }
    ids.push_back(id);
  }
  return absl::OkStatus();
}

// Reads the JSON objects that `korvel encode --output=json` prints: the ids
// of the member "ids", an array of integers; the other members are skipped.
class JsonIdsReader {
 public:
  explicit JsonIdsReader(std::string_view line) : rest_(line) {}

  absl::Status Read(std::vector<int>& ids) {
    bool found = false;
    if (!Take('{')) return Malformed();
    if (Take('}')) return NoIds();
    do {
      std::string_view key;
      if (!String(&key) || !Take(':')) return Malformed();
      if (key == "ids" && !found) {
        found = true;
        if (absl::Status s = Ids(ids); !s.ok()) return s;
      } else if (!SkipValue(0)) {
        return Malformed();
      }
    } while (Take(','));
    if (!Take('}')) return Malformed();
    SkipSpace();
    if (!rest_.empty()) return Malformed();
    return found ? absl::OkStatus() : NoIds();
  }

 private:
  static absl::Status Malformed() {
    return absl::InvalidArgumentError("not a JSON object of encode's output");
  }
  static absl::Status NoIds() {
    return absl::InvalidArgumentError("a JSON object without \"ids\"");
  }
  void SkipSpace() {
    while (!rest_.empty() && (rest_[0] == ' ' || rest_[0] == '\t' ||
                              rest_[0] == '\r' || rest_[0] == '\n')) {
      rest_.remove_prefix(1);
    }
  }
  bool Take(char c) {
    SkipSpace();
    if (rest_.empty() || rest_[0] != c) return false;
    rest_.remove_prefix(1);
    return true;
  }
  // A string; `text` gets its raw contents (escapes left as they are).
  bool String(std::string_view* text) {
    if (!Take('"')) return false;
    for (size_t i = 0; i < rest_.size(); ++i) {
      if (rest_[i] == '\\') {
        ++i;
      } else if (rest_[i] == '"') {
        *text = rest_.substr(0, i);
        rest_.remove_prefix(i + 1);
        return true;
      }
    }
    return false;
  }
  absl::Status Ids(std::vector<int>& ids) {
    if (!Take('[')) return Malformed();
    if (Take(']')) return absl::OkStatus();
    do {
      SkipSpace();
      const size_t end = rest_.find_first_of(",]} \t\r\n");
      const std::string_view token = rest_.substr(0, end);
      int id;
      if (!absl::SimpleAtoi(AbslView(token), &id)) return NotAnId(token);
      ids.push_back(id);
      rest_.remove_prefix(token.size());
    } while (Take(','));
    return Take(']') ? absl::OkStatus() : Malformed();
  }
  bool SkipValue(int depth) {
    constexpr int kMaxDepth = 64;
    SkipSpace();
    if (rest_.empty() || depth > kMaxDepth) return false;
    std::string_view ignored;
    const char first = rest_[0];
    if (first == '"') return String(&ignored);
    if (first == '[' || first == '{') {
      const char close = first == '[' ? ']' : '}';
      rest_.remove_prefix(1);
      if (Take(close)) return true;
      do {
        if (close == '}' && (!String(&ignored) || !Take(':'))) return false;
        if (!SkipValue(depth + 1)) return false;
      } while (Take(','));
      return Take(close);
    }
    const size_t end = rest_.find_first_of(",]} \t\r\n");
    if (end == 0) return false;
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end);
    return true;
  }

  std::string_view rest_;
};

// The ids of one input line: space-separated ids, or a JSON object as encode
// prints it.
absl::Status ParseIds(std::string_view line, std::vector<int>& ids) {
  ids.clear();
  const size_t first = line.find_first_not_of(" \t\r");
  if (first != std::string_view::npos && line[first] == '{') {
    return JsonIdsReader(line).Read(ids);
  }
  return ParseIdList(line, ids);
}

absl::Status DecodeLine(const tokenizer::Tokenizer& model, bool pieces,
                        const tokenizer::DecodeOptions& options,
                        std::string_view line, LineScratch& scratch,
                        std::string& out) {
  absl::Status status = ParseIds(line, scratch.ids);
  if (!status.ok()) return status;
  if (!pieces) {
    status = model.Decode(scratch.ids, options, &scratch.text);
    if (status.ok()) out.append(scratch.text);
    return status;
  }
  for (size_t i = 0; i < scratch.ids.size(); ++i) {
    const int id = scratch.ids[i];
    if (id < 0 || id >= model.vocab_size()) {
      return model.Decode({id}, &scratch.text);  // the out-of-range error
    }
    if (i > 0) out.push_back(' ');
    AppendEscapedPiece(model.IdToPiece(id), &out);
  }
  return absl::OkStatus();
}

absl::Status NormalizeLine(const tokenizer::Tokenizer& model,
                           bool with_offsets, std::string_view line,
                           LineScratch& scratch, std::string& out) {
  const absl::Status status = model.Normalize(
      line, &scratch.text, with_offsets ? &scratch.offsets : nullptr);
  if (!status.ok()) return status;
  out.append(scratch.text);
  if (with_offsets) {
    out.push_back('\t');
    const char* separator = "";
    for (const size_t offset : scratch.offsets) {
      absl::StrAppend(&out, separator, offset);
      separator = " ";
    }
  }
  return absl::OkStatus();
}

}  // namespace

absl::Status RunDecode(const CommandArgs& args) {
  const std::string output = absl::GetFlag(FLAGS_output);
  if (!output.empty() && output != "text" && output != "pieces") {
    return UsageError("decode", absl::StrCat("--output must be 'text' or "
                                             "'pieces', not '",
                                             output, "'"));
  }
  absl::StatusOr<LineCommand> command = PrepareLineCommand("decode", args);
  if (!command.ok()) return command.status();
  const tokenizer::Tokenizer& model = *command->model;
  const bool pieces = output == "pieces";
  tokenizer::DecodeOptions options;
  options.keep_special = absl::GetFlag(FLAGS_keep_special);
  return RunLineCommand(*command, "decoded",
                        [&](std::string_view line, uint64_t,
                            LineScratch& scratch, std::string& out) {
                          return DecodeLine(model, pieces, options, line,
                                            scratch, out);
                        });
}

absl::Status RunNormalize(const CommandArgs& args) {
  absl::StatusOr<LineCommand> command = PrepareLineCommand("normalize", args);
  if (!command.ok()) return command.status();
  const tokenizer::Tokenizer& model = *command->model;
  const bool with_offsets = absl::GetFlag(FLAGS_offsets);
  return RunLineCommand(*command, "normalized",
                        [&](std::string_view line, uint64_t,
                            LineScratch& scratch, std::string& out) {
                          return NormalizeLine(model, with_offsets, line,
                                               scratch, out);
                        });
}

}  // namespace korvel::cli
