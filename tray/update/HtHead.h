// HTTP message heads: the ordered header fields and, for responses, the status line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TextCodes.h"

namespace qdrl {

struct HtField {
  std::string name;
  std::string value;
};

class CHtHead {
 public:
  virtual ~CHtHead() = default;

  virtual bool ParseFirstLine(std::string_view line) = 0;
  virtual std::string FormatFirstLine() const = 0;

  // Parses a whole head (lines ending in CR LF, folded lines already joined). The
  // fields are read up to the first line without ":" or without a line end.
  bool Parse(std::string_view head);

  // The value of the first field whose name equals name ignoring case; null if none.
  const std::string* Find(std::string_view name) const;

  const std::vector<HtField>& Fields() const { return fields_; }

 private:
  std::vector<HtField> fields_;
};

class CHtRespHead : public CHtHead {
 public:
  bool ParseFirstLine(std::string_view line) override;
  std::string FormatFirstLine() const override;

  std::uint32_t Version() const { return version_; }  // major << 16 | minor
  int Status() const { return status_; }
  const std::string& Reason() const { return reason_; }

 private:
  std::uint32_t version_ = 0;
  int status_ = 0;
  std::string reason_;
};

// Trims spaces, tabs, CR and LF from both ends.
std::string_view TrimBlanks(std::string_view text);

// Parses unsigned decimal or hexadecimal text in which every character is a digit (no
// blanks, signs or "0x") and whose value is at most limit.
bool ParseDecimal(std::string_view text, std::uint64_t limit, std::uint64_t& value);
bool ParseHex(std::string_view text, std::uint64_t limit, std::uint64_t& value);

// Joins folded lines: every CR LF followed by a space or a tab is dropped.
std::string UnfoldHead(std::string_view head);

// Whether the connection must be closed after a response with this head; the field
// is "Connection", or "Proxy-Connection" when the request went through a proxy.
bool ShouldCloseConnection(const CHtRespHead& head, bool throughProxy);

}  // namespace qdrl
