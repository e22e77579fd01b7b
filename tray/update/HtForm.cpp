#include "HtForm.h"

#include <array>
#include <chrono>
#include <cstdio>

#include "DiskFile.h"
#include "Url.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qdrl {

namespace {

constexpr std::size_t kFileBlock = 1024;
constexpr char kOctetStream[] = "application/octet-stream";

std::uint32_t CurrentThreadId() {
#ifdef _WIN32
  return GetCurrentThreadId();
#else
  return static_cast<std::uint32_t>(gettid());
#endif
}

std::uint32_t CurrentProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<std::uint32_t>(getpid());
#endif
}

// Windows' ERROR_HANDLE_EOF: the file ended before the size it had when counted.
constexpr std::uint32_t kErrorHandleEof = 38;

std::uint64_t FileSize(const std::filesystem::path& path) {
  CDiskFile file;
  file.Open(path, disk_file::kSizeOnly);
  return file.GetLength();
}

void SendFile(const std::filesystem::path& path, std::uint64_t size,
              const std::function<void(const char*, std::size_t)>& send) {
  CDiskFile file;
  file.Open(path, disk_file::kReadSharingRead);
  std::array<char, kFileBlock> block;
  while (size > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.size()));
    const std::size_t got = file.Read(block.data(), want);
    if (got == 0) throw CDiskFileException(kErrorHandleEof);
    send(block.data(), got);
    size -= got;
  }
}

}  // namespace

std::string UrlEncodedFormBody(const HtForm& form) {
  std::string body;
  for (const auto& part : form) {
    if (!body.empty()) body += '&';
    body += PercentEncode(part.name, "") + "=" + PercentEncode(part.value, "");
  }
  return body;
}

std::string MultipartBoundary(std::uint64_t seconds, std::uint32_t threadId, std::uint32_t processId) {
  char text[64];
  std::snprintf(text, sizeof text, "%llx%u%u", static_cast<unsigned long long>(seconds), threadId,
                processId);
  std::string boundary(text);
  if (boundary.size() < 40) boundary.insert(0, 40 - boundary.size(), '-');
  return boundary;
}

std::string FormFileContentType(const std::filesystem::path& file) {
#ifdef _WIN32
  const std::wstring extension = file.extension().wstring();
  if (extension.empty()) return kOctetStream;
  wchar_t type[256];
  DWORD size = sizeof type;
  if (RegGetValueW(HKEY_CLASSES_ROOT, extension.c_str(), L"Content Type", RRF_RT_REG_SZ, nullptr,
                   type, &size) != ERROR_SUCCESS) {
    return kOctetStream;
  }
  std::string ascii;
  for (const wchar_t* c = type; *c != 0; ++c) {
    if (*c >= 0x80) return kOctetStream;
    ascii += static_cast<char>(*c);
  }
  return ascii;
#else
  (void)file;
  return kOctetStream;
#endif
}

CHtFormBody::CHtFormBody(const HtForm& form, bool multipart) : form_(form), multipart_(multipart) {
  if (!multipart_) {
    length_ = UrlEncodedFormBody(form_).size();
    return;
  }
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  boundary_ = MultipartBoundary(
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count()),
      CurrentThreadId(), CurrentProcessId());
  for (const auto& part : form_) {
    std::optional<FileInfo> info;
    if (part.file) info = FileInfo{FileSize(*part.file), FormFileContentType(*part.file)};
    length_ += PartHead(part, info ? &*info : nullptr).size() + 2;
    length_ += info ? info->size : part.value.size();
    files_.push_back(std::move(info));
  }
  length_ += Closing().size();
}

std::string CHtFormBody::Headers() const {
  if (!multipart_) {
    return "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(length_) + "\r\n";
  }
  return "Content-Type: multipart/form-data; boundary=" + boundary_ +
         "\r\nContent-Length: " + std::to_string(length_) + "\r\n";
}

std::string CHtFormBody::PartHead(const HtFormPart& part, const FileInfo* file) const {
  std::string head = "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
  if (file != nullptr) head += "; filename=\"" + part.fileName + "\"\r\nContent-Type: " + file->type;
  return head + "\r\n\r\n";
}

std::string CHtFormBody::Closing() const { return "--" + boundary_ + "--\r\n"; }

void CHtFormBody::Send(const std::function<void(const char*, std::size_t)>& send) const {
  if (!multipart_) {
    const std::string body = UrlEncodedFormBody(form_);
    send(body.data(), body.size());
    return;
  }
  for (std::size_t i = 0; i < form_.size(); ++i) {
    const auto& part = form_[i];
    const auto& file = files_[i];
    const std::string head = PartHead(part, file ? &*file : nullptr);
    send(head.data(), head.size());
    if (file) {
      SendFile(*part.file, file->size, send);
    } else {
      send(part.value.data(), part.value.size());
    }
    send("\r\n", 2);
  }
  const std::string closing = Closing();
  send(closing.data(), closing.size());
}

}  // namespace qdrl
