// The client over real sockets and real TLS against scripted servers on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "support/LoopbackServer.h"
#include "support/SocketTestCalls.h"
#include "support/TestPki.h"
#include "update/HtClient.h"
#include "update/SslSocket.h"
#include "update/TlsLibrary.h"

namespace qdrl {
namespace {

using Get = CHtGet<CUpdateSocket>;
using test::ReadFile;

struct ScriptedReply {
  std::string bytes;    // sent once a whole request head has arrived
  bool silent = false;  // send nothing; wait until the client goes away
};

struct ScriptedServerConnection {
  std::vector<ScriptedReply> replies;
  bool closeAfter = false;  // close after the last reply instead of waiting for the client
};

// A loopback server whose connections, in the order they come, play the scripted
// replies and record what they received.
class ScriptedServer {
 public:
  ScriptedServer(std::vector<ScriptedServerConnection> script, SSL_CTX* tls)
      : state_(std::make_shared<State>(std::move(script), tls != nullptr)),
        server_([state = state_](test::ServerConnection& connection) { state->Serve(connection); },
                tls) {}

  int Port() const { return server_.Port(); }

  // What each connection received, once count connections have been served.
  std::vector<std::string> Received(int count) {
    server_.WaitHandled(count);
    const std::lock_guard hold(state_->lock);
    return state_->received;
  }

 private:
  struct State {
    State(std::vector<ScriptedServerConnection> connections, bool usesTls)
        : script(std::move(connections)), tls(usesTls) {}

    void Serve(test::ServerConnection& connection) {
      std::size_t index;
      {
        const std::lock_guard hold(lock);
        index = received.size();
        received.emplace_back();
      }
      if (index >= script.size()) return;
      std::string pending;
      auto receive = [&] {
        const std::string bytes = connection.Read(4096);
        const std::lock_guard hold(lock);
        received[index] += bytes;
        pending += bytes;
        return !bytes.empty();
      };
      for (const auto& reply : script[index].replies) {
        std::size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
          if (!receive()) return;
        }
        pending.erase(0, headEnd + 4);
        if (reply.silent) {
          while (receive()) {
          }
          return;
        }
        connection.Write(reply.bytes);
      }
      if (script[index].closeAfter) {
        if (tls) connection.SendCloseNotify();
        return;
      }
      while (receive()) {
      }
    }

    const std::vector<ScriptedServerConnection> script;
    const bool tls;
    std::mutex lock;
    std::vector<std::string> received;
  };

  std::shared_ptr<State> state_;
  test::LoopbackServer server_;
};

const std::string kAgent = "Quadrel 1.02.0 64-bit; Windows NT 10.0";

ScriptedReply Reply(const std::string& head, const std::string& body = {}) {
  return {head + "\r\n" + body, false};
}

ScriptedReply Found(const std::string& location, const std::string& fields = {}) {
  return Reply("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 3\r\n" + fields,
               "302");
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Each test runs in plain TCP and in TLS verified against a test CA.
class HtLoopbackTest : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(InitTlsLibrary());
    pki_ = new test::TestPki;
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
    FreeTlsLibrary();
  }

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("http_loopback_" + std::to_string(getpid()) + "_" +
            std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir_);
    destination_ = dir_ / "download.bin";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  bool Tls() const { return GetParam(); }

  std::unique_ptr<ScriptedServer> Serve(std::vector<ScriptedServerConnection> script) {
    if (!Tls()) return std::make_unique<ScriptedServer>(std::move(script), nullptr);
    const auto context = pki_->NewServerContext(pki_->IssueServer({"localhost"}, {"127.0.0.1"}));
    return std::make_unique<ScriptedServer>(std::move(script), context.get());
  }

  std::u16string Url(const ScriptedServer& server, const std::string& path) const {
    const std::string url = (Tls() ? "https://localhost:" : "http://localhost:") +
                            std::to_string(server.Port()) + path;
    return std::u16string(url.begin(), url.end());
  }

  std::unique_ptr<Get> MakeGet(std::u16string url, HtProgress* progress = nullptr) {
    auto get = std::make_unique<Get>(std::move(url), progress, kAgent);
    get->SetTrustStore(pki_->NewTrustStore().get());
    get->SetReceiveTimeout(20);
    return get;
  }

  static inline test::TestPki* pki_ = nullptr;
  std::filesystem::path dir_;
  std::filesystem::path destination_;
};

TEST_P(HtLoopbackTest, RedirectChainReusesTheConnectionAndEndsInAChunkedBody) {
  auto server = Serve({{{Found("/b"), Found("/c?x=1"),
                         Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
                               "6;ext=\"a;b\"\r\nchunk-\r\nA\r\n0123456789\r\n0;last\r\n"
                               "Trailer: 1\r\nOther: 2\r\n\r\n")},
                        false}});
  HtProgress progress;
  auto get = MakeGet(Url(*server, "/a"), &progress);
  ASSERT_TRUE(get->Fetch(destination_)) << std::hex << get->FinalError();
  EXPECT_FALSE(get->IsOpen());
  EXPECT_EQ(ReadFile(destination_), "chunk-0123456789");
  EXPECT_EQ(progress.total, 16);
  EXPECT_EQ(progress.received, 16);
  EXPECT_EQ(progress.ConnectTimes().size(), 1u);

  const auto received = server->Received(1);
  ASSERT_EQ(received.size(), 1u);
  const std::string host = "Host: localhost:" + std::to_string(server->Port()) + "\r\n";
  EXPECT_TRUE(received[0].starts_with("GET /a HTTP/1.1\r\n" + host));
  EXPECT_NE(received[0].find("GET /b HTTP/1.1\r\n" + host), std::string::npos);
  EXPECT_NE(received[0].find("GET /c?x=1 HTTP/1.1\r\n" + host), std::string::npos);
  EXPECT_EQ(Count(received[0], "User-Agent: " + kAgent + "\r\nConnection: Keep-Alive\r\n\r\n"), 3u);
}

