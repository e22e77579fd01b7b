// Response heads read through the line reader (first byte: receive piece size) and
// parsed; a parsed status line formats back to one that parses the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ScriptedSocket.h"
#include "update/HtHead.h"
#include "update/HtStream.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckHead(const qdrl::CHtRespHead& head) {
  qdrl::CHtRespHead again;
  Check(again.Parse(head.FormatFirstLine() + "\r\n"));
  Check(again.Version() == head.Version() && again.Status() == head.Status() &&
        again.Reason() == head.Reason());
  for (const auto& field : head.Fields()) {
    Check(field.name.find("\r\n") == std::string::npos);
    Check(head.Find(field.name) != nullptr);
  }
  qdrl::ShouldCloseConnection(head, false);
  qdrl::ShouldCloseConnection(head, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  qdrl::CHtRespHead direct;
  if (direct.Parse(bytes)) CheckHead(direct);

  qdrl::test::ScriptedStream stream(bytes, data[0] + 1);
  qdrl::CHtLineReader reader(stream);
  std::string head;
  try {
    head = qdrl::ReadResponseHead(reader);
  } catch (qdrl::ErrorNumber error) {
    Check(error == qdrl::kErrorBadResponseHead || error == qdrl::kErrorConnectionClosed);
    return 0;
  }
  Check(head.size() <= qdrl::kHtHeadLimit && (head.ends_with("\r\n\r\n") || head == "\r\n"));
  qdrl::CHtRespHead parsed;
  if (parsed.Parse(head)) CheckHead(parsed);
  return 0;
}
