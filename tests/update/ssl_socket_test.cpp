// TLS connections against servers on loopback with certificates of a test authority:
// what is trusted, which names match, how connections end and abort.
#include "update/SslSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "support/LoopbackServer.h"
#include "support/SocketTestCalls.h"
#include "support/TestPki.h"
#include "update/TlsLibrary.h"

namespace qdrl {
namespace {

using test::LoopbackServer;
using test::RaisedBy;
using test::ReceiveExactly;
using test::ServerConnection;

const ErrorNumber kTlsProtocolError = MakeErrorNumber(3, 4);

class TrayTlsSocket : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PrepareSocketsForProcess();
    // The program's set-up, fixed Diffie-Hellman parameters included, comes first.
    ASSERT_TRUE(InitTlsLibrary());
    pki_ = new test::TestPki();
  }
  static void TearDownTestSuite() {
    delete pki_;
    FreeTlsLibrary();
  }

  // A socket that trusts the test authority.
  static void Trust(CUpdateSocket& socket) { socket.SetTrustStore(pki_->NewTrustStore().get()); }
  static test::SslContext ServerFor(const std::vector<std::string>& names,
                                    const std::vector<std::string>& addresses = {}) {
    return pki_->NewServerContext(pki_->IssueServer(names, addresses));
  }

  static inline test::TestPki* pki_ = nullptr;
};

TEST_F(TrayTlsSocket, TalksToAServerWhoseCertificateNamesTheHost) {
  const auto context = ServerFor({"localhost"});
  std::string serverName;
  std::string request;
  LoopbackServer server(
      [&](ServerConnection& connection) {
        serverName = connection.ServerName();
        request = connection.ReadExactly(5);
        connection.Write("world");
        connection.ReadToEnd();
      },
      context.get());
  CUpdateSocket socket;
  Trust(socket);
  std::uint64_t sent = 0;
  socket.SetSentCounter(&sent);
  socket.Connect(u"localhost", server.Port());
  socket.Send("hello", 5);
  EXPECT_EQ(ReceiveExactly(socket, 5), "world");
  EXPECT_EQ(sent, 5u);
  socket.Close();
  server.WaitHandled(1);
  EXPECT_EQ(request, "hello");
  EXPECT_EQ(serverName, "localhost");
}

TEST_F(TrayTlsSocket, NumericHostsAreCheckedAgainstTheAddressAndSendNoServerName) {
  const auto context = ServerFor({}, {"127.0.0.1"});
  std::string serverName = "unset";
  LoopbackServer server(
      [&](ServerConnection& connection) {
        serverName = connection.ServerName();
        connection.Write("ok");
        connection.ReadToEnd();
      },
      context.get());
  CUpdateSocket socket;
  Trust(socket);
  socket.Connect(u"127.0.0.1", server.Port());
  EXPECT_EQ(ReceiveExactly(socket, 2), "ok");
  socket.Close();
  server.WaitHandled(1);
  EXPECT_EQ(serverName, "");
}

TEST_F(TrayTlsSocket, CertificateForAnotherHostIsRefused) {
  const auto context = ServerFor({"other.example"}, {"127.0.0.2"});
  LoopbackServer server([](ServerConnection&) {}, context.get());
  CUpdateSocket socket;
  Trust(socket);
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"localhost", server.Port()); }), kTlsProtocolError);
  socket.Close();
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"127.0.0.1", server.Port()); }), kTlsProtocolError);
  socket.Close();
  server.WaitHandled(2);
  EXPECT_EQ(server.Handled(), 0);
}

TEST_F(TrayTlsSocket, CertificateOfAnUntrustedAuthorityIsRefused) {
  const test::TestPki stranger("Stranger CA");
  const auto context = stranger.NewServerContext(stranger.IssueServer({"localhost"}, {}));
  LoopbackServer server([](ServerConnection&) {}, context.get());
  CUpdateSocket socket;
  Trust(socket);
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"localhost", server.Port()); }), kTlsProtocolError);
}

