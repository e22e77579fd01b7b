#include "HtHead.h"

#include <climits>

namespace qdrl {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseDigits(std::string_view text, std::uint64_t base, std::uint64_t limit,
                 std::uint64_t& value) {
  if (text.empty()) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || static_cast<std::uint64_t>(digit) >= base) return false;
    if (static_cast<std::uint64_t>(digit) > limit) return false;
    if (result > (limit - digit) / base) return false;
    result = result * base + digit;
  }
  value = result;
  return true;
}

// Takes the text up to the first occurrence of separator off the front of text; none
// when the separator is missing.
bool TakeUntil(std::string_view& text, char separator, std::string_view& taken) {
  const auto at = text.find(separator);
  if (at == std::string_view::npos) return false;
  taken = text.substr(0, at);
  text.remove_prefix(at + 1);
  return true;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool ParseDecimal(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
  return ParseDigits(text, 10, limit, value);
}

bool ParseHex(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
  return ParseDigits(text, 16, limit, value);
}

std::string UnfoldHead(std::string_view head) {
  std::string unfolded;
  unfolded.reserve(head.size());
  for (std::size_t i = 0; i < head.size(); ++i) {
    const bool folded = head.substr(i, 2) == kLineEnd && i + 2 < head.size() &&
                        (head[i + 2] == ' ' || head[i + 2] == '\t');
    if (folded) {
      ++i;  // the blank after the line end stays
    } else {
      unfolded += head[i];
    }
  }
  return unfolded;
}

bool CHtHead::Parse(std::string_view head) {
  fields_.clear();
  const auto firstEnd = head.find(kLineEnd);
  if (firstEnd == std::string_view::npos || !ParseFirstLine(head.substr(0, firstEnd))) {
    return false;
  }
  std::string_view rest = head.substr(firstEnd + kLineEnd.size());
  for (;;) {
    const auto lineEnd = rest.find(kLineEnd);
    if (lineEnd == std::string_view::npos) break;
    const auto line = rest.substr(0, lineEnd);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) break;
    auto value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    fields_.push_back({std::string(line.substr(0, colon)), std::string(TrimBlanks(value))});
    rest.remove_prefix(lineEnd + kLineEnd.size());
  }
  return true;
}

const std::string* CHtHead::Find(std::string_view name) const {
  for (const auto& field : fields_) {
    if (EqualsIgnoringCase(field.name, name)) return &field.value;
  }
  return nullptr;
}

bool CHtRespHead::ParseFirstLine(std::string_view line) {
  constexpr std::string_view kProtocol = "HTTP/";
  if (line.size() < kProtocol.size() || !EqualsIgnoringCase(line.substr(0, 5), kProtocol)) {
    return false;
  }
  line.remove_prefix(kProtocol.size());
  std::string_view majorText, minorText;
  if (!TakeUntil(line, '.', majorText) || !TakeUntil(line, ' ', minorText)) return false;
  std::uint64_t major = 0, minor = 0, status = 0;
  if (!ParseDecimal(majorText, 0xFFFF, major) || !ParseDecimal(minorText, 0xFFFF, minor)) {
    return false;
  }
  const auto space = line.find(' ');
  if (!ParseDecimal(line.substr(0, space), INT_MAX, status)) return false;
  version_ = static_cast<std::uint32_t>(major << 16 | minor);
  status_ = static_cast<int>(status);
  reason_ = space == std::string_view::npos ? std::string() : std::string(line.substr(space + 1));
  return true;
}

std::string CHtRespHead::FormatFirstLine() const {
  std::string line = "HTTP/" + std::to_string(version_ >> 16) + "." +
                     std::to_string(version_ & 0xFFFF) + " " + std::to_string(status_);
  if (!reason_.empty()) line += " " + reason_;
  return line;
}

bool ShouldCloseConnection(const CHtRespHead& head, bool throughProxy) {
  bool keepAlive = false;
  bool close = false;
  if (const auto* value = head.Find(throughProxy ? "Proxy-Connection" : "Connection")) {
    std::string_view tokens = *value;
    for (;;) {
      const auto comma = tokens.find(',');
      const auto token = TrimBlanks(tokens.substr(0, comma));
      keepAlive = keepAlive || EqualsIgnoringCase(token, "keep-alive");
      close = close || EqualsIgnoringCase(token, "close");
      if (comma == std::string_view::npos) break;
      tokens.remove_prefix(comma + 1);
    }
  }
  constexpr std::uint32_t kVersion10 = 1 << 16;
  if (head.Version() < kVersion10) return true;
  if (head.Version() == kVersion10) return !keepAlive;
  return close;
}

}  // namespace qdrl
