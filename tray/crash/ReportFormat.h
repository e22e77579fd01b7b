// The crash report's platform-free parts: its records, its file name and lines, the
// choice of the crash address, the file identity and the section look-up. Built for
// Windows and natively for the unit tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Version.h"
#include "update/SafeDataFile.h"

namespace qdrl {

// One step of the stack walk, innermost first. Section 0 and an empty path mean the
// program counter lies in no loaded image.
struct StackFrame {
  std::uint64_t programCounter = 0;
  std::uint64_t frameAddress = 0;
  std::uint32_t section = 0;  // 1-based
  std::uint32_t sectionOffset = 0;
  std::wstring modulePath;
};

// A module of the process; without versions when its version block has no fixed file
// information.
struct ReportModule {
  struct Versions {
    ProductVersion product;
    ProductVersion file;
  };
  std::wstring path;
  std::optional<Versions> versions;
  std::uint64_t base = 0;
  std::uint32_t size = 0;
};

// A UTC instant, to the second; month 1 to 12.
struct ReportTime {
  unsigned year = 0;
  unsigned month = 1;
  unsigned day = 1;
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;
};

struct ReportOsVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t platformId = 0;
  std::wstring servicePack;
};

// What names one crash: it makes up the file name and the first two lines.
struct CrashIdentity {
  ProductVersion fileVersion;
  std::wstring recordedFileName;
  std::uint32_t fileIdentity = 0;
  std::uint64_t crashAddress = 0;
  std::uint32_t exceptionCode = 0;
  std::uint32_t machineId = 0;
  ReportTime time;
};

inline constexpr std::wstring_view kArchitecture = L"x64";

// "<versions>_<file>_x64_<identity>_<address>_<code>_<machine>_<time>.txt".
std::wstring ReportFileName(const CrashIdentity& crash);

// Lines 1 to 3: the time, the program and exception, the OS version.
std::vector<std::wstring> ReportHeadLines(const CrashIdentity& crash, const ReportOsVersion& os);

inline constexpr std::wstring_view kModulesHeading = L"Loaded modules:";
inline constexpr std::wstring_view kCallStackHeading = L"Call stack:";
inline constexpr std::wstring_view kCallStackColumns =
    L"Address           Frame             Logical addr  Module";

std::wstring ModuleLine(const ReportModule& module);
std::wstring FrameLine(const StackFrame& frame);

// The report file's bytes: the UTF-16LE byte-order mark, then every line in UTF-16LE
// followed by CR LF.
std::vector<std::uint8_t> EncodeReport(std::span<const std::wstring> lines);

// Whether two module paths name the same module (the CRT's case-insensitive compare).
using SameModulePath = std::function<bool(const std::wstring&, const std::wstring&)>;

// The program counter of the innermost frame inside the program's own module; 0 when
// no frame is.
std::uint64_t ChooseCrashAddress(std::span<const StackFrame> frames, const std::wstring& ownPath,
                                 const SameModulePath& same);

// The program file's MD5 folded to 32 bits with the one-at-a-time hash.
std::uint32_t FoldFileIdentity(const Md5Digest& digest);

// A section header as far as the look-up needs it.
struct SectionRange {
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawSize = 0;
};

struct LogicalAddress {
  std::uint32_t section = 0;  // 1-based
  std::uint32_t offset = 0;
};

// The first section whose range, from its virtual address up to the larger of its
// virtual and raw sizes inclusive, holds `offset` (counted from the image base).
std::optional<LogicalAddress> FindSection(std::span<const SectionRange> sections,
                                          std::uint64_t offset);

// More frames than any sound stack of this program has; a corrupted stack can make
// the walk go round in circles, so it stops here.
inline constexpr std::size_t kMaxStackFrames = 256;

}  // namespace qdrl
