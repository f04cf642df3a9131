// Checks the shape of a text without std::regex: in `shape`, '#' stands for
// one decimal digit and '+' for one or more; every other character stands
// for itself.
#pragma once

#include <cctype>
#include <string_view>

inline bool HasShape(std::string_view text, std::string_view shape) {
  size_t t = 0;
  for (char s : shape) {
    if (s == '#' || s == '+') {
      if (t >= text.size() || !std::isdigit(static_cast<unsigned char>(text[t]))) return false;
      ++t;
      if (s == '+')
        while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t]))) ++t;
    } else {
      if (t >= text.size() || text[t] != s) return false;
      ++t;
    }
  }
  return t == text.size();
}