TEST_F(TrayTlsSocket, WithoutATrustStoreOnlyTheSystemsRootsCount) {
  const auto context = ServerFor({"localhost"});
  LoopbackServer server([](ServerConnection&) {}, context.get());
  CUpdateSocket socket;
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"localhost", server.Port()); }), kTlsProtocolError);
}

TEST_F(TrayTlsSocket, CloseNotificationFromTheServerIsAnUnexpectedClose) {
  const auto context = ServerFor({"localhost"});
  LoopbackServer server(
      [](ServerConnection& connection) {
        connection.Write("last");
        connection.SendCloseNotify();
      },
      context.get());
  CUpdateSocket socket;
  Trust(socket);
  socket.Connect(u"localhost", server.Port());
  EXPECT_EQ(ReceiveExactly(socket, 4), "last");
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), SocketError(SocketFailure::kConnectionClosed));
}

TEST_F(TrayTlsSocket, CloseSendsOneNotificationWithoutWaitingForTheAnswer) {
  const auto context = ServerFor({"localhost"});
  std::promise<bool> notified;
  LoopbackServer server(
      [&](ServerConnection& connection) {
        connection.Write("x");
        connection.ReadToEnd();  // never answers the notification
        notified.set_value(connection.ClientSentCloseNotify());
      },
      context.get());
  CUpdateSocket socket;
  Trust(socket);
  socket.Connect(u"localhost", server.Port());
  EXPECT_EQ(ReceiveExactly(socket, 1), "x");
  socket.Close();
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_TRUE(notified.get_future().get());
}

TEST_F(TrayTlsSocket, SilentServerMakesTheHandshakeTimeOut) {
  // A plain server that never speaks TLS.
  LoopbackServer server([](ServerConnection& connection) { connection.ReadToEnd(); });
  CUpdateSocket socket;
  Trust(socket);
  socket.SetReceiveTimeout(1);
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"localhost", server.Port()); }),
            SocketError(SocketFailure::kSelectTimeout));
}

TEST_F(TrayTlsSocket, AbortFromAnotherThreadEndsAReadWithCancelled) {
  const auto context = ServerFor({"localhost"});
  LoopbackServer server([](ServerConnection& connection) { connection.ReadToEnd(); },
                        context.get());
  CUpdateSocket socket;
  Trust(socket);
  socket.SetReceiveTimeout(-1);
  socket.Connect(u"localhost", server.Port());
  auto aborter = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    socket.Abort();
  });
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), kErrorCancelled);
  aborter.get();
  EXPECT_EQ(RaisedBy([&] { socket.Send("x", 1); }), kErrorCancelled);
  socket.Close();
  EXPECT_FALSE(socket.IsOpen());
}

TEST_F(TrayTlsSocket, AbortFromAnotherThreadEndsAConnectWithCancelled) {
  test::UnansweredListener listener;
  CUpdateSocket socket;
  Trust(socket);
  auto aborter = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    socket.Abort();
  });
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"127.0.0.1", listener.Port()); }), kErrorCancelled);
  aborter.get();
}

TEST_F(TrayTlsSocket, PlainModeSkipsTls) {
  LoopbackServer server([](ServerConnection& connection) {
    connection.Write(connection.ReadExactly(5));
    connection.ReadToEnd();
  });
  CUpdateSocket socket;
  socket.SetUseTls(false);
  socket.Connect(u"127.0.0.1", server.Port());
  socket.Send("plain", 5);
  EXPECT_EQ(ReceiveExactly(socket, 5), "plain");
}

TEST_F(TrayTlsSocket, CallsWithoutAConnectionFailWithTheirOperation) {
  CUpdateSocket socket;
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), SocketError(SocketFailure::kReceive));
  EXPECT_EQ(RaisedBy([&] { socket.Send("x", 1); }), SocketError(SocketFailure::kSend));
}

}  // namespace
}  // namespace qdrl
