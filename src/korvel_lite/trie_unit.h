#ifndef KORVEL_LITE_TRIE_UNIT_H_
#define KORVEL_LITE_TRIE_UNIT_H_

// The unit layout of a double-array trie and the steps that walk it, shared by
// the builder (src/darts), the bigram-trie builder and the runtime's reader.
// It depends on nothing but <cstdint>, so the builder can include it without
// linking the runtime.
//
// A trie is an array of 32-bit units. A unit with bit 31 set is a value unit:
// its value is in bits 0-30. Any other unit is an inner unit: label in bits
// 0-7, has-leaf bit 8, extension bit 9 and an offset in bits 10-31, scaled by
// 256 when the extension bit is set. Unit 0 is the root: no label, no leaf,
// non-zero offset. The child of node n for byte c sits at n ^ offset ^ c and
// exists when that unit's bit 31 is clear and its label is c. A key ends at a
// node with the has-leaf bit; its value unit is at n ^ offset.
//
// Nothing here checks bounds: callers walk arrays whose every inner unit keeps
// its 256 possible children inside the array (what the builder produces and
// loading verifies).

#include <cstdint>
#include <string_view>

namespace korvel::lite::trie_unit {

inline constexpr uint32_t kLabelMask = 0xffu;
inline constexpr uint32_t kHasLeafBit = 1u << 8;
inline constexpr uint32_t kExtensionBit = 1u << 9;
inline constexpr uint32_t kValueBit = 1u << 31;
inline constexpr uint32_t kValueMask = kValueBit - 1;
// The children of a node lie in one aligned block of this many units.
inline constexpr uint32_t kBlockSize = 256;
// Offsets below this limit are stored as they are; offsets below
// kOffsetLimit that are multiples of kBlockSize use the extension bit.
inline constexpr uint32_t kDirectOffsetLimit = 1u << 21;
inline constexpr uint32_t kOffsetLimit = 1u << 29;
// A node index that no trie has: the result of a walk that fell off the trie.
inline constexpr uint32_t kNoNode = 0xffffffffu;

constexpr uint32_t Offset(uint32_t unit) {
  return (unit >> 10) << ((unit & kExtensionBit) >> 6);
}
constexpr bool HasLeaf(uint32_t unit) { return (unit & kHasLeafBit) != 0; }
constexpr bool IsValue(uint32_t unit) { return (unit & kValueBit) != 0; }
// The label a lookup compares: a value unit never matches a byte.
constexpr uint32_t Label(uint32_t unit) {
  return unit & (kValueBit | kLabelMask);
}
constexpr bool LabelMatches(uint32_t unit, unsigned char ch) {
  return Label(unit) == ch;
}
constexpr int32_t Value(uint32_t unit) {
  return static_cast<int32_t>(unit & kValueMask);
}

// Where the child of `node` (whose unit is `unit`) for byte `ch` would sit.
constexpr uint32_t ChildPosition(uint32_t node, uint32_t unit,
                                 unsigned char ch) {
  return node ^ Offset(unit) ^ ch;
}
// Where the value unit of the key ending at `node` sits; `unit` must have the
// has-leaf bit.
constexpr uint32_t ValuePosition(uint32_t node, uint32_t unit) {
  return node ^ Offset(unit);
}
// The value of the key ending at `node`, whose unit `unit` has the leaf bit.
inline int32_t LeafValue(const uint32_t* units, uint32_t node, uint32_t unit) {
  return Value(units[ValuePosition(node, unit)]);
}

// Moves `*node` (whose unit is `*unit`) to its child for `ch` and loads the
// child's unit. False when there is no such child; `*node` and `*unit` are
// then meaningless.
inline bool Step(const uint32_t* units, uint32_t* node, uint32_t* unit,
                 unsigned char ch) {
  *node = ChildPosition(*node, *unit, ch);
  *unit = units[*node];
  return LabelMatches(*unit, ch);
}

// The node reached from `node` over `bytes`, or kNoNode.
inline uint32_t Walk(const uint32_t* units, uint32_t node,
                     std::string_view bytes) {
  uint32_t unit = units[node];
  for (const char ch : bytes) {
    if (!Step(units, &node, &unit, static_cast<unsigned char>(ch))) {
      return kNoNode;
    }
  }
  return node;
}

// Building: whether an offset can be stored, and its encoding in bits 9-31.
constexpr bool OffsetFits(uint32_t offset) {
  return offset < kDirectOffsetLimit ||
         (offset < kOffsetLimit && offset % kBlockSize == 0);
}
constexpr uint32_t EncodeOffset(uint32_t offset) {
  return offset < kDirectOffsetLimit ? offset << 10
                                     : ((offset >> 8) << 10) | kExtensionBit;
}

}  // namespace korvel::lite::trie_unit

#endif  // KORVEL_LITE_TRIE_UNIT_H_
