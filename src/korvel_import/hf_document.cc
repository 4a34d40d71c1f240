#include "korvel_import/hf_document.h"

#include <string>
#include <utility>
#include <vector>

namespace korvel::import::hf {
namespace {

// Entries of the merge list sit at this depth: root, "model", "merges".
constexpr int kMergeDepth = 3;

MergeTexts ReadMerge(Json& merge) {
  MergeTexts texts;
  if (merge.is_string()) {
    const std::string& text = merge.get_ref<const std::string&>();
    const size_t space = text.find(' ');
    if (space != std::string::npos) {
      texts.left = text.substr(0, space);
      texts.right = text.substr(space + 1);
    }
  } else if (merge.is_array() && merge.size() == 2 && merge[0].is_string() &&
             merge[1].is_string()) {
    texts.left = std::move(merge[0].get_ref<std::string&>());
    texts.right = std::move(merge[1].get_ref<std::string&>());
  }
  if (texts.left.empty() || texts.right.empty()) return MergeTexts();
  return texts;
}

}  // namespace

Document ParseDocument(std::string_view text) {
  Document document;
  // The member names leading to the value being parsed, by depth, and
  // whether the merge list was opened as a list.
  std::vector<std::string> keys(kMergeDepth);
  bool in_merge_list = false;
  auto read = [&](int depth, Json::parse_event_t event, Json& parsed) {
    using Event = Json::parse_event_t;
    if (event == Event::key) {
      if (depth < kMergeDepth) keys[depth] = parsed.get<std::string>();
      return true;
    }
    if (depth == kMergeDepth - 1 &&
        (event == Event::array_start || event == Event::object_start)) {
      in_merge_list = event == Event::array_start && keys[1] == "model" &&
                      keys[2] == "merges";
    }
    if (!in_merge_list || depth != kMergeDepth) return true;
    if (event == Event::value || event == Event::array_end ||
        event == Event::object_end) {
      document.merges.push_back(ReadMerge(parsed));
      return false;
    }
    return true;
  };
  document.root = Json::parse(text.begin(), text.end(), read,
                              /*allow_exceptions=*/false);
  return document;
}

}  // namespace korvel::import::hf
