// Console helper of the Wine network tests: each command runs one operation of the
// program's socket, TLS or data-file classes and prints its outcome on one line,
// "ok ..." or "error 0x%08X" with the error number.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NetTestMain.h"
#include "update/SslSocket.h"
#include "update/UpdateDescription.h"

namespace qdrl {
namespace {

std::u16string Wide(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (const char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

int PrintError(ErrorNumber error) {
  std::printf("error 0x%08X\n", static_cast<unsigned>(error));
  return 1;
}

std::string ReceiveExactly(CUpdateSocket& socket, std::size_t n) {
  std::string data(n, '\0');
  for (std::size_t done = 0; done < n;) done += socket.Receive(data.data() + done, n - done);
  return data;
}

// The name look-ups of the "idn" command: every name goes to 127.0.0.1, and the
// last one asked for is kept.
std::mutex g_askedLock;
std::string g_asked;

bool LoopbackNameSpace(const std::string& name, bool wantIpv4, SocketAddress& out) {
  {
    const std::lock_guard hold(g_askedLock);
    g_asked = name;
  }
  if (!wantIpv4) return false;
  out = *ParseNumericAddress(u"127.0.0.1");
  return true;
}

struct Options {
  std::u16string host;
  int port = 0;
  bool tls = false;
  int value = 0;  // time-out in seconds, or delay in milliseconds
  std::string message;
};

// echo HOST PORT TLS MESSAGE: sends the message and expects it back.
int Echo(const Options& options, CUpdateSocket& socket) {
  socket.Connect(options.host, options.port);
  socket.Send(options.message.data(), options.message.size());
  const std::string answer = ReceiveExactly(socket, options.message.size());
  socket.Close();
  std::printf("ok %s\n", answer.c_str());
  return 0;
}

// receive HOST PORT TLS SECONDS: connects and waits for one byte.
int ReceiveOne(const Options& options, CUpdateSocket& socket) {
  socket.SetReceiveTimeout(options.value);
  socket.Connect(options.host, options.port);
  char byte;
  socket.Receive(&byte, 1);
  std::printf("ok %c\n", byte);
  return 0;
}

// abort-connect / abort-receive HOST PORT TLS MILLISECONDS: aborts from a second
// thread while the first connects or waits for data.
int AbortLater(const Options& options, CUpdateSocket& socket, bool duringReceive) {
  socket.SetReceiveTimeout(-1);
  if (duringReceive) socket.Connect(options.host, options.port);
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.value));
    socket.Abort();
  });
  try {
    if (duringReceive) {
      char byte;
      socket.Receive(&byte, 1);
    } else {
      socket.Connect(options.host, options.port);
    }
  } catch (ErrorNumber) {
    aborter.join();
    socket.Close();
    throw;
  }
  aborter.join();
  std::printf("ok not aborted\n");
  return 0;
}

// idn NAME PORT TLS MESSAGE: the look-up goes to a name space that answers
// 127.0.0.1 and reports the name it was asked.
int Idn(const Options& options, CUpdateSocket& socket) {
  static SocketPrimitives primitives = SystemSocketPrimitives();
  primitives.queryHost = &LoopbackNameSpace;
  socket.SetResolver(&DnsResolver, &primitives);
  try {
    Echo(options, socket);
  } catch (ErrorNumber error) {
    PrintError(error);
  }
  const std::lock_guard hold(g_askedLock);
  std::printf("asked %s\n", g_asked.c_str());
  return 0;
}

// add-root FILE: the DER certificate in FILE joins the user's trusted roots.
int AddRoot(const wchar_t* path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (der.empty() ||
      !::CertAddEncodedCertificateToSystemStoreW(L"ROOT", reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()))) {
    std::printf("error adding root %lu\n", ::GetLastError());
    return 1;
  }
  std::printf("ok\n");
  return 0;
}

// pud FILE: the update description's fields, or why it was refused.
int ReadDescription(const wchar_t* path) {
  UpdateDescription description;
  std::string reason;
  if (!ReadUpdateDescription(path, description, &reason)) {
    std::printf("refused %s\n", reason.c_str());
    return 1;
  }
  const auto& v = description.version;
  std::printf("ok %u.%u.%u.%u %s %s %s\n", v.major, v.minor, v.third, v.fourth,
              Narrow(description.description).c_str(), Narrow(description.downloadUrl).c_str(),
              Narrow(description.installerExtension).c_str());
  return 0;
}

// try-write FILE / try-delete FILE: whether another process may write or remove the
// file: "opened" / "deleted", or "refused" and the system's error code.
int TryWrite(const wchar_t* path) {
  const HANDLE file =
      ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("refused %lu\n", ::GetLastError());
    return 0;
  }
  ::CloseHandle(file);
  std::printf("opened\n");
  return 0;
}

int TryDelete(const wchar_t* path) {
  if (!::DeleteFileW(path)) {
    std::printf("refused %lu\n", ::GetLastError());
    return 0;
  }
  std::printf("deleted\n");
  return 0;
}

}  // namespace

int RunNetTest(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  if (command == L"add-root" && argc == 3) return AddRoot(argv[2]);
  if (command == L"try-write" && argc == 3) return TryWrite(argv[2]);
  if (command == L"try-delete" && argc == 3) return TryDelete(argv[2]);
  if (command == L"pud" && argc == 3) return ReadDescription(argv[2]);
  if (argc < 5) return 2;
  Options options;
  options.host = Wide(argv[2]);
  options.port = _wtoi(argv[3]);
  options.tls = _wtoi(argv[4]) != 0;
  if (argc > 5) {
    options.value = _wtoi(argv[5]);
    options.message = Narrow(Wide(argv[5]));
  }
  CUpdateSocket socket;
  socket.SetUseTls(options.tls);
  try {
    if (command == L"echo") return Echo(options, socket);
    if (command == L"receive") return ReceiveOne(options, socket);
    if (command == L"abort-connect") return AbortLater(options, socket, false);
    if (command == L"abort-receive") return AbortLater(options, socket, true);
    if (command == L"idn") return Idn(options, socket);
  } catch (ErrorNumber error) {
    return PrintError(error);
  }
  return 2;
}

}  // namespace qdrl
