#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace qdrl::test {

namespace {

int Listen(bool ipv6, int backlog, std::uint16_t& port) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("loopback socket");
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_storage address{};
  socklen_t length;
  if (ipv6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    length = sizeof(v6);
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(v4);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    throw std::runtime_error("loopback listen");
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                    : reinterpret_cast<sockaddr_in&>(address).sin_port);
  return fd;
}

}  // namespace

std::string ServerConnection::Read(std::size_t n) {
  std::string data(n, '\0');
  long got;
  if (ssl_ != nullptr) {
    got = SSL_read(ssl_, data.data(), static_cast<int>(n));
    if (got <= 0) {
      closeNotifyReceived_ = SSL_get_error(ssl_, static_cast<int>(got)) == SSL_ERROR_ZERO_RETURN;
      got = 0;
    }
  } else {
    got = ::recv(fd_, data.data(), n, 0);
    if (got < 0) got = 0;
  }
  data.resize(static_cast<std::size_t>(got));
  return data;
}

std::string ServerConnection::ReadExactly(std::size_t n) {
  std::string data;
  while (data.size() < n) {
    const std::string piece = Read(n - data.size());
    if (piece.empty()) break;
    data += piece;
  }
  return data;
}

std::string ServerConnection::ReadToEnd() {
  std::string data;
  for (std::string piece; !(piece = Read(4096)).empty();) data += piece;
  return data;
}

void ServerConnection::Write(std::string_view data) {
  if (ssl_ != nullptr) {
    SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
  } else {
    ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
  }
}

void ServerConnection::SendCloseNotify() { SSL_shutdown(ssl_); }

std::string ServerConnection::ServerName() const {
  const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
  return name == nullptr ? std::string() : std::string(name);
}

LoopbackServer::LoopbackServer(Handler handler, SSL_CTX* tls, bool ipv6)
    : handler_(std::move(handler)), tls_(tls) {
  listener_ = Listen(ipv6, 8, port_);
  if (tls_ != nullptr) SSL_CTX_up_ref(tls_);
  thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  thread_.join();
  ::close(listener_);
  SSL_CTX_free(tls_);
}

void LoopbackServer::WaitHandled(int count) const {
  while (handled_.load() + failedHandshakes_.load() < count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Accepts until the server is stopped; connections are served one after another.
void LoopbackServer::Serve() {
  while (!stopping_) {
    pollfd entry{listener_, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    SSL* ssl = nullptr;
    if (tls_ != nullptr) {
      ssl = SSL_new(tls_);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        ::close(fd);
        ++failedHandshakes_;
        continue;
      }
    }
    ServerConnection connection(fd, ssl);
    handler_(connection);
    SSL_free(ssl);
    ::close(fd);
    ++handled_;
  }
}

UnansweredListener::UnansweredListener() {
  listener_ = Listen(false, 0, port_);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port_);
  // The queue of a listener with backlog 0 holds one connection; a few more make
  // sure that the next connection's handshake goes unanswered.
  for (int i = 0; i < 3; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers_.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

UnansweredListener::~UnansweredListener() {
  for (const int fd : fillers_) ::close(fd);
  ::close(listener_);
}

std::uint16_t UnusedPort() {
  std::uint16_t port = 0;
  const int fd = Listen(false, 1, port);
  ::close(fd);
  return port;
}

}  // namespace qdrl::test
