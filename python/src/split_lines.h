#ifndef KORVEL_PYTHON_SRC_SPLIT_LINES_H_
#define KORVEL_PYTHON_SRC_SPLIT_LINES_H_

#include <string_view>
#include <vector>

namespace korvel::python {

// The lines of `text` without their '\n'; a final '\n' ends the last line
// rather than starting an empty one. The views point into `text`.
inline std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    lines.push_back(text.substr(0, newline));
    if (newline == std::string_view::npos) break;
    text.remove_prefix(newline + 1);
  }
  return lines;
}

}  // namespace korvel::python

#endif  // KORVEL_PYTHON_SRC_SPLIT_LINES_H_
