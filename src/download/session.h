#pragma once

// What the transfers of one run share. The update run opens it once at its
// start and hands it to every fetch: the proxy is chosen once, because
// reading the settings and running automatic detection for every file
// would cost each file what it costs the run.

#include "download/proxy.h"

struct DownloadSession {
  ProxyChoice proxy;
};

// A session for a run of the updater: the proxy of http_proxy, or of the
// system's settings for the update URL.
DownloadSession openDownloadSession();
