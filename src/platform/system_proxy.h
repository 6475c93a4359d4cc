#pragma once

// What the system says about proxies, for download/proxy.h to choose from.
// Windows reads the current user's Internet Options through WinHTTP, loaded
// at run time (system_proxy_win32.cpp); elsewhere nothing is read, and
// libcurl keeps its own behaviour (system_proxy_posix.cpp). CMake compiles
// exactly one of the two.

#include <string>

#include "download/proxy.h"

struct SystemProxy {
  SystemProxySettings settings;
  AutomaticProxy automatic;
};

// The current user's proxy settings, and, where they ask for automatic
// detection or a configuration script, what that names for `url`: detection
// first, then the script, each bounded in time. Empty where nothing could
// be read (no winhttp.dll, say).
SystemProxy readSystemProxy(const std::string& url);
