#include <gtest/gtest.h>

#include "ScriptedSocket.h"
#include "update/HtHead.h"
#include "update/HtStream.h"

namespace qdrl {
namespace {

using test::ScriptedStream;

CHtRespHead Parsed(std::string_view text) {
  CHtRespHead head;
  EXPECT_TRUE(head.Parse(text)) << text;
  return head;
}

bool Rejected(std::string_view text) { return !CHtRespHead().Parse(text); }

TEST(HtRespHead, StatusLine) {
  const auto head = Parsed("HTTP/1.1 404 Not Found\r\n\r\n");
  EXPECT_EQ(head.Version(), 0x00010001u);
  EXPECT_EQ(head.Status(), 404);
  EXPECT_EQ(head.Reason(), "Not Found");
  EXPECT_EQ(head.FormatFirstLine(), "HTTP/1.1 404 Not Found");

  const auto bare = Parsed("http/2.0 200\r\n");
  EXPECT_EQ(bare.Version(), 0x00020000u);
  EXPECT_EQ(bare.Reason(), "");
  EXPECT_EQ(bare.FormatFirstLine(), "HTTP/2.0 200");
  EXPECT_EQ(Parsed("HTTP/65535.0 200 OK\r\n").Version(), 0xFFFF0000u);
}

TEST(HtRespHead, MalformedStatusLines) {
  for (const char* bad : {"HTTP/1.1 200 OK", "HTP/1.1 200 OK\r\n", "HTTP/1 200\r\n",
                          "HTTP/1.1200\r\n", "HTTP/1.1  200\r\n", "HTTP/1.1 -200\r\n",
                          "HTTP/1.1 +200\r\n", "HTTP/1.1 0x200\r\n", "HTTP/65536.1 200\r\n",
                          "HTTP/1.x 200\r\n", "HTTP/ 1.1 200\r\n", "HTTP/1.1 2147483648\r\n",
                          "HTTP/1.1 200x OK\r\n"}) {
    EXPECT_TRUE(Rejected(bad)) << bad;
  }
}

TEST(HtRespHead, FieldsInOrderAndLookupIgnoringCase) {
  const auto head = Parsed(
      "HTTP/1.1 200 OK\r\nContent-Length:  12 \r\nX-Empty:\r\nSet-Cookie: a=1\r\n"
      "set-cookie: b=2\r\nX-Colon: a:b\r\n\r\nAfter: ignored\r\n");
  ASSERT_EQ(head.Fields().size(), 5u);
  EXPECT_EQ(*head.Find("content-LENGTH"), "12");
  EXPECT_EQ(*head.Find("x-empty"), "");
  EXPECT_EQ(*head.Find("Set-Cookie"), "a=1");
  EXPECT_EQ(head.Fields()[3].value, "b=2");
  EXPECT_EQ(*head.Find("X-Colon"), "a:b");
  EXPECT_EQ(head.Find("After"), nullptr);
  EXPECT_EQ(head.Find("Content-Lengt"), nullptr);
}

TEST(HtRespHead, FieldScanStopsAtLineWithoutColonOrEnd) {
  const auto head = Parsed("HTTP/1.1 200 OK\r\nA: 1\r\nno colon\r\nB: 2\r\n");
  EXPECT_EQ(head.Fields().size(), 1u);
  EXPECT_EQ(Parsed("HTTP/1.1 200 OK\r\nA: 1\r\nB: 2").Fields().size(), 1u);
  // Parsing again starts afresh.
  CHtRespHead reused = Parsed("HTTP/1.1 200 OK\r\nA: 1\r\n\r\n");
  EXPECT_TRUE(reused.Parse("HTTP/1.1 301 Moved\r\nB: 2\r\n\r\n"));
  EXPECT_EQ(reused.Find("A"), nullptr);
  EXPECT_EQ(reused.Status(), 301);
}

TEST(HtRespHead, FoldedLinesJoin) {
  EXPECT_EQ(UnfoldHead("A: 1\r\n 2\r\n\t3\r\n\r\n"), "A: 1 2\t3\r\n\r\n");
  ScriptedStream stream("HTTP/1.1 200 OK\r\nX-Long: one\r\n  two\r\nY: 3\r\n\r\nbody", 3);
  CHtLineReader reader(stream);
  const auto head = Parsed(ReadResponseHead(reader));
  EXPECT_EQ(*head.Find("X-Long"), "one  two");
  EXPECT_EQ(*head.Find("Y"), "3");
  char rest[8] = {};
  EXPECT_EQ(reader.ReadSome(rest, sizeof rest), 3u);  // buffered bytes first
  EXPECT_EQ(std::string(rest, 3), "bod");
}

TEST(HtLineReader, LinesEndInCrLf) {
  ScriptedStream stream("a\nb\r\n\n\r\nlast", 2);
  CHtLineReader reader(stream);
  EXPECT_EQ(reader.ReadLine(100, 1), "a\r\n");
  EXPECT_EQ(reader.ReadLine(100, 1), "b\r\n");
  EXPECT_EQ(reader.ReadLine(100, 1), "\r\n");
  EXPECT_EQ(reader.ReadLine(100, 1), "\r\n");
  try {
    reader.ReadLine(100, 1);
    FAIL() << "a line without its end was returned";
  } catch (ErrorNumber error) {
    EXPECT_EQ(error, kErrorConnectionClosed);
  }
}

TEST(HtLineReader, LongLinesAndHeadsFail) {
  ScriptedStream longLine(std::string(10, 'x') + "\n");
  CHtLineReader reader(longLine);
  EXPECT_THROW(reader.ReadLine(10, kErrorBadResponseHead), ErrorNumber);

  std::string head = "HTTP/1.1 200 OK\r\n";
  while (head.size() < kHtHeadLimit) head += "X-Filler: 0123456789012345678901234567890123456789\r\n";
  head += "\r\n";
  ScriptedStream big(head);
  CHtLineReader bigReader(big);
  try {
    ReadResponseHead(bigReader);
    FAIL() << "a head over the limit was read";
  } catch (ErrorNumber error) {
    EXPECT_EQ(error, kErrorBadResponseHead);
  }

  // One line that never ends stops at the limit without waiting for more.
  ScriptedStream endless(std::string(kHtHeadLimit + 10, 'y'));
  CHtLineReader endlessReader(endless);
  EXPECT_THROW(ReadResponseHead(endlessReader), ErrorNumber);
}

TEST(HtConnection, CloseDecision) {
  struct Case {
    const char* head;
    bool close;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, , CLOSE \r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nConnection: closed\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\n\r\n", true},
      {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nConnection: x,keep-alive\r\n\r\n", false},
      {"HTTP/0.9 200 OK\r\nConnection: keep-alive\r\n\r\n", true},
      {"HTTP/2.0 200 OK\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nProxy-Connection: close\r\n\r\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShouldCloseConnection(Parsed(c.head), false), c.close) << c.head;
  }
  EXPECT_TRUE(ShouldCloseConnection(Parsed("HTTP/1.1 200 OK\r\nProxy-Connection: close\r\n\r\n"), true));
  EXPECT_FALSE(ShouldCloseConnection(Parsed("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"), true));
}

TEST(HtNumbers, WholeTextDigitsOnly) {
  std::uint64_t value = 0;
  EXPECT_TRUE(ParseDecimal("9223372036854775807", INT64_MAX, value));
  EXPECT_EQ(value, 9223372036854775807u);
  EXPECT_FALSE(ParseDecimal("9223372036854775808", INT64_MAX, value));
  EXPECT_FALSE(ParseDecimal("18446744073709551616", UINT64_MAX, value));
  EXPECT_TRUE(ParseHex("7fffFFFFffffffff", INT64_MAX, value));
  EXPECT_FALSE(ParseHex("8000000000000000", INT64_MAX, value));
  EXPECT_TRUE(ParseHex("00000000000000000001a", INT64_MAX, value));
  EXPECT_EQ(value, 26u);
  for (const char* bad : {"", " 1", "1 ", "+1", "-1", "0x1", "1g", "١"}) {
    EXPECT_FALSE(ParseDecimal(bad, INT64_MAX, value)) << bad;
    EXPECT_FALSE(ParseHex(bad, INT64_MAX, value)) << bad;
  }
  EXPECT_FALSE(ParseDecimal("1e3", INT64_MAX, value));
  EXPECT_TRUE(ParseHex("1e3", INT64_MAX, value));
}

}  // namespace
}  // namespace qdrl
