#include "ReportFormat.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>

namespace qdrl {

namespace {

// printf-style formatting into a string of whatever length the result needs.
std::wstring Format(const wchar_t* format, ...) {
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list args;
    va_start(args, format);
    const int length = std::vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    // vswprintf reports a result that does not fit as a negative length.
    if (length >= 0) return std::wstring(buffer.data(), static_cast<std::size_t>(length));
    if (buffer.size() >= 1u << 16) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// The C locale's abbreviations, which the report always uses (the "%b" of its time).
constexpr const wchar_t* kMonthAbbreviations[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                                  L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

const wchar_t* MonthAbbreviation(unsigned month) {
  return month >= 1 && month <= 12 ? kMonthAbbreviations[month - 1] : L"???";
}

// "%Y%m%d%H%M%S"
std::wstring CompactTime(const ReportTime& t) {
  return Format(L"%04u%02u%02u%02u%02u%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// "%d-%b-%y %H:%M:%S"
std::wstring ReadableTime(const ReportTime& t) {
  return Format(L"%02u-%ls-%02u %02u:%02u:%02u", t.day, MonthAbbreviation(t.month), t.year % 100,
                t.hour, t.minute, t.second);
}

void AppendUtf16Unit(std::vector<std::uint8_t>& bytes, std::uint32_t unit) {
  bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
}

// wchar_t holds UTF-16 units on Windows and whole code points elsewhere.
void AppendUtf16(std::vector<std::uint8_t>& bytes, std::wstring_view text) {
  for (wchar_t c : text) {
    const auto point = static_cast<std::uint32_t>(c);
    if (point > 0xFFFF) {
      AppendUtf16Unit(bytes, 0xD800 + ((point - 0x10000) >> 10));
      AppendUtf16Unit(bytes, 0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      AppendUtf16Unit(bytes, point);
    }
  }
}

}  // namespace

std::wstring ReportFileName(const CrashIdentity& crash) {
  const ProductVersion& v = crash.fileVersion;
  return Format(L"%u%u%u%u_%ls_%ls_%08X_%016llX_%08X_%08X_%ls.txt", v.major, v.minor, v.third,
                v.fourth, crash.recordedFileName.c_str(), std::wstring(kArchitecture).c_str(),
                crash.fileIdentity, static_cast<unsigned long long>(crash.crashAddress),
                crash.exceptionCode, crash.machineId, CompactTime(crash.time).c_str());
}

std::vector<std::wstring> ReportHeadLines(const CrashIdentity& crash, const ReportOsVersion& os) {
  const ProductVersion& v = crash.fileVersion;
  return {
      ReadableTime(crash.time),
      Format(L"%ls %ls %u%u%u%u %08X internal error (%llX/%X)", crash.recordedFileName.c_str(),
             std::wstring(kArchitecture).c_str(), v.major, v.minor, v.third, v.fourth,
             crash.fileIdentity, static_cast<unsigned long long>(crash.crashAddress),
             crash.exceptionCode),
      Format(L"OS Info: MajorVersion[%u] MinorVersion[%u] Build[%u] Platform[%u] CSDVersion[%ls]",
             os.major, os.minor, os.build, os.platformId, os.servicePack.c_str()),
  };
}

std::wstring ModuleLine(const ReportModule& module) {
  if (!module.versions) return module.path;
  const ProductVersion& p = module.versions->product;
  const ProductVersion& f = module.versions->file;
  return Format(
      L"%ls Product Version = %u.%u.%u.%u  File Version = %u.%u.%u.%u Base=%016llX Size=%08X",
      module.path.c_str(), p.major, p.minor, p.third, p.fourth, f.major, f.minor, f.third, f.fourth,
      static_cast<unsigned long long>(module.base), module.size);
}

std::wstring FrameLine(const StackFrame& frame) {
  return Format(L"%016llX  %016llX  %04X:%08X %ls",
                static_cast<unsigned long long>(frame.programCounter),
                static_cast<unsigned long long>(frame.frameAddress), frame.section,
                frame.sectionOffset, frame.modulePath.c_str());
}

std::vector<std::uint8_t> EncodeReport(std::span<const std::wstring> lines) {
  std::vector<std::uint8_t> bytes{0xFF, 0xFE};
  for (const std::wstring& line : lines) {
    AppendUtf16(bytes, line);
    AppendUtf16(bytes, L"\r\n");
  }
  return bytes;
}

std::uint64_t ChooseCrashAddress(std::span<const StackFrame> frames, const std::wstring& ownPath,
                                 const SameModulePath& same) {
  for (const StackFrame& frame : frames) {
    if (same(frame.modulePath, ownPath)) return frame.programCounter;
  }
  return 0;
}

std::uint32_t FoldFileIdentity(const Md5Digest& digest) {
  std::uint32_t hash = 0;
  for (std::uint8_t byte : digest) {
    hash += byte;
    hash += hash << 10;
    hash ^= hash >> 6;
  }
  hash += hash << 3;
  hash ^= hash >> 11;
  hash += hash << 15;
  return hash;
}

std::optional<LogicalAddress> FindSection(std::span<const SectionRange> sections,
                                          std::uint64_t offset) {
  for (std::size_t index = 0; index < sections.size(); ++index) {
    const SectionRange& s = sections[index];
    const std::uint64_t start = s.virtualAddress;
    const std::uint64_t end = start + std::max(s.virtualSize, s.rawSize);
    if (offset >= start && offset <= end) {
      return LogicalAddress{static_cast<std::uint32_t>(index + 1),
                            static_cast<std::uint32_t>(offset - start)};
    }
  }
  return std::nullopt;
}

}  // namespace qdrl
