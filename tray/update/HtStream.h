// Reading HTTP responses from a connection: lines, heads and the three kinds of body.
// Stream is anything with Receive(buffer, n) -> bytes that raises an ErrorNumber, and
// kErrorConnectionClosed when the peer has closed.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "HtError.h"
#include "HtHead.h"

namespace qdrl {

// Body data moves in pieces of this size.
inline constexpr std::size_t kHtBlockSize = 1024;
// Longest response head, line of a chunked body, and trailer section.
inline constexpr std::size_t kHtHeadLimit = 64 * 1024;

template <class Stream>
class CHtLineReader {
 public:
  explicit CHtLineReader(Stream& stream) : stream_(stream) {}

  // Forgets buffered bytes; for a new connection.
  void Reset() { begin_ = end_ = 0; }

  // One line up to and including its LF, returned ending in CR LF (a CR is added when
  // missing). A line longer than limit raises tooLong.
  std::string ReadLine(std::size_t limit, ErrorNumber tooLong) {
    std::string line;
    for (;;) {
      if (begin_ == end_) Fill();
      const char* first = buffer_.data() + begin_;
      const char* last = buffer_.data() + end_;
      const char* lineFeed = std::find(first, last, '\n');
      const char* taken = lineFeed == last ? last : lineFeed + 1;
      if (line.size() + (taken - first) > limit) throw tooLong;
      line.append(first, taken);
      begin_ += taken - first;
      if (lineFeed != last) break;
    }
    if (line.size() < 2 || line[line.size() - 2] != '\r') line.insert(line.size() - 1, 1, '\r');
    return line;
  }

  // Up to n bytes: what is left in the buffer, else one receive.
  std::size_t ReadSome(char* out, std::size_t n) {
    if (begin_ == end_) return stream_.Receive(out, n);
    const std::size_t count = std::min(n, end_ - begin_);
    std::copy_n(buffer_.data() + begin_, count, out);
    begin_ += count;
    return count;
  }

 private:
  void Fill() {
    begin_ = 0;
    end_ = 0;
    end_ = stream_.Receive(buffer_.data(), buffer_.size());
  }

  Stream& stream_;
  std::array<char, kHtBlockSize> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Lines up to and including the empty line, folded lines joined.
template <class Reader>
std::string ReadResponseHead(Reader& reader) {
  std::string head;
  for (;;) {
    const std::string line = reader.ReadLine(kHtHeadLimit - head.size(), kErrorBadResponseHead);
    head += line;
    if (line == "\r\n") break;
  }
  return UnfoldHead(head);
}

// Copies exactly count bytes from the reader to sink(data, n) in bounded pieces.
template <class Reader, class Sink>
void CopyBody(Reader& reader, std::uint64_t count, Sink&& sink) {
  std::array<char, kHtBlockSize> block;
  while (count > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count, block.size()));
    const std::size_t got = reader.ReadSome(block.data(), want);
    sink(block.data(), got);
    count -= got;
  }
}

// The value of a Content-Length field: decimal digits only, at most 2^63 - 1.
inline std::uint64_t ParseContentLength(const std::string& value) {
  std::uint64_t length = 0;
  if (!ParseDecimal(value, INT64_MAX, length)) throw kErrorBadContentLength;
  return length;
}

// A chunked body: chunks of hexadecimal size (extensions after ";" ignored), each
// followed by CR LF, a zero-size chunk, then trailer lines up to an empty line.
template <class Reader, class Sink>
void ReadChunkedBody(Reader& reader, Sink&& sink) {
  for (;;) {
    const std::string line = reader.ReadLine(kHtHeadLimit, kErrorBadChunkedEncoding);
    std::uint64_t size = 0;
    if (!ParseHex(TrimBlanks(std::string_view(line).substr(0, line.find(';'))), INT64_MAX, size)) {
      throw kErrorBadChunkedEncoding;
    }
    if (size == 0) break;
    CopyBody(reader, size, sink);
    if (reader.ReadLine(kHtHeadLimit, kErrorBadChunkedEncoding) != "\r\n") {
      throw kErrorBadChunkedEncoding;
    }
  }
  std::size_t trailers = 0;
  for (;;) {
    const std::string line = reader.ReadLine(kHtHeadLimit - trailers, kErrorBadChunkedEncoding);
    trailers += line.size();
    if (line == "\r\n") break;
  }
}

// A body that ends when the peer closes the connection.
template <class Reader, class Sink>
void ReadBodyToClose(Reader& reader, Sink&& sink) {
  std::array<char, kHtBlockSize> block;
  for (;;) {
    std::size_t got = 0;
    try {
      got = reader.ReadSome(block.data(), block.size());
    } catch (ErrorNumber error) {
      if (error == kErrorConnectionClosed) return;
      throw;
    }
    sink(block.data(), got);
  }
}

}  // namespace qdrl
