// libcurl with the proxy options the updater applies, against the loopback
// server acting as the proxy.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>

#include "download/proxy_setup.h"
#include "support/http_server.h"

namespace {

const char kUrl[] = "http://updates.invalid/tdx/updates/update.dat";

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

std::size_t keep(char* data, std::size_t size, std::size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

struct Fetched {
  CURLcode result;
  long status;
  std::string body;
  std::string cause;  // for the log
};

Fetched fetchThrough(const ProxyChoice& choice) {
  std::unique_ptr<CURL, CurlCleanup> handle(curl_easy_init());
  Fetched fetched{CURLE_FAILED_INIT, 0, "", ""};
  if (!handle) return fetched;
  curl_easy_setopt(handle.get(), CURLOPT_URL, kUrl);
  ProxyRequests requests;
  applyProxy(handle.get(), choice, &requests);
  // As the download worker has it.
  curl_easy_setopt(handle.get(), CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, keep);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &fetched.body);
  fetched.result = curl_easy_perform(handle.get());
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &fetched.status);
  fetched.cause =
      proxyFailureCause(curl_easy_strerror(fetched.result), fetched.result, fetched.status, choice);
  return fetched;
}

TEST(ProxyTransferTest, RequestsGoToTheChosenProxyWithoutCredentialsUnasked) {
  TestHttpServer server([](const Request&) {
    Reply reply;
    reply.body = "manifest";
    return reply;
  });
  Fetched fetched =
      fetchThrough({ProxySource::fixed, "127.0.0.1:" + std::to_string(server.port())});
  EXPECT_EQ(fetched.result, CURLE_OK);
  EXPECT_EQ(fetched.status, 200);
  EXPECT_EQ(fetched.body, "manifest");
  std::vector<Request> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, kUrl);
  EXPECT_EQ(requests[0].header("Proxy-Authorization"), "");
}

// The test server closes the connection after every answer, as a broken
// proxy might: libcurl would start the logon again on each new connection,
// for ever, but for the updater's bound.
TEST(ProxyTransferTest, AProxyThatRefusesTheLogonEndsTheTransferWithItsStatus) {
  TestHttpServer server([](const Request&) {
    Reply reply;
    reply.status = 407;
    reply.body = "who are you";
    // NTLM alone: Linux's libcurl would try Negotiate through Kerberos, which
    // has no ticket here and so sends nothing.
    reply.headers = {{"Proxy-Authenticate", "NTLM"}};
    return reply;
  });
  const std::string proxy = "127.0.0.1:" + std::to_string(server.port());
  Fetched fetched = fetchThrough({ProxySource::fixed, proxy});
  EXPECT_EQ(fetched.status, 407);
  EXPECT_EQ(fetched.cause, "HTTP status 407 from proxy " + proxy + " set in Internet Options");
  // Asked first without credentials, then answered with a logon (the
  // logged-on user's, on Windows).
  std::vector<Request> requests = server.requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_LE(requests.size(), static_cast<std::size_t>(kMostProxyRequests));
  EXPECT_EQ(requests[0].header("Proxy-Authorization"), "");
  EXPECT_EQ(requests[1].header("Proxy-Authorization").rfind("NTLM ", 0), 0u);
}

}  // namespace
