#include "support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>

#include "shared/base_url.h"

namespace {

// The answer a web server gives `request` for the whole `reply`, ranges
// honoured.
Reply rangeOf(Reply reply, const Request& request) {
  if (!reply.etag.empty()) reply.headers.emplace_back("ETag", reply.etag);
  std::string range = request.header("Range");
  std::string ifRange = request.header("If-Range");
  const std::string prefix = "bytes=";
  if (reply.status != 200 || range.compare(0, prefix.size(), prefix) != 0 ||
      (!ifRange.empty() && ifRange != reply.etag)) {
    return reply;
  }
  std::size_t from = std::stoull(range.substr(prefix.size()));
  std::size_t size = reply.body.size();
  // "bytes=FROM-TO" asks for a stretch; "bytes=FROM-" for the rest.
  std::size_t dash = range.find('-', prefix.size());
  std::size_t last = size - 1;
  if (dash != std::string::npos && dash + 1 < range.size()) {
    last = std::min<std::size_t>(last, std::stoull(range.substr(dash + 1)));
  }
  if (from >= size || last < from) {
    reply.status = 416;
    reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    reply.body.clear();
    return reply;
  }
  reply.status = 206;
  reply.headers.emplace_back(
      "Content-Range",
      "bytes " + std::to_string(from) + "-" + std::to_string(last) + "/" + std::to_string(size));
  reply.body = reply.body.substr(from, last - from + 1);
  return reply;
}

// Holds the connection open, silent, until the client gives up (the socket
// becomes readable at its close) or the server stops.
void holdOpen(int fd, const std::atomic<bool>& stopping) {
  pollfd wait{fd, POLLIN, 0};
  while (!stopping && ::poll(&wait, 1, 100) == 0) {
  }
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::string reasonOf(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

TestHttpServer::TestHttpServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t length = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("bind/listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  stop();
}

std::string TestHttpServer::address() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<Request> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool TestHttpServer::waitForRequests(std::size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= count; });
}

void TestHttpServer::stop() {
  if (stopping_.exchange(true)) return;
  ::shutdown(listenFd_, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  changed_.notify_all();
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  ::close(listenFd_);
}

void TestHttpServer::acceptLoop() {
  while (!stopping_) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) break;
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    openFds_.push_back(fd);
    ++connections_;
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void TestHttpServer::serve(int fd) {
  // One request a connection, unless kept alive: then requests follow one
  // another on it until the client closes it or an answer cuts it short.
  std::string pending;
  char buffer[4096];
  for (bool again = true; again && !stopping_;) {
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos && pending.size() < 1 << 22) {
      ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(got));
    }
    std::string head =
        headEnd == std::string::npos ? std::move(pending) : pending.substr(0, headEnd + 4);
    pending = headEnd == std::string::npos ? std::string() : pending.substr(headEnd + 4);
    again = false;
    Request request;
    std::size_t space = head.find(' ');
    std::size_t space2 = space == std::string::npos ? space : head.find(' ', space + 1);
    if (space2 != std::string::npos) {
      request.method = head.substr(0, space);
      request.target = head.substr(space + 1, space2 - space - 1);
      std::size_t end = head.find("\r\n\r\n");
      for (std::size_t at = head.find("\r\n"); at != std::string::npos && at < end;) {
        std::size_t next = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, next - at - 2);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
          std::size_t value = line.find_first_not_of(' ', colon + 1);
          request.headers.emplace_back(line.substr(0, colon),
                                       value == std::string::npos ? "" : line.substr(value));
        }
        at = next;
      }
      // Counted from the request to the end of its answer.
      const int answering = ++answering_;
      for (int peak = peakAnswers_;
           answering > peak && !peakAnswers_.compare_exchange_weak(peak, answering);) {
      }
      const int most = mostAnswers_;
      Reply reply;
      if (most > 0 && answering > most) {
        reply.status = 503;
      } else {
        reply = handler_(request);
        if (reply.ranges) reply = rangeOf(reply, request);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      changed_.notify_all();

      if (reply.silent) holdOpen(fd, stopping_);
      std::string body = reply.body;
      if (reply.repeatTo >= 0 && !body.empty()) {
        std::string repeated;
        while (static_cast<std::int64_t>(repeated.size()) < reply.repeatTo) repeated += body;
        repeated.resize(static_cast<std::size_t>(reply.repeatTo));
        body.swap(repeated);
      }
      std::int64_t announced = reply.announcedLength >= 0 ? reply.announcedLength
                                                          : static_cast<std::int64_t>(body.size());
      // A body that ends with the connection, or is cut short, ends it.
      const bool keep = keepAlive_ && !reply.silent && reply.announcedLength == -1 &&
                        reply.closeAfter < 0 && reply.stallAfter < 0;
      std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonOf(reply.status) +
                        (keep ? "\r\n" : "\r\nConnection: close\r\n");
      if (reply.announcedLength != kNoLength) {
        out += "Content-Length: " + std::to_string(announced) + "\r\n";
      }
      for (const auto& header : reply.headers) out += header.first + ": " + header.second + "\r\n";
      out += "\r\n";
      bool open = !reply.silent && sendAll(fd, out.data(), out.size());

      std::size_t limit = body.size();
      if (reply.closeAfter >= 0) limit = std::min<std::size_t>(limit, reply.closeAfter);
      if (reply.stallAfter >= 0) limit = std::min<std::size_t>(limit, reply.stallAfter);
      std::size_t piece = reply.pieceSize > 0 ? reply.pieceSize : limit;
      for (std::size_t sent = 0; open && sent < limit && !stopping_;) {
        std::size_t size = std::min(piece, limit - sent);
        open = sendAll(fd, body.data() + sent, size);
        sent += size;
        if (open) bodyBytesSent_ += static_cast<std::int64_t>(size);
        if (reply.pieceDelayMs > 0 && sent < limit) {
          // Paces the scripted slow body; stop() cuts the pause short.
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait_for(lock, std::chrono::milliseconds(reply.pieceDelayMs),
                            [this] { return stopping_.load(); });
        }
      }
      if (open && reply.stallAfter >= 0) holdOpen(fd, stopping_);
      if (reply.reset) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
      --answering_;
      again = keep && open;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
  }
  ::close(fd);
}

std::string Request::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return value;
    }
  }
  return std::string();
}

std::string nameOfTarget(const std::string& target) {
  std::string base = kUpdateBaseUrl;
  if (target.compare(0, base.size(), base) != 0) return "";
  std::string name;
  for (std::size_t i = base.size(); i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() &&
        std::isxdigit(static_cast<unsigned char>(target[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(target[i + 2]))) {
      name += static_cast<char>(std::stoi(target.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      name += target[i];
    }
  }
  return name;
}

TestHttpServer::Handler serveUpdates(std::map<std::string, Reply> files) {
  return [files = std::move(files)](const Request& request) {
    auto found = files.find(nameOfTarget(request.target));
    if (request.method != "GET" || found == files.end()) {
      Reply missing;
      missing.status = 404;
      missing.body = "not found";
      return missing;
    }
    return found->second;
  };
}

Reply ok(const std::string& body) {
  Reply reply;
  reply.body = body;
  return reply;
}
