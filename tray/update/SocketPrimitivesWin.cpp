// Windows Sockets under CBlockingSocket.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <memory>

#include "SocketPrimitives.h"

namespace qdrl {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketHandle Open(bool ipv4) {
  const SOCKET socket = ::socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  if (socket == INVALID_SOCKET) return kInvalidSocket;
  u_long nonBlocking = 1;
  if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
    const int error = ::WSAGetLastError();
    ::closesocket(socket);
    ::WSASetLastError(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(socket);
}

void Close(SocketHandle socket) { ::closesocket(Native(socket)); }

int Connect(SocketHandle socket, const SocketAddress& address) {
  SocketAddressBuffer buffer;
  const int length = ToSystemAddress(address, buffer);
  if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(buffer.data()), length) == 0 ||
      ::WSAGetLastError() == WSAEWOULDBLOCK) {
    return 0;
  }
  return -1;
}

int ConnectResult(SocketHandle socket) {
  int error = 0;
  int length = sizeof(error);
  if (::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
    return -1;
  }
  if (error == 0) return 0;
  ::WSASetLastError(error);
  return -1;
}

// A failed connect shows in the exception set, a finished one in the write set.
int Wait(SocketHandle socket, SocketWait what, int milliseconds) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(Native(socket), &ready);
  FD_SET(Native(socket), &failed);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const bool readable = what == SocketWait::kReadable;
  const int count = ::select(0, readable ? &ready : nullptr, readable ? nullptr : &ready,
                             &failed, &limit);
  return count < 0 ? -1 : (count > 0 ? 1 : 0);
}

long Send(SocketHandle socket, const char* data, std::size_t n) {
  const int chunk = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
  return ::send(Native(socket), data, chunk, 0);
}

long Receive(SocketHandle socket, char* buffer, std::size_t n) {
  const int chunk = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
  return ::recv(Native(socket), buffer, chunk, 0);
}

void Shutdown(SocketHandle socket) { ::shutdown(Native(socket), SD_BOTH); }

int LastError() { return ::WSAGetLastError(); }

struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};

DWORD WINAPI RunThread(void* start) {
  const std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(start));
  owned->entry(owned->argument);
  return 0;
}

constexpr SIZE_T kLookupStackReservation = 128 * 1024;

bool StartThread(void (*entry)(void*), void* argument) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{entry, argument});
  const HANDLE thread = ::CreateThread(nullptr, kLookupStackReservation, &RunThread, start.get(),
                                       CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION,
                                       nullptr);
  if (thread == nullptr) return false;
  start.release();
  ::SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
  ::ResumeThread(thread);
  ::CloseHandle(thread);
  return true;
}

constexpr SocketPrimitives kWindowsPrimitives{
    &Open, &Close, &Connect, &ConnectResult, &Wait, &Send, &Receive, &Shutdown,
    &LastError, &StartThread, &QueryHostAddress};

}  // namespace

const SocketPrimitives& SystemSocketPrimitives() { return kWindowsPrimitives; }

void PrepareSocketsForProcess() {}

}  // namespace qdrl
