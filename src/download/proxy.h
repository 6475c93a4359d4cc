#pragma once

// Which proxy a transfer goes through, decided on plain data so that both
// builds test it alike. The platform reads what the system says
// (platform/system_proxy.h); download/proxy_setup.h applies the choice to
// libcurl.

#include <string>

#include "platform/system_proxy.h"

struct ProxyChoice {
  ProxySource source = ProxySource::direct;
  // "host:port" to hand libcurl; empty for direct and environment, where
  // libcurl is left to its own behaviour.
  std::string proxy;
};

// The "host:port" a Windows proxy list names for `scheme` ("http"): its
// "scheme=" entry, else its first entry without a scheme; "" if none.
// Entries are separated by ';' or blanks and may carry an "http://" prefix;
// an entry without a port gets 80, as Windows gives it.
std::string proxyForScheme(const std::string& list, const std::string& scheme);

// Whether `host` (at `port`) is on the Windows bypass list: entries separated
// by ';' or blanks, '*' matching any run of characters, compared without
// regard to case; an entry with a port matches "host:port", one without the
// host at any port; "<local>" matches every host name without a dot.
bool bypassesProxy(const std::string& list, const std::string& host, int port);

// The host and port of an http:// or https:// URL; false if it has none.
bool hostOfUrl(const std::string& url, std::string* host, int* port);

// The proxy for `url`: http_proxy from the environment where set (non-empty);
// else what automatic detection or the script named; else, where that gave
// nothing, the fixed proxy for http unless the host is bypassed; else a
// direct connection.
ProxyChoice chooseProxy(const std::string& url, const std::string& environmentProxy,
                        const SystemProxySettings& settings, const AutomaticProxy& automatic);

// `cause` with the proxy the transfer went through, where the updater chose
// one, so that a support team can tell ("HTTP status 407 from proxy
// 10.1.2.3:8080 set in Internet Options"); `cause` as it is otherwise.
std::string namingProxy(const std::string& cause, const ProxyChoice& choice);
