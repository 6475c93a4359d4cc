#pragma once

// What the system says about proxies, for download/proxy.h to choose from.
// Windows reads the current user's Internet Options through WinHTTP, loaded
// at run time (system_proxy_win32.cpp); elsewhere nothing is read, and
// libcurl keeps its own behaviour (system_proxy_posix.cpp). CMake compiles
// exactly one of the two.

#include <string>

// Where a proxy came from, for the log.
enum class ProxySource {
  direct,       // no proxy
  environment,  // http_proxy, which libcurl reads by itself
  autoDetect,   // Windows' automatic detection (WPAD)
  script,       // Windows' automatic configuration script
  fixed,        // the proxy server typed into Windows' Internet Options
};

// What Windows' Internet Options hold for the current user, as
// WinHttpGetIEProxyConfigForCurrentUser reports them.
struct SystemProxySettings {
  bool autoDetect = false;
  std::string autoConfigUrl;
  // "host:port", or per scheme: "http=host:port;https=host:port;ftp=..."
  std::string proxy;
  // "*.example.com;10.*;<local>"
  std::string bypass;
};

// What automatic detection or the configuration script named for the
// update URL: source autoDetect or script with a proxy list, or nothing
// (not asked, failed, or no proxy named).
struct AutomaticProxy {
  ProxySource source = ProxySource::direct;
  std::string proxy;
};

struct SystemProxy {
  SystemProxySettings settings;
  AutomaticProxy automatic;
};

// The current user's proxy settings, and, where they ask for automatic
// detection or a configuration script, what that names for `url`: detection
// first, then the script, each bounded in time. Empty where nothing could
// be read (no winhttp.dll, say).
SystemProxy readSystemProxy(const std::string& url);
