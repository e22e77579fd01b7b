// Which stored names the host may turn into paths, and how the others are reported.
//
// The engine hands names over as the directory records store them. A damaged or crafted
// volume may store a name that is empty, "." or "..", or that holds a '/' or a zero
// byte; joined to a path, such a name would name another file than the entry (up to
// places outside a destination). Every listing, lookup, extraction and mount therefore
// passes names through this one rule.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "ApfsProcs.h"
#include "Failure.h"

// Whether name can be one component of a POSIX path.
inline bool IsPathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// The name in double quotes, safe to print on a terminal: characters of valid UTF-8
// stay as they are; control characters, '"', '\\' and bytes of invalid UTF-8 appear as
// C escapes.
inline std::string PrintableName(std::string_view name) {
  std::string shown = "\"";
  const auto* cursor = reinterpret_cast<const uint8_t*>(name.data());
  const uint8_t* end = cursor + name.size();
  while (cursor < end) {
    const uint8_t* start = cursor;
    const uint8_t lead = *cursor++;
    const int32_t c = lead < 0x80 ? lead : Utf8Decode(lead, &cursor, end);
    const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
    if (c == '"' || c == '\\') {
      shown += {'\\', char(c)};
    } else if (!control) {
      shown.append(reinterpret_cast<const char*>(start), size_t(cursor - start));
    } else {
      cursor = start + 1;  // an invalid sequence is escaped a byte at a time
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", lead);
      shown += escaped;
    }
  }
  return shown + "\"";
}

// The report of an entry of directory (a path, or how else the caller names it) whose
// stored name cannot be a path component: the entry is left out.
inline ReadFailure UnusableName(const std::string& directory, std::string_view name) {
  return Corrupt("directory " + directory + ": entry " + PrintableName(name) +
                 " left out: its name cannot be a file name");
}
