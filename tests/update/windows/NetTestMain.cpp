// Sets up Windows Sockets and the TLS library around a helper's RunNetTest. Output
// is unbuffered, so a script sees each line as the helper prints it. Exit code 3
// when the set-up fails.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "NetTestMain.h"
#include "update/TlsLibrary.h"

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  WSADATA data;
  // The version the program itself asks for.
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0 || !qdrl::InitTlsLibrary()) {
    std::printf("set-up failed\n");
    return 3;
  }
  const int status = qdrl::RunNetTest(argc, argv);
  qdrl::FreeTlsLibrary();
  WSACleanup();
  return status;
}
