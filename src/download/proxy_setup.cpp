#include "download/proxy_setup.h"

#include <cstdlib>

#include "platform/system_proxy.h"
#include "shared/base_url.h"

ProxyChoice chooseRunProxy() {
  const char* environment = std::getenv("http_proxy");
  std::string environmentProxy = environment ? environment : "";
  // libcurl takes http_proxy by itself: the system is not even asked, so a
  // slow automatic detection costs nothing there.
  if (!environmentProxy.empty()) return chooseProxy(kUpdateBaseUrl, environmentProxy, {}, {});
  // Every file lies under the base URL, on its host: one answer serves them
  // all.
  SystemProxy system = readSystemProxy(kUpdateBaseUrl);
  return chooseProxy(kUpdateBaseUrl, "", system.settings, system.automatic);
}

namespace {

int beforeRequest(void* data, char*, char*, int, int) {
  auto* requests = static_cast<ProxyRequests*>(data);
  return ++requests->sent > kMostProxyRequests ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

}  // namespace

void applyProxy(CURL* handle, const ProxyChoice& choice, ProxyRequests* requests) {
  if (choice.proxy.empty()) return;
  curl_easy_setopt(handle, CURLOPT_PROXY, choice.proxy.c_str());
  // Proxies at schools and offices ask who is there (407). NTLM or Negotiate
  // answer with the logged-on Windows user's own credentials through SSPI
  // (":" stands for them); with two methods allowed libcurl offers one only
  // once the proxy asks, so an open proxy sees plain requests.
  curl_easy_setopt(handle, CURLOPT_PROXYAUTH,
                   static_cast<long>(CURLAUTH_NTLM | CURLAUTH_NEGOTIATE));
  curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
  curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, beforeRequest);
  curl_easy_setopt(handle, CURLOPT_PREREQDATA, requests);
}

std::string proxyFailureCause(const std::string& cause, CURLcode result, long status,
                              const ProxyChoice& choice) {
  if (cause.empty() || choice.proxy.empty()) return cause;
  // Only beforeRequest aborts a transfer that got an answer and was not
  // stopped by the player (whose stop leaves no cause).
  if (result == CURLE_ABORTED_BY_CALLBACK && status != 0) {
    return namingProxy("HTTP status " + std::to_string(status), choice);
  }
  return namingProxy(cause, choice);
}
