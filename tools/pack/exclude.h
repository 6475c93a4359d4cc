#pragma once

// Which release files a publish leaves out (pack.h has the glob rules and
// the built-in list).

#include <string>
#include <vector>

// Whether any of `patterns` (globs as globMatches reads them) leaves out
// `name`.
bool excludedBy(const std::vector<std::string>& patterns, const std::string& name);
