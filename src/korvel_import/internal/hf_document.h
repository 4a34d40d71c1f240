#ifndef KORVEL_IMPORT_INTERNAL_HF_DOCUMENT_H_
#define KORVEL_IMPORT_INTERNAL_HF_DOCUMENT_H_

#include <string>
#include <string_view>
#include <vector>

#include "absl/status/statusor.h"
#include "korvel_import/internal/hf_json.h"

namespace korvel::import::hf {

// One entry of a BPE "merges" list: the two texts it joins, both empty when
// the entry is neither "a b" nor ["a", "b"] of non-empty texts.
struct MergeTexts {
  std::string left;
  std::string right;
};

// A tokenizer.json parsed for import. The model's merge list is read into
// `merges` while the text is parsed, and left in `root` as an empty list: as
// a document, half a million pairs would take most of the memory.
struct Document {
  Document() = default;
  Document(Document&&) = default;
  Document& operator=(Document&&) = delete;
  // Frees the tree from its deepest members up, in the room of `depth`: the
  // library's own destructor gathers a container's members in a new list,
  // which fails when memory has run out, and would end the process.
  ~Document();

  Json root;  // An object.
  std::vector<MergeTexts> merges;
  // The parser's stack of open containers, empty once parsed but with room
  // for a path from the root to the deepest container.
  std::vector<Json*> depth;
};

// Parses `text` in time linear in its size. Gives kInvalidArgument for a text
// that is not a JSON object, and for any object naming a member twice (which
// readers of JSON resolve differently), with a message naming the member.
absl::StatusOr<Document> ParseDocument(std::string_view text);

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_DOCUMENT_H_
