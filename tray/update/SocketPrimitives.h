// The system calls under CBlockingSocket: Windows Sockets in the program, POSIX
// sockets in the native build that runs the network layers' tests on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "SocketAddress.h"

namespace qdrl {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

enum class SocketWait { kReadable, kWritable };

// Windows Sockets codes the socket class acts on.
inline constexpr int kWouldBlock = 10035;  // WSAEWOULDBLOCK
inline constexpr int kNotSocket = 10038;   // WSAENOTSOCK

// Every call returns -1 (or kInvalidSocket) on failure and leaves the reason in
// lastError, expressed as a Windows Sockets error code on every platform.
struct SocketPrimitives {
  // A non-blocking stream socket of the address's family.
  SocketHandle (*open)(bool ipv4);
  void (*close)(SocketHandle socket);
  // Starts connecting; 0 when connected or under way, else -1.
  int (*connect)(SocketHandle socket, const SocketAddress& address);
  // After the socket became writable: 0 when the connection stands, else -1.
  int (*connectResult)(SocketHandle socket);
  // 1 ready, 0 after `milliseconds` without, -1 on failure.
  int (*wait)(SocketHandle socket, SocketWait what, int milliseconds);
  // Bytes moved, 0 at the peer's end of data (receive), -1 on failure; a call that
  // would block fails with 10035 (resource temporarily unavailable).
  long (*send)(SocketHandle socket, const char* data, std::size_t n);
  long (*receive)(SocketHandle socket, char* buffer, std::size_t n);
  // Ends both directions, waking whatever waits on the socket.
  void (*shutdown)(SocketHandle socket);
  int (*lastError)();
  // Starts `entry(argument)` on a new thread (128 KiB stack reservation, below-normal
  // priority) that nobody joins; false when it cannot start.
  bool (*startThread)(void (*entry)(void* argument), void* argument);
  // The first address of the wanted family that the system's name look-up (hosts
  // file and DNS) finds for an ASCII host name.
  bool (*queryHost)(const std::string& asciiName, bool wantIpv4, SocketAddress& out);
};

const SocketPrimitives& SystemSocketPrimitives();

// Process set-up of the native build (nothing to do in the program, which starts
// Windows Sockets itself): a send to a closed connection must fail, not raise SIGPIPE.
void PrepareSocketsForProcess();

}  // namespace qdrl
