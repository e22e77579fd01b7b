#include "UpdateDescription.h"

#include <cstring>
#include <string_view>

namespace qdrl {

namespace {

constexpr char kMagic[4] = {'$', 'A', 'U', 'D'};
constexpr char kFormatVersion[3] = {'1', '0', '0'};

struct RejectedFile {
  std::string reason;
};

std::uint32_t ReadUint32(CSafeDataFileIn& file) {
  std::uint8_t bytes[4];
  ExactRead(file, bytes, sizeof(bytes));
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
}

// A 32-bit count of UTF-16 code units, then the units. The count is checked against
// what the file can still hold before anything is allocated for it.
std::u16string ReadCountedString(CSafeDataFileIn& file) {
  const std::uint32_t count = ReadUint32(file);
  if (count > 0x7FFFFFFF) throw RejectedFile{"negative string length"};
  if (std::uint64_t{count} * 2 > file.RemainingAtMost()) throw kErrorDataFileDamaged;
  std::vector<std::uint8_t> bytes(std::size_t{count} * 2);
  ExactRead(file, bytes.data(), bytes.size());
  std::u16string text(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return text;
}

// The installer's file name ends in it: 1 to 8 ASCII letters and digits, so that it
// can name neither another folder ("exe\\..\\x") nor a stream ("exe:s").
bool IsPlainExtension(std::u16string_view extension) {
  if (extension.empty() || extension.size() > 8) return false;
  for (const char16_t c : extension) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

template <std::size_t N>
void ReadBytes(CSafeDataFileIn& file, std::array<std::uint8_t, N>& out) {
  ExactRead(file, out.data(), N);
}

UpdateDescription ReadFields(CSafeDataFileIn& file) {
  char magic[4];
  ExactRead(file, magic, sizeof(magic));
  if (std::memcmp(magic, kMagic, sizeof(magic)) != 0) throw RejectedFile{"Not a valid PUD file."};
  char format[3];
  ExactRead(file, format, sizeof(format));
  if (std::memcmp(format, kFormatVersion, sizeof(format)) != 0) {
    throw RejectedFile{"Unsupported .PUD file version '" + std::string(format, sizeof(format)) + "'."};
  }
  UpdateDescription read;
  VersionBytes version;
  ReadBytes(file, version);
  read.version = FromBytes(version);
  read.description = ReadCountedString(file);
  read.secondText = ReadCountedString(file);
  ReadBytes(file, read.secondBlock);
  read.downloadUrl = ReadCountedString(file);
  ReadBytes(file, read.installerChecksum);
  read.installerExtension = ReadCountedString(file);
  if (!IsPlainExtension(read.installerExtension)) {
    throw RejectedFile{"The installer's file extension is not 1 to 8 letters and digits."};
  }
  read.tableA.resize(UpdateDescription::kTableSize);
  ExactRead(file, read.tableA.data(), read.tableA.size());
  read.tableB.resize(UpdateDescription::kTableSize);
  ExactRead(file, read.tableB.data(), read.tableB.size());
  return read;
}

}  // namespace

bool ReadUpdateDescription(const std::filesystem::path& path, UpdateDescription& record,
                           std::string* reason) {
  CSafeDataFileIn file;
  std::string why;
  try {
    file.Open(path, disk_file::kReadSharingRead);
    UpdateDescription read = ReadFields(file);
    file.Close();
    record = std::move(read);
    return true;
  } catch (const CDiskFileException& failure) {
    why = "file system error " + std::to_string(failure.Code());
  } catch (ErrorNumber) {
    why = "The data file is damaged.";
  } catch (const RejectedFile& rejected) {
    why = rejected.reason;
  }
  file.Close();
  if (reason != nullptr) *reason = why;
  return false;
}

}  // namespace qdrl
