#pragma once

// A scripted HTTP/1.1 server on 127.0.0.1, on a port the system picks, for
// tests. The updater reaches it as its HTTP proxy (libcurl honours
// http_proxy), so requests arrive in absolute form with the updater's own
// built-in URL, whatever that is.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr std::int64_t kNoLength = -2;

struct Reply {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Content-Length to announce; -1 announces the body's real length,
  // kNoLength sends none (the body ends with the connection).
  std::int64_t announcedLength = -1;
  // After this many body bytes: close the connection (-1: send it all).
  std::int64_t closeAfter = -1;
  // With closeAfter: end with a TCP reset instead of an orderly close.
  bool reset = false;
  // After this many body bytes: send nothing more until the server stops.
  std::int64_t stallAfter = -1;
  // Answer nothing at all, not even the status line, until the client gives
  // up or the server stops.
  bool silent = false;
  // Send the body in pieces of this size with this pause between them.
  std::size_t pieceSize = 0;
  int pieceDelayMs = 0;
  // Send this many bytes of `body`, repeated, instead of `body` once.
  std::int64_t repeatTo = -1;
  // Serve ranges as a web server does by default: a request for "bytes=N-"
  // whose If-Range (if any) names `etag` gets 206 with the rest of the body
  // from N (or 416 past its end); any other request the whole body. `etag`
  // is sent with every answer when set. closeAfter and stallAfter count the
  // bytes of the answer's own body.
  bool ranges = false;
  std::string etag;
};

// A 200 answer with `body` and nothing else scripted.
Reply ok(const std::string& body);

struct Request {
  std::string method;
  std::string target;  // as sent: absolute form through a proxy
  std::vector<std::pair<std::string, std::string>> headers;
  // The value of header `name` (any case), or "".
  std::string header(const std::string& name) const;
};

class TestHttpServer {
 public:
  using Handler = std::function<Reply(const Request&)>;

  explicit TestHttpServer(Handler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT", for http_proxy.
  std::string address() const;
  // Every request so far, in arrival order.
  std::vector<Request> requests() const;
  // Body bytes sent so far, over all answers.
  std::int64_t bodyBytesSent() const { return bodyBytesSent_; }
  // Answers "503 Service Unavailable" to a request that arrives while `most`
  // answers are being sent already, as a server limited in its connections
  // does; 0 (the start) means no limit.
  void setMostAnswersAtOnce(int most) { mostAnswers_ = most; }
  // The most answers that were being sent at once.
  int peakAnswers() const { return peakAnswers_; }
  // Keeps connections open for the next request after an answer with a
  // length that was sent whole, as web servers do (HTTP/1.1 keep-alive);
  // off (the start): "Connection: close" after every answer.
  void setKeepAlive(bool keep) { keepAlive_ = keep; }
  // Connections accepted so far.
  int connectionsAccepted() const { return connections_; }
  // Blocks until `count` requests have arrived or `timeoutMs` passed.
  bool waitForRequests(std::size_t count, int timeoutMs) const;
  // Ends stalls, closes every connection and joins the threads.
  void stop();

 private:
  void acceptLoop();
  void serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::int64_t> bodyBytesSent_{0};
  std::atomic<int> mostAnswers_{0};
  std::atomic<int> answering_{0};
  std::atomic<int> peakAnswers_{0};
  std::atomic<bool> keepAlive_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Request> requests_;
  std::vector<int> openFds_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A handler that serves `files` (name under the updater's base URL -> reply)
// and answers 404 for anything else, including requests that do not carry
// the updater's base URL.
TestHttpServer::Handler serveUpdates(std::map<std::string, Reply> files);

// The name under the updater's base URL that `target` asks for, percent-
// decoded, or "" if it is not a request under that URL.
std::string nameOfTarget(const std::string& target);
