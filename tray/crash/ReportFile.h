// The files of a crash report: the program file it identifies and the report file in
// the temporary directory.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qdrl {

// MD5 of the whole file at `path`, folded to 32 bits; 0 when it cannot be read.
std::uint32_t FileIdentity(const std::wstring& path);

// The temporary directory with its trailing backslash; "c:\" when it is unknown.
std::wstring ReportDirectory();

// Creates or truncates the file and writes `bytes`; others may read it meanwhile. A
// file that could not be written whole is removed again.
bool WriteReportFile(const std::wstring& path, std::span<const std::uint8_t> bytes);

}  // namespace qdrl
