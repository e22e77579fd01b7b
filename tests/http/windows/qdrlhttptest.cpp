// Console helper of the HTTP client's Wine tests: fetches one URL with the program's
// client over Windows Sockets (and TLS for https) into a file and prints the outcome
// on one line: "ok STATUS BYTES CONNECTIONS" or "error 0x%08X CONNECTIONS".
//
// TLS servers are checked against the user's root store, as in the program.
//
//   qdrlhttptest URL DESTINATION [RECEIVE-TIMEOUT-SECONDS]
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "NetTestMain.h"
#include "update/HtClient.h"
#include "update/SslSocket.h"

namespace qdrl {
namespace {

std::u16string Wide(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

}  // namespace

int RunNetTest(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: qdrlhttptest URL DESTINATION [RECEIVE-TIMEOUT]\n");
    return 2;
  }
  HtProgress progress;
  CHtGet<CUpdateSocket> get(Wide(argv[1]), &progress,
                            FormatUserAgent(u"Quadrel", {1, 0, 2, 0}, 10, 0));
  if (argc > 3) get.SetReceiveTimeout(_wtoi(argv[3]));
  const bool fetched = get.Fetch(std::filesystem::path(argv[2]));
  const auto connections = progress.ConnectTimes().size();
  if (!fetched) {
    std::printf("error 0x%08X %u\n", static_cast<unsigned>(get.FinalError()),
                static_cast<unsigned>(connections));
    return 1;
  }
  std::printf("ok %d %lld %u\n", get.ResponseHead().Status(),
              static_cast<long long>(progress.received.load()), static_cast<unsigned>(connections));
  return 0;
}

}  // namespace qdrl
