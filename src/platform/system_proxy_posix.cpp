#include "platform/system_proxy.h"

// Outside Windows the environment (http_proxy, no_proxy), which libcurl
// reads by itself, is the system's proxy setting.
SystemProxy readSystemProxy(const std::string&) {
  return SystemProxy();
}
