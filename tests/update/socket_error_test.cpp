// Socket and TLS failures against the texts of the program's string table: a
// Windows Sockets code must land on the text that names it.
#include "update/SocketError.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>

namespace qdrl {
namespace {

std::map<int, std::string> StringTable() {
  std::ifstream script(QUADREL_TRAY_RESOURCE_SCRIPT);
  EXPECT_TRUE(script.good()) << QUADREL_TRAY_RESOURCE_SCRIPT;
  std::map<int, std::string> texts;
  const std::regex entry(R"(^\s*(\d+),\s*\"(.*)\"\s*$)");
  std::string line;
  for (std::smatch match; std::getline(script, line);) {
    if (std::regex_search(line, match, entry)) texts[std::stoi(match[1])] = match[2];
  }
  return texts;
}

std::string TextOf(ErrorNumber error) {
  static const auto texts = StringTable();
  const auto id = ErrorTextId(error);
  if (!id) return {};
  const auto text = texts.find(*id);
  return text == texts.end() ? std::string() : text->second;
}

TEST(TraySocketError, EveryWindowsSocketsTextIsReachedByItsCode) {
  const std::regex code(R"(\((\d{5})\)\.$)");
  for (std::uint16_t index = 1; index <= 41; ++index) {
    const std::string text = TextOf(MakeErrorNumber(1, index));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, code)) << index << ": " << text;
    EXPECT_EQ(MapSocketError(std::stoi(match[1]), SocketFailure::kConnect), MakeErrorNumber(1, index))
        << text;
  }
}

TEST(TraySocketError, UnlistedCodesFallBackToTheOperation) {
  EXPECT_EQ(TextOf(MapSocketError(10061, SocketFailure::kConnect)), "Connection refused (10061).");
  EXPECT_EQ(TextOf(MapSocketError(12345, SocketFailure::kConnect)), "Connect error.");
  EXPECT_EQ(TextOf(MapSocketError(0, SocketFailure::kCreate)), "Create socket error.");
  EXPECT_EQ(TextOf(MapSocketError(5, SocketFailure::kSelect)), "Select error.");
  EXPECT_EQ(TextOf(MapSocketError(-1, SocketFailure::kSend)), "Send error.");
  EXPECT_EQ(TextOf(MapSocketError(10000, SocketFailure::kReceive)), "Receive error.");
}

TEST(TraySocketError, SocketLayerNumbersHaveTheirTexts) {
  EXPECT_EQ(TextOf(SocketError(SocketFailure::kHostNotFound)), "Cannot find server or DNS Error.");
  EXPECT_EQ(TextOf(SocketError(SocketFailure::kSelectTimeout)), "Select error timeout.");
  EXPECT_EQ(TextOf(SocketError(SocketFailure::kConnectionClosed)), "Connection unexpectedly closed.");
  EXPECT_EQ(TextOf(MakeErrorNumber(10, 1)), "The data file is damaged.");
  EXPECT_EQ(TextOf(kErrorCancelled), "");
}

TEST(TraySocketError, TlsErrorKindsMapToCategoryThree) {
  EXPECT_EQ(TextOf(MapTlsError(SSL_ERROR_SSL)),
            "A failure in the SSL library occurred, usually a protocol error (SSL_ERROR_SSL).");
  EXPECT_EQ(TextOf(MapTlsError(SSL_ERROR_SYSCALL)), "Some I/O error occurred (SSL_ERROR_SYSCALL).");
  EXPECT_EQ(TextOf(MapTlsError(SSL_ERROR_ZERO_RETURN)),
            "The TLS/SSL connection has been closed (SSL_ERROR_ZERO_RETURN).");
  EXPECT_EQ(TextOf(MapTlsError(SSL_ERROR_WANT_X509_LOOKUP)), "SSL socket error.");
}

}  // namespace
}  // namespace qdrl
