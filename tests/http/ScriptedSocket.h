// A socket class for the HTTP client's tests that plays back scripted server replies
// from memory and records what the client sent and where it connected.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "update/HtError.h"

namespace qdrl::test {

// Bytes handed out in pieces of at most pieceSize; then the peer closes.
class ScriptedStream {
 public:
  explicit ScriptedStream(std::string bytes = {}, std::size_t pieceSize = 1024)
      : bytes_(std::move(bytes)), pieceSize_(std::max<std::size_t>(pieceSize, 1)) {}

  std::size_t Receive(char* buffer, std::size_t n) {
    if (offset_ == bytes_.size()) throw kErrorConnectionClosed;
    const std::size_t count = std::min({n, pieceSize_, bytes_.size() - offset_});
    std::memcpy(buffer, bytes_.data() + offset_, count);
    offset_ += count;
    return count;
  }

  std::size_t Left() const { return bytes_.size() - offset_; }

 private:
  std::string bytes_;
  std::size_t pieceSize_;
  std::size_t offset_ = 0;
};

struct ScriptedConnection {
  std::u16string host;
  int port = 0;
  bool tls = false;
  std::string sent;
};

class ScriptedSocket {
 public:
  // Each connection the client opens plays the next of these replies.
  void Script(std::vector<std::string> replies, std::size_t pieceSize = 1024) {
    for (auto& reply : replies) replies_.emplace_back(std::move(reply), pieceSize);
  }

  void Connect(const std::u16string& host, int port) {
    if (replies_.empty()) throw MakeErrorNumber(2, 3);
    stream_ = std::move(replies_.front());
    replies_.pop_front();
    connections_.push_back({host, port, useTls_, {}});
    open_ = true;
  }
  void Send(const char* data, std::size_t n) {
    if (!open_) throw MakeErrorNumber(2, 6);
    connections_.back().sent.append(data, n);
  }
  std::size_t Receive(char* buffer, std::size_t n) {
    if (!open_) throw MakeErrorNumber(2, 8);
    return stream_.Receive(buffer, n);
  }
  void Close() { open_ = false; }
  bool IsOpen() const { return open_; }
  void SetUseTls(bool useTls) { useTls_ = useTls; }

  const std::vector<ScriptedConnection>& Connections() const { return connections_; }

 private:
  std::deque<ScriptedStream> replies_;
  ScriptedStream stream_;
  std::vector<ScriptedConnection> connections_;
  bool useTls_ = true;
  bool open_ = false;
};

}  // namespace qdrl::test
