// POSIX sockets for the native build; failures are reported with the Windows Sockets
// code of the same meaning, so the error numbers are those of the program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "SocketPrimitives.h"

namespace qdrl {

namespace {

int ToWindowsSocketsCode(int error) {
  switch (error) {
    case EACCES: return 10013;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case EAFNOSUPPORT: return 10047;
    case EALREADY: return 10037;
    case ECONNABORTED: return 10053;
    case ECONNREFUSED: return 10061;
    case ECONNRESET: return 10054;
    case EDESTADDRREQ: return 10039;
    case EFAULT: return 10014;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case EINPROGRESS: return 10036;
    case EINTR: return 10004;
    case EINVAL: return 10022;
    case EISCONN: return 10056;
    case EMFILE: return 10024;
    case EMSGSIZE: return 10040;
    case ENETDOWN: return 10050;
    case ENETRESET: return 10052;
    case ENETUNREACH: return 10051;
    case ENOBUFS: return 10055;
    case ENOPROTOOPT: return 10042;
    case ENOTCONN: return 10057;
    case ENOTSOCK: return 10038;
    case EOPNOTSUPP: return 10045;
    case EPROTONOSUPPORT: return 10043;
    case EPROTOTYPE: return 10041;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case ESOCKTNOSUPPORT: return 10044;
    case ETIMEDOUT: return 10060;
    case EAGAIN: return 10035;
    default: return error;  // not a Windows Sockets code: the operation's own error
  }
}

thread_local int t_lastError = 0;

int Fail(int error) {
  t_lastError = ToWindowsSocketsCode(error);
  return -1;
}

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

SocketHandle Open(bool ipv4) {
  const int fd = ::socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(errno);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

void Close(SocketHandle socket) { ::close(Fd(socket)); }

int Connect(SocketHandle socket, const SocketAddress& address) {
  SocketAddressBuffer buffer;
  const int length = ToSystemAddress(address, buffer);
  if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(buffer.data()),
                static_cast<socklen_t>(length)) == 0 ||
      errno == EINPROGRESS) {
    return 0;
  }
  return Fail(errno);
}

int ConnectResult(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Fail(errno);
  return error == 0 ? 0 : Fail(error);
}

int Wait(SocketHandle socket, SocketWait what, int milliseconds) {
  pollfd entry{Fd(socket), static_cast<short>(what == SocketWait::kReadable ? POLLIN : POLLOUT), 0};
  const int ready = ::poll(&entry, 1, milliseconds);
  if (ready < 0) return errno == EINTR ? 0 : Fail(errno);
  return ready;
}

long Send(SocketHandle socket, const char* data, std::size_t n) {
  const ssize_t sent = ::send(Fd(socket), data, n, MSG_NOSIGNAL);
  return sent < 0 ? Fail(errno) : sent;
}

long Receive(SocketHandle socket, char* buffer, std::size_t n) {
  const ssize_t received = ::recv(Fd(socket), buffer, n, 0);
  return received < 0 ? Fail(errno) : received;
}

void Shutdown(SocketHandle socket) { ::shutdown(Fd(socket), SHUT_RDWR); }

int LastError() { return t_lastError; }

struct ThreadStart {
  void (*entry)(void*);
  void* argument;
};

void* RunThread(void* start) {
  const std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(start));
  owned->entry(owned->argument);
  return nullptr;
}

bool StartThread(void (*entry)(void*), void* argument) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{entry, argument});
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, &RunThread, start.get()) == 0;
  pthread_attr_destroy(&attributes);
  if (started) start.release();
  return started;
}

constexpr SocketPrimitives kPosixPrimitives{
    &Open, &Close, &Connect, &ConnectResult, &Wait, &Send, &Receive, &Shutdown,
    &LastError, &StartThread, &QueryHostAddress};

}  // namespace

const SocketPrimitives& SystemSocketPrimitives() { return kPosixPrimitives; }

void PrepareSocketsForProcess() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace qdrl