TEST_P(HtLoopbackTest, TenRedirectsButNotEleven) {
  std::vector<ScriptedReply> ten;
  for (int i = 1; i <= 10; ++i) ten.push_back(Found("/" + std::to_string(i)));
  auto last = ten;
  ten.push_back(Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n", "ok"));
  auto server = Serve({{ten, false}});
  auto get = MakeGet(Url(*server, "/0"));
  ASSERT_TRUE(get->Fetch(destination_)) << std::hex << get->FinalError();
  EXPECT_EQ(Count(server->Received(1)[0], "GET /"), 11u);

  last.push_back(Found("/11"));
  auto tooMany = Serve({{last, false}});
  auto failing = MakeGet(Url(*tooMany, "/0"));
  EXPECT_FALSE(failing->Fetch(destination_));
  EXPECT_EQ(failing->FinalError(), kErrorTooManyRedirects);
}

TEST_P(HtLoopbackTest, ServerAskingToCloseGetsANewConnection) {
  // "Close" in any case, and an HTTP/1.0 answer without keep-alive.
  auto server = Serve({
      {{Found("/b", "Connection: Close\r\n")}, false},
      {{Reply("HTTP/1.0 302 Found\r\nLocation: /c\r\nContent-Length: 0\r\n")}, false},
      {{Reply("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", "done")}, false},
  });
  HtProgress progress;
  auto get = MakeGet(Url(*server, "/a"), &progress);
  ASSERT_TRUE(get->Fetch(destination_)) << std::hex << get->FinalError();
  EXPECT_EQ(ReadFile(destination_), "done");
  EXPECT_EQ(progress.ConnectTimes().size(), 3u);
  const auto received = server->Received(3);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_TRUE(received[1].starts_with("GET /b "));
  EXPECT_TRUE(received[2].starts_with("GET /c "));
}

TEST_P(HtLoopbackTest, RedirectToAnotherServer) {
  auto target = Serve({{{Reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", "there")}, false}});
  const std::string location = (Tls() ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                               std::to_string(target->Port()) + "/t";
  auto first = Serve({{{Found(location)}, false}});
  auto get = MakeGet(Url(*first, "/"));
  ASSERT_TRUE(get->Fetch(destination_)) << std::hex << get->FinalError();
  EXPECT_EQ(ReadFile(destination_), "there");
  EXPECT_TRUE(target->Received(1)[0].starts_with(
      "GET /t HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(target->Port()) + "\r\n"));
}

TEST_P(HtLoopbackTest, BodyReadUntilTheServerCloses) {
  std::string body;
  for (int i = 0; i < 5000; ++i) body += static_cast<char>('a' + i % 26);
  auto server = Serve({{{Reply("HTTP/1.1 200 OK\r\n", body)}, true}});
  HtProgress progress;
  auto get = MakeGet(Url(*server, "/"), &progress);
  ASSERT_TRUE(get->Fetch(destination_)) << std::hex << get->FinalError();
  EXPECT_EQ(ReadFile(destination_), body);
  EXPECT_EQ(progress.total, 5000);
}

TEST_P(HtLoopbackTest, ServerClosingEarlyFailsAndKeepsWhatCame) {
  auto server = Serve({{{Reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n", "only ten..")}, true}});
  auto get = MakeGet(Url(*server, "/"));
  EXPECT_FALSE(get->Fetch(destination_));
  EXPECT_EQ(get->FinalError(), MakeErrorNumber(2, 7));
  EXPECT_EQ(ReadFile(destination_), "only ten..");
}

TEST_P(HtLoopbackTest, ErrorStatusKeepsTheErrorPage) {
  auto server = Serve({{{Reply("HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n", "missing")}, false}});
  auto get = MakeGet(Url(*server, "/"));
  EXPECT_FALSE(get->Fetch(destination_));
  EXPECT_EQ(get->FinalError(), MakeErrorNumber(7, 5));
  EXPECT_EQ(ReadFile(destination_), "missing");
}

TEST_P(HtLoopbackTest, ServerThatNeverAnswersTimesOut) {
  auto server = Serve({{{ScriptedReply{{}, true}}, false}});
  auto get = MakeGet(Url(*server, "/"));
  get->SetReceiveTimeout(1);
  EXPECT_FALSE(get->Fetch(destination_));
  EXPECT_EQ(get->FinalError(), MakeErrorNumber(2, 4));
}

TEST_P(HtLoopbackTest, AbortFromAnotherThreadEndsTheFetch) {
  auto server = Serve({{{ScriptedReply{{}, true}}, false}});
  HtProgress progress;
  auto get = MakeGet(Url(*server, "/"), &progress);
  std::thread aborter([&] {
    while (progress.stage != HtProgress::kSendingRequest) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    get->Abort();
  });
  EXPECT_FALSE(get->Fetch(destination_));
  aborter.join();
  EXPECT_EQ(get->FinalError(), kErrorCancelled);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, HtLoopbackTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace qdrl
