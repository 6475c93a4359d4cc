#include "download/session.h"

#include <curl/curl.h>

#include <atomic>

#include "download/proxy_setup.h"
#include "platform/thread.h"

struct ConnectionCache {
  CURLSH* share = nullptr;
  // One lock for each kind of data libcurl keeps in the share. Transfers
  // that use it run one after the other, each on a thread of its own, so
  // the locks are what hands the cache from one thread to the next; they
  // are hardly ever contended, and a flag that yields while it is held
  // serves where the Windows toolchain's threads have no std::mutex.
  std::atomic<bool> locks[CURL_LOCK_DATA_LAST] = {};

  ConnectionCache() = default;
  ConnectionCache(const ConnectionCache&) = delete;
  ConnectionCache& operator=(const ConnectionCache&) = delete;
  ~ConnectionCache() {
    if (share) curl_share_cleanup(share);
  }
};

void initDownloads() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

namespace {

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* cache) {
  std::atomic<bool>& held = static_cast<ConnectionCache*>(cache)->locks[data];
  while (held.exchange(true, std::memory_order_acquire)) yieldProcessor();
}

void unlockShare(CURL*, curl_lock_data data, void* cache) {
  static_cast<ConnectionCache*>(cache)->locks[data].store(false, std::memory_order_release);
}

std::shared_ptr<ConnectionCache> openConnectionCache() {
  auto cache = std::make_shared<ConnectionCache>();
  cache->share = curl_share_init();
  if (!cache->share ||
      curl_share_setopt(cache->share, CURLSHOPT_LOCKFUNC, lockShare) != CURLSHE_OK ||
      curl_share_setopt(cache->share, CURLSHOPT_UNLOCKFUNC, unlockShare) != CURLSHE_OK ||
      curl_share_setopt(cache->share, CURLSHOPT_USERDATA, cache.get()) != CURLSHE_OK ||
      curl_share_setopt(cache->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK ||
      curl_share_setopt(cache->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
    // Without the cache every transfer connects afresh, as it always could.
    return nullptr;
  }
  return cache;
}

}  // namespace

DownloadSession openDownloadSession() {
  DownloadSession session;
  session.proxy = chooseRunProxy();
  session.connections = openConnectionCache();
  return session;
}

void useConnectionCache(CURL* handle, const DownloadSession& session) {
  if (session.connections) curl_easy_setopt(handle, CURLOPT_SHARE, session.connections->share);
}
