#include "exclude.h"

#include "base/names.h"
#include "pack.h"

namespace {

// A pattern match from `pi` in `pattern` and `si` in `subject`.
bool matchFrom(const std::string& pattern, std::size_t pi, const std::string& subject,
               std::size_t si) {
  while (pi < pattern.size()) {
    char c = pattern[pi];
    if (c == '*') {
      bool crossesFolders = pi + 1 < pattern.size() && pattern[pi + 1] == '*';
      std::size_t next = pi + (crossesFolders ? 2 : 1);
      // "a/**/b" also matches "a/b".
      if (crossesFolders && next < pattern.size() && pattern[next] == '/' &&
          matchFrom(pattern, next + 1, subject, si)) {
        return true;
      }
      for (std::size_t k = si;; ++k) {
        if (matchFrom(pattern, next, subject, k)) return true;
        if (k >= subject.size() || (!crossesFolders && subject[k] == '/')) return false;
      }
    }
    if (si >= subject.size()) return false;
    unsigned char s = static_cast<unsigned char>(subject[si]);
    if (c == '?') {
      if (s == '/') return false;
    } else if (c == '[' && pattern.find(']', pi + 2) != std::string::npos) {
      std::size_t at = pi + 1;
      bool negated = pattern[at] == '!';
      if (negated) ++at;
      bool hit = false;
      // A "]" right after "[" or "[!" is a member, not the end.
      std::size_t first = at;
      for (; at < pattern.size() && (pattern[at] != ']' || at == first); ++at) {
        unsigned char low = static_cast<unsigned char>(pattern[at]);
        unsigned char high = low;
        if (at + 2 < pattern.size() && pattern[at + 1] == '-' && pattern[at + 2] != ']') {
          high = static_cast<unsigned char>(pattern[at + 2]);
          at += 2;
        }
        if (s >= low && s <= high) hit = true;
      }
      // "[]..." or "[!]..." whose only "]" was taken as a member: unclosed,
      // matching nothing.
      if (at >= pattern.size()) return false;
      if (hit == negated || s == '/') return false;
      pi = at;  // on the "]"
    } else if (static_cast<unsigned char>(c) != s) {
      return false;
    }
    ++pi;
    ++si;
  }
  return si == subject.size();
}

}  // namespace

bool excludedBy(const std::vector<std::string>& patterns, const std::string& name) {
  for (const std::string& pattern : patterns) {
    if (globMatches(pattern, name)) return true;
  }
  return false;
}

bool globMatches(const std::string& pattern, const std::string& name) {
  bool wholePath = pattern.find('/') != std::string::npos;
  std::string anchored = !pattern.empty() && pattern[0] == '/' ? pattern.substr(1) : pattern;
  std::string subject = wholePath ? name : name.substr(name.rfind('/') + 1);
  return matchFrom(anchored, 0, subject, 0);
}

const std::vector<std::string>& builtinExcludes() {
  static const std::vector<std::string> kExcludes = [] {
    std::vector<std::string> excludes = {"*.log"};
    for (const char* own : kReservedNames) excludes.push_back(std::string("/") + own);
    return excludes;
  }();
  return kExcludes;
}
