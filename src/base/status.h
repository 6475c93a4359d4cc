#pragma once

// How a step that can fail says so, in all of the updater's code: it returns
// a Status (or, when it has more to give back, a result struct with an
// `error` member of the same meaning). The text is the reason in a few
// words, ready for the log; empty means the step succeeded.

#include <string>
#include <utility>

struct [[nodiscard]] Status {
  std::string error;

  bool ok() const { return error.empty(); }
  static Status success() { return Status(); }
  static Status failure(std::string why) { return Status{std::move(why)}; }
};
