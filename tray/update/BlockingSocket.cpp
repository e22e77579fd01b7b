#include "BlockingSocket.h"

#include <chrono>
#include <thread>

#include "Idna.h"

namespace qdrl {

namespace {

// How often a wait looks at the aborted flag, and how often the wait for a look-up
// looks whether it is done.
constexpr int kAbortCheckMilliseconds = 50;
constexpr auto kLookupPoll = std::chrono::milliseconds(10);

// Look-up threads not yet past their last use of the socket library.
std::atomic<int> g_lookupsRunning{0};

void RunLookup(void* lookup) {
  auto* shared = static_cast<CBlockingSocket::CLookup*>(lookup);
  shared->Run();
  shared->Release();
  g_lookupsRunning.fetch_sub(1);
}

}  // namespace

bool WaitForLookupThreads(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (g_lookupsRunning.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kLookupPoll);
  }
  return true;
}

bool DnsResolver(std::u16string_view name, const void* context, bool wantIpv4,
                 SocketAddress& out) {
  const auto ascii = IdnaToAscii(name);
  if (!ascii || ascii->empty()) return false;
  const auto& primitives = context != nullptr ? *static_cast<const SocketPrimitives*>(context)
                                              : SystemSocketPrimitives();
  return primitives.queryHost(*ascii, wantIpv4, out);
}

void CBlockingSocket::CLookup::Run() {
  succeeded_ = resolver_(name_, context_, true, result_) || resolver_(name_, context_, false, result_);
  done_.store(true, std::memory_order_release);
}

CBlockingSocket::~CBlockingSocket() { Close(); }

void CBlockingSocket::Connect(std::u16string_view host, int port) {
  Close();
  SocketAddress address = Resolve(host);
  address.port = static_cast<std::uint16_t>(port);
  CreateSocket(address);
  ConnectSocket(address);
}

void CBlockingSocket::Send(const char* data, std::size_t n) {
  while (n > 0) {
    WaitFor(SocketWait::kWritable, sendTimeout_);
    const long sent = primitives_->send(socket_, data, n);
    if (sent < 0) {
      if (primitives_->lastError() == kWouldBlock) continue;
      ThrowSocketError(SocketFailure::kSend);
    }
    CountSent(static_cast<std::size_t>(sent));
    data += sent;
    n -= static_cast<std::size_t>(sent);
  }
}

std::size_t CBlockingSocket::Receive(char* buffer, std::size_t n) {
  for (;;) {
    WaitFor(SocketWait::kReadable, receiveTimeout_);
    const long received = primitives_->receive(socket_, buffer, n);
    if (received < 0) {
      if (primitives_->lastError() == kWouldBlock) continue;
      ThrowSocketError(SocketFailure::kReceive);
    }
    if (received == 0 && n > 0) {
      ThrowIfAborted();
      throw SocketError(SocketFailure::kConnectionClosed);
    }
    CountReceived(static_cast<std::size_t>(received));
    return static_cast<std::size_t>(received);
  }
}

void CBlockingSocket::Close() {
  SocketHandle taken;
  {
    const std::lock_guard hold(SocketLock());
    taken = socket_;
    socket_ = kInvalidSocket;
  }
  if (taken != kInvalidSocket) primitives_->close(taken);
}

void CBlockingSocket::Abort() {
  const std::lock_guard hold(SocketLock());
  if (aborted_) return;
  aborted_ = true;
  // Shutting down does not block and leaves the handle valid for its owner, so it
  // may happen under the lock; it wakes a wait or a connect in progress.
  if (socket_ != kInvalidSocket) primitives_->shutdown(socket_);
}

bool CBlockingSocket::IsOpen() const {
  const std::lock_guard hold(SocketLock());
  return socket_ != kInvalidSocket;
}

bool CBlockingSocket::IsAborted() const {
  const std::lock_guard hold(SocketLock());
  return aborted_;
}

void CBlockingSocket::ThrowIfAborted() const {
  if (IsAborted()) throw kErrorCancelled;
}

void CBlockingSocket::ThrowSocketError(SocketFailure operation) const {
  const int code = primitives_->lastError();
  ThrowIfAborted();
  throw MapSocketError(code, operation);
}

SocketAddress CBlockingSocket::Resolve(std::u16string_view host) {
  if (const auto numeric = ParseNumericAddress(host)) return *numeric;
  return LookUp(host);
}

SocketAddress CBlockingSocket::LookUp(std::u16string_view host) {
  auto* lookup = new CLookup(host, resolver_, resolverContext_);
  lookup->AddRef();  // the look-up thread's
  g_lookupsRunning.fetch_add(1);
  if (!primitives_->startThread(&RunLookup, lookup)) {
    g_lookupsRunning.fetch_sub(1);
    lookup->Release();  // the thread's, which never ran
    lookup->Release();
    throw SocketError(SocketFailure::kHostNotFound);
  }
  // Once aborted, the look-up is left to finish and free itself on its thread.
  while (!lookup->Done()) {
    if (IsAborted()) {
      lookup->Release();
      throw kErrorCancelled;
    }
    std::this_thread::sleep_for(kLookupPoll);
  }
  const bool succeeded = lookup->Succeeded();
  const SocketAddress result = lookup->Result();
  lookup->Release();
  if (!succeeded) throw SocketError(SocketFailure::kHostNotFound);
  return result;
}

void CBlockingSocket::CreateSocket(const SocketAddress& address) {
  const SocketHandle created = primitives_->open(address.ipv4);
  if (created == kInvalidSocket) ThrowSocketError(SocketFailure::kCreate);
  {
    const std::lock_guard hold(SocketLock());
    if (!aborted_) {
      socket_ = created;
      return;
    }
  }
  primitives_->close(created);
  throw kErrorCancelled;
}

void CBlockingSocket::ConnectSocket(const SocketAddress& address) {
  if (primitives_->connect(socket_, address) != 0) ThrowSocketError(SocketFailure::kConnect);
  // As long as the system keeps trying, as a blocking connect would.
  WaitFor(SocketWait::kWritable, -1);
  if (primitives_->connectResult(socket_) != 0) ThrowSocketError(SocketFailure::kConnect);
}

void CBlockingSocket::WaitFor(SocketWait what, int timeoutSeconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    ThrowIfAborted();
    // select on a closed socket fails the same way.
    if (socket_ == kInvalidSocket) throw MapSocketError(kNotSocket, SocketFailure::kSelect);
    int slice = kAbortCheckMilliseconds;
    if (timeoutSeconds >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) throw SocketError(SocketFailure::kSelectTimeout);
      if (left.count() < slice) slice = static_cast<int>(left.count());
    }
    const int ready = primitives_->wait(socket_, what, slice);
    if (ready < 0) ThrowSocketError(SocketFailure::kSelect);
    if (ready > 0) break;
  }
  ThrowIfAborted();
}

void CBlockingSocket::CountSent(std::size_t n) const {
  if (sentCounter_ != nullptr) *sentCounter_ += n;
}

void CBlockingSocket::CountReceived(std::size_t n) const {
  if (receivedCounter_ != nullptr) *receivedCounter_ += n;
}

}  // namespace qdrl
