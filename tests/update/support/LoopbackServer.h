// Servers on loopback that tests start in their own process: each accepts connections
// on a thread of its own and runs a handler on each, plain or over TLS.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qdrl::test {

// One accepted connection as the server sees it.
class ServerConnection {
 public:
  ServerConnection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}

  // Up to n bytes; empty at the client's end of data.
  std::string Read(std::size_t n);
  // Exactly n bytes unless the client ends first.
  std::string ReadExactly(std::size_t n);
  // Everything until the client's end of data.
  std::string ReadToEnd();
  void Write(std::string_view data);
  // TLS: sends the close notification.
  void SendCloseNotify();
  // TLS: whether the client's end of data came as a close notification.
  bool ClientSentCloseNotify() const { return closeNotifyReceived_; }
  // TLS: the server name the client sent; empty when none.
  std::string ServerName() const;

 private:
  int fd_;
  SSL* ssl_;
  bool closeNotifyReceived_ = false;
};

class LoopbackServer {
 public:
  using Handler = std::function<void(ServerConnection&)>;

  // Listens on 127.0.0.1 (or ::1) with a free port; `tls` (reference taken) makes
  // every connection TLS.
  explicit LoopbackServer(Handler handler, SSL_CTX* tls = nullptr, bool ipv6 = false);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Connections whose handler ran to its end, and TLS handshakes that failed.
  int Handled() const { return handled_.load(); }
  int FailedHandshakes() const { return failedHandshakes_.load(); }
  // Waits until `count` handlers have finished.
  void WaitHandled(int count) const;

 private:
  void Serve();

  Handler handler_;
  SSL_CTX* tls_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> handled_{0};
  std::atomic<int> failedHandshakes_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A listener that never accepts, with its queue filled, so that a further connect
// waits for an answer that never comes.
class UnansweredListener {
 public:
  UnansweredListener();
  ~UnansweredListener();
  std::uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// A loopback port nothing listens on.
std::uint16_t UnusedPort();

}  // namespace qdrl::test
