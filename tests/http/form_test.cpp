#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ScriptedSocket.h"
#include "update/HtClient.h"
#include "update/HtForm.h"

namespace qdrl {
namespace {

using test::ScriptedSocket;

class HtFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("http_form_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    upload_ = dir_ / "report.txt";
    std::ofstream out(upload_, std::ios::binary);
    for (int i = 0; i < 2500; ++i) out.put(static_cast<char>(i % 251));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Collect(const CHtFormBody& body) {
    std::string bytes;
    body.Send([&](const char* data, std::size_t n) { bytes.append(data, n); });
    return bytes;
  }

  std::filesystem::path dir_;
  std::filesystem::path upload_;
};

TEST_F(HtFormTest, UrlEncodedPairs) {
  const HtForm form{{"a b", "x&y=z", {}, {}}, {"c-._", "\xC3\xA9/+%", {}, {}}, {"empty", "", {}, {}}};
  const CHtFormBody body(form, false);
  const std::string expected = "a+b=x%26y%3Dz&c-._=%C3%A9%2F%2B%25&empty=";
  EXPECT_EQ(Collect(body), expected);
  EXPECT_EQ(body.Headers(), "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                std::to_string(expected.size()) + "\r\n");
  EXPECT_EQ(CHtFormBody(HtForm{}, false).Length(), 0u);
}

TEST_F(HtFormTest, BoundaryIsRightAlignedInFortyCharacters) {
  EXPECT_EQ(MultipartBoundary(0x6578abcd, 1234, 56), std::string(26, '-') + "6578abcd123456");
  EXPECT_EQ(MultipartBoundary(0, 0, 0), std::string(37, '-') + "000");
  EXPECT_EQ(MultipartBoundary(0, 0, 0).size(), 40u);
}

TEST_F(HtFormTest, MultipartBodyHasTheAnnouncedLength) {
  const HtForm form{{"comment", "it crashed", {}, {}}, {"dump", {}, upload_, "qdrl.txt"}};
  const CHtFormBody body(form, true);
  const std::string bytes = Collect(body);
  // 89 per text part, 118 per file part and 46 for the closing line, plus the texts.
  EXPECT_EQ(body.Length(), 89 + 7 + 10 + 118 + 4 + 8 + 24 + 2500 + 46);
  EXPECT_EQ(bytes.size(), body.Length());

  const std::string headers = body.Headers();
  const std::string marker = "boundary=";
  const auto at = headers.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string boundary = headers.substr(at + marker.size(), 40);
  EXPECT_EQ(headers, "Content-Type: multipart/form-data; boundary=" + boundary +
                         "\r\nContent-Length: " + std::to_string(body.Length()) + "\r\n");
  std::string file;
  for (int i = 0; i < 2500; ++i) file += static_cast<char>(i % 251);
  EXPECT_EQ(bytes, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"comment\"\r\n\r\n"
                   "it crashed\r\n--" + boundary +
                   "\r\nContent-Disposition: form-data; name=\"dump\"; filename=\"qdrl.txt\"\r\n"
                   "Content-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + boundary +
                   "--\r\n");
}

TEST_F(HtFormTest, PostThroughTheClientSkipsInterimAnswers) {
  const HtForm form{{"k", "v", {}, {}}};
  CHtClient<ScriptedSocket> client("UA");
  client.Script({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n"
                 "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
  const auto url = ParseUrl(u"http://h/post").value();
  HtProgress progress;
  ASSERT_TRUE(client.Request(HtMethod::kPostUrlEncoded, url, dir_ / "answer", &progress, &form));
  EXPECT_EQ(client.ResponseHead().Status(), 200);
  EXPECT_EQ(client.Connections()[0].sent,
            "POST /post HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: UA\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n"
            "Connection: Keep-Alive\r\n\r\nk=v");

  // A GET stops at the first head, whatever its status.
  CHtClient<ScriptedSocket> get("UA");
  get.Script({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"});
  ASSERT_TRUE(get.Request(HtMethod::kGet, url, dir_ / "answer", nullptr));
  EXPECT_EQ(get.ResponseHead().Status(), 100);
}

TEST_F(HtFormTest, MissingFileIsAnIoError) {
  const HtForm form{{"dump", {}, dir_ / "missing.txt", "missing.txt"}};
  CHtClient<ScriptedSocket> client("UA");
  client.Script({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
  EXPECT_FALSE(client.Request(HtMethod::kPostMultipart, ParseUrl(u"http://h/").value(), dir_ / "a",
                              nullptr, &form));
  EXPECT_EQ(client.LastError(), kErrorFileIo);
  EXPECT_FALSE(client.IsOpen());
}

}  // namespace
}  // namespace qdrl
