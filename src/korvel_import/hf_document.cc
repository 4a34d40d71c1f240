#include "korvel_import/internal/hf_document.h"

#include <cstddef>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "absl/status/status.h"
#include "absl/strings/str_cat.h"

namespace korvel::import::hf {
namespace {

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

// Receives the parser's events and builds the document in one pass, each
// value placed once: the library's own filtering parser rescans a container
// whenever one of its objects closes, which is quadratic in the length of a
// list of objects. Entries of the model's merge list go to `merges` instead
// of the tree, and a member named twice in one object stops the parse.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit DocumentBuilder(Document* document)
      : document_(*document), open_(document->depth) {}

  bool null() { return Place(nullptr); }
  bool boolean(bool value) { return Place(value); }
  bool number_integer(number_integer_t value) { return Place(value); }
  bool number_unsigned(number_unsigned_t value) { return Place(value); }
  bool number_float(number_float_t value, const string_t&) {
    return Place(value);
  }
  bool string(string_t& value) { return Place(std::move(value)); }
  bool binary(binary_t&) { return false; }  // Not JSON text.

  bool start_object(std::size_t) { return Place(Json::object()); }
  bool start_array(std::size_t) {
    // The merge list is the array member "merges" of the root's "model".
    const bool merge_list = open_.size() == 2 && open_[1]->is_object() &&
                            keys_[0] == "model" && keys_[1] == "merges";
    Place(Json::array());
    if (merge_list) merge_list_ = open_.back();
    return true;
  }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(string_t& name) {
    Json::object_t& object = open_.back()->get_ref<Json::object_t&>();
    if (open_.size() <= 2) keys_[open_.size() - 1] = name;
    auto [member, inserted] = object.try_emplace(name);
    if (!inserted) {
      duplicate_ = std::move(name);
      found_duplicate_ = true;
      return false;
    }
    member_ = &member->second;
    return true;
  }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception&) {
    return false;
  }

  // The member named twice in one object, if the parse stopped there.
  const std::string* duplicate() const {
    return found_duplicate_ ? &duplicate_ : nullptr;
  }

 private:
  // Puts a value where the text has it; a container is also opened.
  template <typename Value>
  bool Place(Value&& value) {
    Json* placed = nullptr;
    Json* parent = open_.empty() ? nullptr : open_.back();
    if (parent == nullptr) {
      placed = &document_.root;
    } else if (parent == merge_list_) {
      placed = &entry_;  // Kept aside while it is built, and read when done.
    } else if (parent->is_array()) {
      placed = &parent->get_ref<Json::array_t&>().emplace_back();
    } else {
      placed = member_;
    }
    *placed = Json(std::forward<Value>(value));
    if (placed->is_structured()) {
      open_.push_back(placed);
      if (open_.size() == 2) keys_[1].clear();
    } else if (parent != nullptr && parent == merge_list_) {
      ReadEntry();
    }
    return true;
  }

  bool Close() {
    open_.pop_back();
    if (!open_.empty() && open_.back() == merge_list_) ReadEntry();
    return true;
  }

  void ReadEntry() {
    document_.merges.push_back(ReadMerge(entry_));
    entry_ = Json();
  }

  Document& document_;
  std::vector<Json*>& open_;  // The containers being filled, outermost first.
  std::string keys_[2];       // The last member named at depths 1 and 2.
  Json* member_ = nullptr;    // The member whose name was read last.
  Json* merge_list_ = nullptr;
  Json entry_;  // The merge list entry being built.
  std::string duplicate_;
  bool found_duplicate_ = false;
};

}  // namespace

Document::~Document() {
  depth.clear();
  if (depth.capacity() == 0) return;
  depth.push_back(&root);
  while (!depth.empty()) {
    Json& node = *depth.back();
    if (!node.is_structured() || node.empty()) {
      depth.pop_back();
      continue;
    }
    auto* array = node.is_array() ? &node.get_ref<Json::array_t&>() : nullptr;
    auto* object =
        array == nullptr ? &node.get_ref<Json::object_t&>() : nullptr;
    Json& last = array != nullptr ? array->back() : object->rbegin()->second;
    if (last.is_structured() && !last.empty() &&
        depth.size() < depth.capacity()) {
      depth.push_back(&last);
    } else if (array != nullptr) {
      array->pop_back();
    } else {
      object->erase(std::prev(object->end()));
    }
  }
}

absl::StatusOr<Document> ParseDocument(std::string_view text) {
  Document document;
  DocumentBuilder builder(&document);
  const bool parsed = Json::sax_parse(text.begin(), text.end(), &builder);
  if (builder.duplicate() != nullptr) {
    return absl::InvalidArgumentError(absl::StrCat("tokenizer.json names ",
                                                   Quoted(*builder.duplicate()),
                                                   " twice in one object"));
  }
  if (!parsed || !document.root.is_object()) {
    return absl::InvalidArgumentError("tokenizer.json is not a JSON object");
  }
  return document;
}

}  // namespace korvel::import::hf
