// The regex engine: PCRE2 (8-bit), JIT-compiled when the platform has JIT.

#include <cstdint>
#include <string>
#include <vector>

#include "korvel_pretokenizer/internal/regex.h"
#include "korvel_pretokenizer/internal/unicode_classes.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace korvel::pretokenizer::internal {
namespace {

// Generous for real pre-tokenizer patterns, which backtrack a few steps per
// match; a pattern that blows up reaches them within a fraction of a second.
constexpr uint32_t kMatchLimit = 10'000'000;
constexpr uint32_t kDepthLimit = 1'000'000;
constexpr uint32_t kHeapLimitKiB = 256 * 1024;
constexpr size_t kJitStackMax = 8 << 20;

// U+E000, what a byte that starts no well-formed character is matched as.
constexpr char kStandIn[] = "\xee\x80\x80";

// Per-thread match state: match data with room for the whole match, and a
// JIT stack. A split reads the match data before it passes a piece on, so
// the steps of a sequence share them.
struct ThreadState {
  pcre2_match_data* match_data = pcre2_match_data_create(1, nullptr);
  pcre2_jit_stack* jit_stack = nullptr;
  ~ThreadState() {
    pcre2_match_data_free(match_data);
    pcre2_jit_stack_free(jit_stack);
  }
};

ThreadState& State() {
  thread_local ThreadState state;
  return state;
}

pcre2_jit_stack* JitStackOfThread(void*) {
  ThreadState& state = State();
  if (state.jit_stack == nullptr) {
    state.jit_stack = pcre2_jit_stack_create(32 << 10, kJitStackMax, nullptr);
  }
  return state.jit_stack;
}

// When `text` has bad bytes, writes it with each replaced by kStandIn into
// *subject, and into *source_offset the offset in `text` of each byte of
// *subject and of its end, and returns true.
bool ReplaceBadBytes(std::string_view text, std::string* subject,
                     std::vector<uint32_t>* source_offset) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  const auto* p = begin;
  while (p < end && (*p < 0x80 || CharAt(p, end).length > 1)) {
    p += *p < 0x80 ? 1 : CharAt(p, end).length;
  }
  if (p == end) return false;
  subject->assign(text.data(), p - begin);
  source_offset->resize(p - begin);
  for (uint32_t i = 0; i < source_offset->size(); ++i) {
    (*source_offset)[i] = i;
  }
  while (p < end) {
    const uint32_t offset = static_cast<uint32_t>(p - begin);
    const uint32_t length = *p < 0x80 ? 1 : CharAt(p, end).length;
    if (*p >= 0x80 && length == 1) {
      subject->append(kStandIn, 3);
      source_offset->insert(source_offset->end(), 3, offset);
    } else {
      subject->append(reinterpret_cast<const char*>(p), length);
      for (uint32_t i = 0; i < length; ++i) {
        source_offset->push_back(offset + i);
      }
    }
    p += length;
  }
  source_offset->push_back(static_cast<uint32_t>(text.size()));
  return true;
}

absl::StatusCode StatusOfMatchError(int rc) {
  switch (rc) {
    case PCRE2_ERROR_MATCHLIMIT:
    case PCRE2_ERROR_DEPTHLIMIT:
    case PCRE2_ERROR_HEAPLIMIT:
    case PCRE2_ERROR_JIT_STACKLIMIT:
    case PCRE2_ERROR_NOMEMORY:
      return absl::StatusCode::kResourceExhausted;
    default:
      return absl::StatusCode::kInternal;
  }
}

}  // namespace

bool RegexEngineAvailable() { return true; }

absl::StatusCode Regex::Compile(std::string_view pattern,
                                std::unique_ptr<Regex>* regex) {
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()),
                                   pattern.size(), PCRE2_UTF | PCRE2_UCP,
                                   &error, &error_offset, nullptr);
  if (code == nullptr) return absl::StatusCode::kInvalidArgument;
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // the interpreter otherwise
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  if (context == nullptr) {
    pcre2_code_free(code);
    return absl::StatusCode::kResourceExhausted;
  }
  pcre2_set_match_limit(context, kMatchLimit);
  pcre2_set_depth_limit(context, kDepthLimit);
  pcre2_set_heap_limit(context, kHeapLimitKiB);
  pcre2_jit_stack_assign(context, JitStackOfThread, nullptr);
  regex->reset(new Regex);
  (*regex)->code_ = code;
  (*regex)->match_context_ = context;
  return absl::StatusCode::kOk;
}

Regex::~Regex() {
  pcre2_match_context_free(static_cast<pcre2_match_context*>(match_context_));
  pcre2_code_free(static_cast<pcre2_code*>(code_));
}

absl::StatusCode Regex::Split(
    std::string_view text,
    absl::FunctionRef<void(std::string_view piece)> on_piece) const {
  ThreadState& state = State();
  if (state.match_data == nullptr) return absl::StatusCode::kResourceExhausted;
  std::string replaced_text;
  std::vector<uint32_t> source_offset;
  const bool replaced = ReplaceBadBytes(text, &replaced_text, &source_offset);
  const std::string_view subject = replaced ? replaced_text : text;
  const auto source = [&](size_t offset) -> size_t {
    return replaced ? source_offset[offset] : offset;
  };
  const auto emit = [&](size_t from, size_t to) {
    on_piece(text.substr(source(from), source(to) - source(from)));
  };
  const auto* code = static_cast<const pcre2_code*>(code_);
  auto* context = static_cast<pcre2_match_context*>(match_context_);
  const auto* bytes = reinterpret_cast<const unsigned char*>(subject.data());
  size_t piece = 0;
  size_t pos = 0;
  while (pos <= subject.size()) {
    const int rc = pcre2_match(code, bytes, subject.size(), pos,
                               PCRE2_NO_UTF_CHECK, state.match_data, context);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) return StatusOfMatchError(rc);
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(state.match_data);
    const size_t start = ovector[0];
    const size_t stop = ovector[1];
    if (start < pos || stop < start || stop > subject.size()) {
      return absl::StatusCode::kInternal;  // \K tricks
    }
    if (stop == start) {
      if (start == subject.size()) break;
      pos = start + CharAt(bytes + start, bytes + subject.size()).length;
      continue;
    }
    if (piece < start) emit(piece, start);
    emit(start, stop);
    piece = pos = stop;
  }
  if (piece < subject.size()) emit(piece, subject.size());
  return absl::StatusCode::kOk;
}

}  // namespace korvel::pretokenizer::internal
