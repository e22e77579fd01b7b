// Form bodies of POST requests: URL-encoded pairs, or multipart with text and file
// parts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qdrl {

struct HtFormPart {
  std::string name;
  std::string value;                          // text parts
  std::optional<std::filesystem::path> file;  // file parts: what is sent
  std::string fileName;                       // file parts: the name the server sees
};

using HtForm = std::vector<HtFormPart>;

// "name=value" pairs joined by "&", each side percent-encoded with a space as "+".
std::string UrlEncodedFormBody(const HtForm& form);

// "%x%u%u" of the time, the thread id and the process id, right-aligned in a
// 40-character field padded with "-".
std::string MultipartBoundary(std::uint64_t seconds, std::uint32_t threadId, std::uint32_t processId);

// The type a file part announces: the registered content type of its extension, else
// "application/octet-stream".
std::string FormFileContentType(const std::filesystem::path& file);

// One form ready to be sent: its header fields and its body, the files read when sent.
class CHtFormBody {
 public:
  // multipart selects the multipart encoding, else URL encoding. Raises a
  // CDiskFileException when a file part's size cannot be read.
  CHtFormBody(const HtForm& form, bool multipart);

  // "Content-Type" and "Content-Length" lines.
  std::string Headers() const;
  std::uint64_t Length() const { return length_; }

  // Hands the body to send in pieces, files in 1024-byte blocks. Raises a
  // CDiskFileException when a file cannot be read or has shrunk.
  void Send(const std::function<void(const char*, std::size_t)>& send) const;

 private:
  struct FileInfo {
    std::uint64_t size;
    std::string type;
  };
  std::string PartHead(const HtFormPart& part, const FileInfo* file) const;
  std::string Closing() const;

  const HtForm& form_;
  bool multipart_;
  std::string boundary_;
  std::vector<std::optional<FileInfo>> files_;
  std::uint64_t length_ = 0;
};

}  // namespace qdrl
