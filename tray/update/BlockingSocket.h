// A TCP connection whose calls block the calling thread, with time-outs, an abort that
// works from another thread, and a name look-up that runs on its own thread. Every
// failure raises an ErrorNumber (0 when the socket was aborted).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "CountedRef.h"
#include "ErrorNumber.h"
#include "SocketAddress.h"
#include "SocketError.h"
#include "SocketPrimitives.h"

namespace qdrl {

// Finds an address of one family for a host name; `context` selects the name space.
using HostResolver = bool (*)(std::u16string_view name, const void* context, bool wantIpv4,
                              SocketAddress& out);

// Waits up to limit for every look-up thread, abandoned ones included, to finish with
// the socket library; true when none runs any more. The library must not be cleaned
// up under a thread still inside a look-up.
bool WaitForLookupThreads(std::chrono::milliseconds limit);

// The default resolver: IDNA ToASCII of the name, then the system's look-up. The
// context, when not null, is the SocketPrimitives whose queryHost is asked instead of
// the system's.
bool DnsResolver(std::u16string_view name, const void* context, bool wantIpv4,
                 SocketAddress& out);

class CBlockingSocket {
 public:
  static constexpr int kDefaultTimeoutSeconds = 200;

  CBlockingSocket() = default;
  explicit CBlockingSocket(const SocketPrimitives& primitives) : primitives_(&primitives) {}
  CBlockingSocket(const CBlockingSocket&) = delete;
  CBlockingSocket& operator=(const CBlockingSocket&) = delete;
  ~CBlockingSocket();

  // Resolves host (numeric IPv4 or IPv6, else a name), creates the socket and
  // connects to port. An open connection is closed first.
  void Connect(std::u16string_view host, int port);
  // Waits until writable (send time-out) and sends all n bytes.
  void Send(const char* data, std::size_t n);
  // Waits until readable (receive time-out) and receives up to n bytes, at least 1
  // when n > 0; the peer's end of data is SocketError(kConnectionClosed).
  std::size_t Receive(char* buffer, std::size_t n);
  // Closes the connection; nothing when none is open.
  void Close();
  // From any thread: marks the socket aborted (for good) and shuts the connection
  // down, so that whatever blocks on it, and every later call, raises 0. The
  // connection stays until its owner calls Close.
  void Abort();

  bool IsOpen() const;
  bool IsAborted() const;

  // Seconds to wait before each receive and send; negative waits without limit.
  void SetReceiveTimeout(int seconds) { receiveTimeout_ = seconds; }
  void SetSendTimeout(int seconds) { sendTimeout_ = seconds; }
  // When set, every byte sent or received is added to them.
  void SetSentCounter(std::uint64_t* counter) { sentCounter_ = counter; }
  void SetReceivedCounter(std::uint64_t* counter) { receivedCounter_ = counter; }
  void SetResolver(HostResolver resolver, const void* context) {
    resolver_ = resolver;
    resolverContext_ = context;
  }

  // Shared with a look-up thread that may outlive the wait for it.
  class CLookup : public CCountedRef {
   public:
    CLookup(std::u16string_view name, HostResolver resolver, const void* context)
        : name_(name), resolver_(resolver), context_(context) {}
    // On the look-up thread: an IPv4 address, else an IPv6 one.
    void Run();
    bool Done() const { return done_.load(std::memory_order_acquire); }
    bool Succeeded() const { return succeeded_; }
    const SocketAddress& Result() const { return result_; }

   private:
    std::u16string name_;
    HostResolver resolver_;
    const void* context_;
    SocketAddress result_;
    bool succeeded_ = false;
    std::atomic<bool> done_{false};
  };

 protected:
  // The address of host: numeric ones at once, names through a look-up thread.
  SocketAddress Resolve(std::u16string_view host);
  // Creates the socket for address; raises 0 if the socket was aborted meanwhile.
  void CreateSocket(const SocketAddress& address);
  // Connects the created socket, waiting as long as the system tries.
  void ConnectSocket(const SocketAddress& address);
  // Waits until the socket is ready; a negative time-out waits without limit.
  void WaitFor(SocketWait what, int timeoutSeconds);
  // Raises 0 once the socket has been aborted.
  void ThrowIfAborted() const;
  // The open connection's handle (only its owner's thread changes it).
  SocketHandle Handle() const { return socket_; }
  const SocketPrimitives& Primitives() const { return *primitives_; }
  int ReceiveTimeout() const { return receiveTimeout_; }
  int SendTimeout() const { return sendTimeout_; }
  void CountSent(std::size_t n) const;
  void CountReceived(std::size_t n) const;

 private:
  SocketAddress LookUp(std::u16string_view host);
  [[noreturn]] void ThrowSocketError(SocketFailure operation) const;

  std::uint64_t* sentCounter_ = nullptr;
  std::uint64_t* receivedCounter_ = nullptr;
  int receiveTimeout_ = kDefaultTimeoutSeconds;
  int sendTimeout_ = kDefaultTimeoutSeconds;
  const SocketPrimitives* primitives_ = &SystemSocketPrimitives();
  SocketHandle socket_ = kInvalidSocket;  // swapped under the socket lock
  bool aborted_ = false;                  // under the socket lock
  HostResolver resolver_ = &DnsResolver;
  const void* resolverContext_ = nullptr;
};

}  // namespace qdrl
