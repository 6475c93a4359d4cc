#pragma once

// A stdio stream that closes itself: every file the project opens is held by
// one, so no path forgets to close it.

#include <cstdio>
#include <memory>

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
