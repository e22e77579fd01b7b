#include <gtest/gtest.h>

#include "ScriptedSocket.h"
#include "update/HtStream.h"

namespace qdrl {
namespace {

using test::ScriptedStream;

// Decodes a body of the given kind from wire bytes delivered in pieces of pieceSize;
// returns the decoded bytes, or the raised error number.
struct Decoded {
  std::string body;
  std::optional<ErrorNumber> error;
  std::size_t left = 0;  // wire bytes not consumed
  std::size_t largestWrite = 0;
};

enum class Kind { kChunked, kLength, kToClose };

Decoded Decode(Kind kind, std::string wire, std::size_t pieceSize = 1024, std::string length = {}) {
  ScriptedStream stream(std::move(wire), pieceSize);
  CHtLineReader reader(stream);
  Decoded out;
  auto sink = [&](const char* data, std::size_t n) {
    out.body.append(data, n);
    out.largestWrite = std::max(out.largestWrite, n);
  };
  try {
    switch (kind) {
      case Kind::kChunked: ReadChunkedBody(reader, sink); break;
      case Kind::kLength: CopyBody(reader, ParseContentLength(length), sink); break;
      case Kind::kToClose: ReadBodyToClose(reader, sink); break;
    }
  } catch (ErrorNumber error) {
    out.error = error;
  }
  out.left = stream.Left();
  return out;
}

TEST(HtChunkedBody, ChunksWithExtensionsAndTrailers) {
  const std::string wire =
      "5;name=value\r\nhello\r\n"
      " 1A \r\nabcdefghijklmnopqrstuvwxyz\r\n"
      "0001;x\r\n!\r\n"
      "0;last\r\nTrailer-A: 1\r\nTrailer-B: 2\r\n\r\nNEXT";
  for (const std::size_t piece : {1, 3, 7, 1024}) {
    const auto out = Decode(Kind::kChunked, wire, piece);
    EXPECT_FALSE(out.error) << piece;
    EXPECT_EQ(out.body, "helloabcdefghijklmnopqrstuvwxyz!");
  }
  // What follows the body stays for the next response.
  ScriptedStream stream(wire, 1024);
  CHtLineReader reader(stream);
  ReadChunkedBody(reader, [](const char*, std::size_t) {});
  char next[8] = {};
  const std::size_t n = reader.ReadSome(next, sizeof next);
  EXPECT_EQ(std::string(next, n), "NEXT");
}

TEST(HtChunkedBody, BareLineFeedsAccepted) {
  const auto out = Decode(Kind::kChunked, "3\nabc\n0\n\n");
  EXPECT_FALSE(out.error);
  EXPECT_EQ(out.body, "abc");
}

TEST(HtChunkedBody, MalformedEncodings) {
  for (const char* bad : {"3\r\nabcX\r\n0\r\n\r\n", "3\r\nabc\r\r\n0\r\n\r\n", "-3\r\nabc\r\n0\r\n\r\n",
                          "+3\r\nabc\r\n0\r\n\r\n", "0x3\r\nabc\r\n0\r\n\r\n", "\r\n", "g\r\n",
                          "10000000000000000\r\n", "3 3\r\nabc\r\n"}) {
    const auto out = Decode(Kind::kChunked, bad);
    EXPECT_EQ(out.error, kErrorBadChunkedEncoding) << bad;
  }
  EXPECT_EQ(Decode(Kind::kChunked, "5\r\nabc").error, kErrorConnectionClosed);
  EXPECT_EQ(Decode(Kind::kChunked, "3\r\nabc\r\n0\r\nTrailer: x\r\n").error, kErrorConnectionClosed);
}

TEST(HtChunkedBody, HugeChunkSizeIsCopiedInBoundedPieces) {
  // The largest size a server can announce is not allocated: data flows through the
  // block buffer until the peer stops sending.
  const std::string data(5000, 'z');
  const auto out = Decode(Kind::kChunked, "7fffffffffffffff\r\n" + data);
  EXPECT_EQ(out.error, kErrorConnectionClosed);
  EXPECT_EQ(out.body, data);
  EXPECT_LE(out.largestWrite, kHtBlockSize);
}

TEST(HtChunkedBody, EndlessTrailersAndLongSizeLinesFail) {
  std::string trailers = "0\r\n";
  while (trailers.size() <= kHtHeadLimit) trailers += "T: xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n";
  trailers += "\r\n";
  EXPECT_EQ(Decode(Kind::kChunked, trailers).error, kErrorBadChunkedEncoding);
  EXPECT_EQ(Decode(Kind::kChunked, "1;" + std::string(kHtHeadLimit, 'e') + "\r\nx\r\n0\r\n\r\n").error,
            kErrorBadChunkedEncoding);
}

TEST(HtLengthBody, ReadsExactlyTheLength) {
  std::string data(3000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  for (const std::size_t piece : {1, 100, 1024, 4096}) {
    const auto out = Decode(Kind::kLength, data + "EXTRA", piece, "3000");
    EXPECT_FALSE(out.error);
    EXPECT_EQ(out.body, data);
    EXPECT_EQ(out.left, 5u);
    EXPECT_LE(out.largestWrite, kHtBlockSize);
  }
  EXPECT_EQ(Decode(Kind::kLength, "abc", 1024, "0").body, "");
  EXPECT_EQ(Decode(Kind::kLength, "abc", 1024, "5").error, kErrorConnectionClosed);
}

TEST(HtLengthBody, InvalidLengths) {
  for (const char* bad : {"-5", "", "+5", " 5", "5 ", "0x10", "5a", "9223372036854775808",
                          "99999999999999999999999"}) {
    EXPECT_EQ(Decode(Kind::kLength, "abcdef", 1024, bad).error, kErrorBadContentLength) << bad;
  }
  EXPECT_EQ(Decode(Kind::kLength, "abc", 1024, "9223372036854775807").body, "abc");
}

TEST(HtToCloseBody, EndsWhenThePeerCloses) {
  const std::string data(2500, 'q');
  const auto out = Decode(Kind::kToClose, data, 700);
  EXPECT_FALSE(out.error);
  EXPECT_EQ(out.body, data);
  EXPECT_FALSE(Decode(Kind::kToClose, "").error);
}

TEST(HtToCloseBody, OtherErrorsStillFail) {
  struct Failing {
    std::size_t Receive(char*, std::size_t) { throw MakeErrorNumber(2, 8); }
  } failing;
  CHtLineReader reader(failing);
  EXPECT_THROW(ReadBodyToClose(reader, [](const char*, std::size_t) {}), ErrorNumber);
}

}  // namespace
}  // namespace qdrl
