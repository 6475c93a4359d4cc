#include "download/proxy.h"

#include <vector>

namespace {

char lowered(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string text) {
  for (char& c : text) c = lowered(c);
  return text;
}

bool startsWith(const std::string& text, const char* prefix) {
  return lowered(text).rfind(prefix, 0) == 0;
}

// Windows writes these lists with ';' between entries, and accepts blanks as
// well; empty entries (a trailing ';') mean nothing.
std::vector<std::string> entriesOf(const std::string& list) {
  std::vector<std::string> entries;
  std::string entry;
  for (char c : list + ";") {
    if (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!entry.empty()) entries.push_back(entry);
      entry.clear();
    } else {
      entry += c;
    }
  }
  return entries;
}

// "host:port" of a proxy entry's value, 80 where it names no port (libcurl
// would otherwise take 1080); "" for a proxy libcurl cannot use for HTTP (a
// socks:// or https:// one).
std::string hostPortOf(std::string value) {
  if (startsWith(value, "http://")) value.erase(0, 7);
  if (value.find("://") != std::string::npos) return std::string();
  while (!value.empty() && value.back() == '/') value.pop_back();
  if (value.empty()) return value;
  bool hasPort;
  if (value[0] == '[') {
    std::size_t close = value.find(']');
    if (close == std::string::npos) return std::string();
    hasPort = close + 1 < value.size() && value[close + 1] == ':';
  } else {
    hasPort = value.find(':') != std::string::npos;
  }
  return hasPort ? value : value + ":80";
}

// Whether `text` matches `pattern`, '*' standing for any run of characters;
// both already lowered.
bool globMatches(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0;
  std::size_t star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

const char* sourceWords(ProxySource source) {
  switch (source) {
    case ProxySource::autoDetect:
      return "found by automatic detection";
    case ProxySource::script:
      return "named by the configuration script";
    case ProxySource::fixed:
      return "set in Internet Options";
    default:
      return "";
  }
}

}  // namespace

std::string proxyForScheme(const std::string& list, const std::string& scheme) {
  std::string general;
  for (const std::string& entry : entriesOf(list)) {
    std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      if (general.empty()) general = hostPortOf(entry);
    } else if (lowered(entry.substr(0, equals)) == lowered(scheme)) {
      std::string named = hostPortOf(entry.substr(equals + 1));
      if (!named.empty()) return named;
    }
  }
  return general;
}

bool bypassesProxy(const std::string& list, const std::string& host, int port) {
  const std::string name = lowered(host);
  for (std::string entry : entriesOf(list)) {
    entry = lowered(entry);
    if (entry == "<local>") {
      if (name.find_first_of(".:") == std::string::npos && !name.empty()) return true;
      continue;
    }
    if (startsWith(entry, "http://")) entry.erase(0, 7);
    // An entry for another scheme says nothing about http.
    if (entry.find("://") != std::string::npos) continue;
    while (!entry.empty() && entry.back() == '/') entry.pop_back();
    const bool withPort = entry.find(':') != std::string::npos;
    if (globMatches(entry, withPort ? name + ":" + std::to_string(port) : name)) return true;
  }
  return false;
}

bool hostOfUrl(const std::string& url, std::string* host, int* port) {
  std::size_t separator = url.find("://");
  if (separator == std::string::npos) return false;
  std::string scheme = lowered(url.substr(0, separator));
  if (scheme != "http" && scheme != "https") return false;
  std::size_t start = separator + 3;
  std::size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::size_t hostEnd;
  if (!authority.empty() && authority[0] == '[') {
    hostEnd = authority.find(']');
    if (hostEnd == std::string::npos) return false;
    ++hostEnd;
  } else {
    hostEnd = authority.find(':');
    if (hostEnd == std::string::npos) hostEnd = authority.size();
  }
  if (hostEnd == 0) return false;
  int number = scheme == "http" ? 80 : 443;
  if (hostEnd < authority.size()) {
    if (authority[hostEnd] != ':' || hostEnd + 1 == authority.size()) return false;
    number = 0;
    for (std::size_t i = hostEnd + 1; i < authority.size(); ++i) {
      char c = authority[i];
      if (c < '0' || c > '9') return false;
      number = number * 10 + (c - '0');
      if (number > 65535) return false;
    }
  }
  *host = authority.substr(0, hostEnd);
  *port = number;
  return true;
}

ProxyChoice chooseProxy(const std::string& url, const std::string& environmentProxy,
                        const SystemProxySettings& settings, const AutomaticProxy& automatic) {
  if (!environmentProxy.empty()) return {ProxySource::environment, std::string()};
  std::string scheme = lowered(url.substr(0, url.find("://")));
  if (automatic.source == ProxySource::autoDetect || automatic.source == ProxySource::script) {
    std::string named = proxyForScheme(automatic.proxy, scheme);
    if (!named.empty()) return {automatic.source, named};
  }
  std::string fixed = proxyForScheme(settings.proxy, scheme);
  std::string host;
  int port = 0;
  if (fixed.empty() ||
      (hostOfUrl(url, &host, &port) && bypassesProxy(settings.bypass, host, port))) {
    return {ProxySource::direct, std::string()};
  }
  return {ProxySource::fixed, fixed};
}

std::string namingProxy(const std::string& cause, const ProxyChoice& choice) {
  if (cause.empty() || choice.proxy.empty()) return cause;
  return cause + " from proxy " + choice.proxy + " " + sourceWords(choice.source);
}
