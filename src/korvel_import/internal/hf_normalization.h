#ifndef KORVEL_IMPORT_INTERNAL_HF_NORMALIZATION_H_
#define KORVEL_IMPORT_INTERNAL_HF_NORMALIZATION_H_

#include <string>

// The NFC and NFKC normalizers of tokenizer.json files as character maps.
// Private to the importer.

namespace korvel::import::hf {

enum class UnicodeForm { kNone, kNfc, kNfkc };

// The character-map blob (the format of a full model's
// precompiled_charsmap) that rewrites text to `form` (not kNone): every code
// point whose normalized form differs, and every character followed by a
// mark that composes with it, keyed by the two. Built from the Unicode
// Character Database when korvel is built. A character map cannot compose
// across more than two characters nor reorder marks, so a few texts (three
// or more characters composing into one, marks out of canonical order)
// normalize differently.
std::string UnicodeFormCharsMap(UnicodeForm form);

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_NORMALIZATION_H_
