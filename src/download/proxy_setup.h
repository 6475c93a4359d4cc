#pragma once

// The proxy of this run's transfers, applied to each libcurl handle.

#include <curl/curl.h>

#include "download/proxy.h"

// The choice for the transfers of a run (download/proxy.h), from http_proxy
// and the system's settings for the update URL. Automatic detection may
// take seconds: a run asks once (download/session.h).
ProxyChoice chooseRunProxy();

// Requests one transfer has sent through the proxy. NTLM and Negotiate are
// bound to a connection: a proxy that closes it after each 407 has libcurl
// start again on a new one, for ever, so a transfer is cut after
// kMostProxyRequests (a logon takes three).
struct ProxyRequests {
  int sent = 0;
};
inline constexpr int kMostProxyRequests = 8;

// Sets libcurl's proxy options on `handle` for `choice`: nothing for a
// direct connection or http_proxy (libcurl's own behaviour), else the proxy
// with the current Windows user's own credentials for proxies that ask,
// counting the transfer's requests in `requests`, which must outlive it.
void applyProxy(CURL* handle, const ProxyChoice& choice, ProxyRequests* requests);

// The log's cause of a failed transfer through `choice`: a transfer cut
// after kMostProxyRequests reads as the proxy's last status, and the proxy
// is named (download/proxy.h). "" stays "" (the player stopped it).
std::string proxyFailureCause(const std::string& cause, CURLcode result, long status,
                              const ProxyChoice& choice);
