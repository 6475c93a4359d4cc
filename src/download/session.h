#pragma once

// What the transfers of one run share. The update run opens it once at its
// start and hands it to every fetch: the proxy is chosen once, because
// reading the settings and running automatic detection for every file
// would cost each file what it costs the run; and the download worker's
// connections stay open from one fetch to the next, because a fresh one
// costs a round trip before the request can even be sent.

#include <memory>

#include "download/proxy.h"

// libcurl's shared connection cache (session.cpp).
struct ConnectionCache;
// libcurl's easy handle, as <curl/curl.h> declares it: left out here so
// that a shell may include this after <windows.h>, which <curl/curl.h>
// must precede there.
typedef void CURL;

struct DownloadSession {
  ProxyChoice proxy;
  // Null: every transfer opens its own connection.
  std::shared_ptr<ConnectionCache> connections;
};

// Sets up libcurl, and the TLS library under it, for the whole process.
// On the shell's thread, before the update worker starts (a second call
// does nothing): left to the first transfer, that set-up would run on a
// worker, whose per-thread state of the TLS library then outlives the
// worker's own end.
void initDownloads();

// A session for a run of the updater: the proxy of http_proxy, or of the
// system's settings for the update URL, and a connection cache.
DownloadSession openDownloadSession();

// Lets `handle` take a connection the session's earlier transfers left open,
// and leave its own there. Only for transfers that run one at a time: libcurl
// does not share connections between transfers running at once.
void useConnectionCache(CURL* handle, const DownloadSession& session);
