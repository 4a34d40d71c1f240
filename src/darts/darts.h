// Double-array trie over byte-string keys.
//
// Darts::DoubleArray builds a compact trie from a sorted key set and keeps
// the names and call shapes of darts-clone, so code written against that
// library builds unchanged. The array it produces is the one the runtime
// reads straight out of a model file:
//
//  * array() holds size() 32-bit units in host byte order, laid out as
//    korvel_lite/trie_unit.h describes; size() is a non-zero multiple of 256.
//  * Every inner unit's 256 possible children lie inside the array, and
//    units that no key uses never pass for a child of any node.
//  * Every key has a value unit of its own, so values can be rewritten in
//    place after the build.
//
// build() accepts keys sorted in strictly ascending order of unsigned bytes,
// each non-empty and free of NUL bytes, with non-negative values. Anything
// else throws Darts::Details::Exception and leaves the object as it was.

#ifndef KORVEL_DARTS_DARTS_H_
#define KORVEL_DARTS_DARTS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include "korvel_lite/trie_unit.h"

namespace Darts {
namespace Details {

class Exception : public std::exception {
 public:
  explicit Exception(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;
};

}  // namespace Details

template <typename A, typename B, typename T, typename C>
class DoubleArrayImpl;

template <>
class DoubleArrayImpl<void, void, int, void> {
 public:
  typedef int value_type;
  typedef char key_type;
  typedef value_type result_type;

  struct result_pair_type {
    value_type value;
    std::size_t length;
  };

  DoubleArrayImpl() = default;
  DoubleArrayImpl(const DoubleArrayImpl&) = delete;
  DoubleArrayImpl& operator=(const DoubleArrayImpl&) = delete;

  // Builds the trie and returns 0. `lengths` null means NUL-terminated keys;
  // `values` null gives each key its index. `progress_func`, if given, is
  // called with (done, total) as keys are placed, ending with done == total.
  int build(std::size_t num_keys, const key_type* const* keys,
            const std::size_t* lengths = nullptr,
            const value_type* values = nullptr,
            int (*progress_func)(std::size_t, std::size_t) = nullptr);

  // Reads units owned by the caller, who keeps them alive. `size` is the
  // unit count, or 0 when unknown.
  void set_array(const void* ptr, std::size_t size = 0) {
    clear();
    array_ = static_cast<const std::uint32_t*>(ptr);
    size_ = size;
  }

  const void* array() const { return array_; }
  std::size_t size() const { return size_; }
  std::size_t unit_size() const { return sizeof(std::uint32_t); }
  std::size_t total_size() const { return unit_size() * size(); }

  void clear() {
    std::vector<std::uint32_t>().swap(units_);
    array_ = nullptr;
    size_ = 0;
  }

  // Looks up `key` (NUL-terminated when `length` is 0) starting at node
  // `node_pos`. U is value_type or result_pair_type; a miss gives value -1.
  template <class U>
  U exactMatchSearch(const key_type* key, std::size_t length = 0,
                     std::size_t node_pos = 0) const {
    U result;
    SetResult(&result, -1, 0);
    if (array_ == nullptr) return result;
    if (length == 0) length = std::strlen(key);
    auto id = static_cast<std::uint32_t>(node_pos);
    std::uint32_t unit = array_[id];
    for (std::size_t i = 0; i < length; ++i) {
      const auto label = static_cast<unsigned char>(key[i]);
      if (!korvel::lite::trie_unit::Step(array_, &id, &unit, label)) {
        return result;
      }
    }
    if (!korvel::lite::trie_unit::HasLeaf(unit)) return result;
    SetResult(&result, korvel::lite::trie_unit::LeafValue(array_, id, unit),
              length);
    return result;
  }

  template <class U>
  void exactMatchSearch(const key_type* key, U& result, std::size_t length = 0,
                        std::size_t node_pos = 0) const {
    result = exactMatchSearch<U>(key, length, node_pos);
  }

  // Stores up to `max_num_results` keys that are prefixes of `key`, shortest
  // first, and returns how many there are in all.
  template <class U>
  std::size_t commonPrefixSearch(const key_type* key, U* results,
                                 std::size_t max_num_results,
                                 std::size_t length = 0,
                                 std::size_t node_pos = 0) const {
    if (array_ == nullptr) return 0;
    if (length == 0) length = std::strlen(key);
    std::size_t num_results = 0;
    auto id = static_cast<std::uint32_t>(node_pos);
    std::uint32_t unit = array_[id];
    for (std::size_t i = 0; i < length; ++i) {
      const auto label = static_cast<unsigned char>(key[i]);
      if (!korvel::lite::trie_unit::Step(array_, &id, &unit, label)) break;
      if (!korvel::lite::trie_unit::HasLeaf(unit)) continue;
      if (num_results < max_num_results) {
        SetResult(&results[num_results],
                  korvel::lite::trie_unit::LeafValue(array_, id, unit), i + 1);
      }
      ++num_results;
    }
    return num_results;
  }

 private:
  static void SetResult(value_type* result, value_type value, std::size_t) {
    *result = value;
  }
  static void SetResult(result_pair_type* result, value_type value,
                        std::size_t length) {
    result->value = value;
    result->length = length;
  }

  std::vector<std::uint32_t> units_;
  const std::uint32_t* array_ = nullptr;
  std::size_t size_ = 0;
};

typedef DoubleArrayImpl<void, void, int, void> DoubleArray;

}  // namespace Darts

#endif  // KORVEL_DARTS_DARTS_H_
