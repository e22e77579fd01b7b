// Response bodies decoded from the wire. First byte: the body kind (chunked, length,
// to close); second: receive piece size; for the length kind the Content-Length text
// runs to the first LF. Decoded data never arrives in pieces over the block size and a
// length body is exactly as long as announced.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ScriptedSocket.h"
#include "update/HtStream.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::string wire(reinterpret_cast<const char*>(data) + 2, size - 2);
  const int kind = data[0] % 3;
  std::string lengthText;
  if (kind == 1) {
    const auto lineFeed = wire.find('\n');
    lengthText = wire.substr(0, lineFeed);
    wire.erase(0, lineFeed == std::string::npos ? wire.size() : lineFeed + 1);
  }
  const std::size_t wireSize = wire.size();
  qdrl::test::ScriptedStream stream(std::move(wire), data[1] + 1);
  qdrl::CHtLineReader reader(stream);
  std::uint64_t decoded = 0;
  auto sink = [&](const char*, std::size_t n) {
    Check(n <= qdrl::kHtBlockSize);
    decoded += n;
  };
  try {
    switch (kind) {
      case 0: qdrl::ReadChunkedBody(reader, sink); break;
      case 1: {
        const std::uint64_t length = qdrl::ParseContentLength(lengthText);
        qdrl::CopyBody(reader, length, sink);
        Check(decoded == length);
        break;
      }
      default: qdrl::ReadBodyToClose(reader, sink); Check(decoded == wireSize); break;
    }
  } catch (qdrl::ErrorNumber error) {
    Check(error == qdrl::kErrorBadChunkedEncoding || error == qdrl::kErrorBadContentLength ||
          error == qdrl::kErrorConnectionClosed);
  }
  Check(decoded <= wireSize);
  return 0;
}
