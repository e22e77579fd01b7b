// The plain socket against servers on loopback: data both ways, the peer's end, time-
// outs, refused connections, aborts from another thread and the name look-up.
#include "update/BlockingSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "support/LoopbackServer.h"
#include "support/SocketTestCalls.h"

namespace qdrl {
namespace {

using test::LoopbackServer;
using test::RaisedBy;
using test::ReceiveExactly;
using test::ServerConnection;

class TrayBlockingSocket : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PrepareSocketsForProcess(); }
};

void Echo(ServerConnection& connection) {
  for (std::string piece; !(piece = connection.Read(4096)).empty();) connection.Write(piece);
}

// Aborts `socket` from another thread once `delay` has passed.
std::future<void> AbortLater(CBlockingSocket& socket, std::chrono::milliseconds delay) {
  return std::async(std::launch::async, [&socket, delay] {
    std::this_thread::sleep_for(delay);
    socket.Abort();
  });
}

TEST_F(TrayBlockingSocket, SendsAndReceivesOverIpv4AndCountsBytes) {
  LoopbackServer server(&Echo);
  CBlockingSocket socket;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  socket.SetSentCounter(&sent);
  socket.SetReceivedCounter(&received);
  socket.Connect(u"127.0.0.1", server.Port());
  EXPECT_TRUE(socket.IsOpen());
  const std::string message(100000, 'q');
  socket.Send(message.data(), message.size());
  EXPECT_EQ(ReceiveExactly(socket, message.size()), message);
  EXPECT_EQ(sent, message.size());
  EXPECT_EQ(received, message.size());
  socket.Close();
  EXPECT_FALSE(socket.IsOpen());
}

TEST_F(TrayBlockingSocket, ConnectsToANumericIpv6Address) {
  std::unique_ptr<LoopbackServer> server;
  try {
    server = std::make_unique<LoopbackServer>(&Echo, nullptr, true);
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  CBlockingSocket socket;
  socket.Connect(u"::1", server->Port());
  socket.Send("v6", 2);
  EXPECT_EQ(ReceiveExactly(socket, 2), "v6");
}

TEST_F(TrayBlockingSocket, PeerClosingDuringAReceiveIsAnUnexpectedClose) {
  LoopbackServer server([](ServerConnection& connection) { connection.Write("bye"); });
  CBlockingSocket socket;
  socket.Connect(u"127.0.0.1", server.Port());
  EXPECT_EQ(ReceiveExactly(socket, 3), "bye");
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), SocketError(SocketFailure::kConnectionClosed));
}

TEST_F(TrayBlockingSocket, SilentPeerMakesAReceiveTimeOut) {
  LoopbackServer server([](ServerConnection& connection) { connection.ReadToEnd(); });
  CBlockingSocket socket;
  socket.SetReceiveTimeout(1);
  socket.Connect(u"127.0.0.1", server.Port());
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), SocketError(SocketFailure::kSelectTimeout));
}

TEST_F(TrayBlockingSocket, RefusedConnectionHasTheWindowsSocketsNumber) {
  CBlockingSocket socket;
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"127.0.0.1", test::UnusedPort()); }),
            MakeErrorNumber(1, 7));  // "Connection refused (10061)."
}

TEST_F(TrayBlockingSocket, ReceiveWithoutAConnectionFails) {
  CBlockingSocket socket;
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), MakeErrorNumber(1, 25));
}

TEST_F(TrayBlockingSocket, AbortFromAnotherThreadEndsAReceiveWithCancelled) {
  LoopbackServer server([](ServerConnection& connection) { connection.ReadToEnd(); });
  CBlockingSocket socket;
  socket.SetReceiveTimeout(-1);
  socket.Connect(u"127.0.0.1", server.Port());
  auto aborter = AbortLater(socket, std::chrono::milliseconds(100));
  char byte;
  EXPECT_EQ(RaisedBy([&] { socket.Receive(&byte, 1); }), kErrorCancelled);
  aborter.get();
  // The connection is its owner's to close; every later call is cancelled too.
  EXPECT_TRUE(socket.IsOpen());
  EXPECT_EQ(RaisedBy([&] { socket.Send("x", 1); }), kErrorCancelled);
  socket.Close();
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"127.0.0.1", server.Port()); }), kErrorCancelled);
}

TEST_F(TrayBlockingSocket, AbortFromAnotherThreadEndsAConnectWithCancelled) {
  test::UnansweredListener listener;
  CBlockingSocket socket;
  auto aborter = AbortLater(socket, std::chrono::milliseconds(200));
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"127.0.0.1", listener.Port()); }), kErrorCancelled);
  aborter.get();
}

// Name look-ups that go to a name space of the test's own.
struct FakeNameSpace {
  static inline std::mutex lock;
  static inline std::string lastName;
  static inline std::atomic<bool> block{false};

  static bool Query(const std::string& name, bool wantIpv4, SocketAddress& out) {
    {
      const std::lock_guard hold(lock);
      lastName = name;
    }
    while (block) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!wantIpv4 || name.ends_with(".invalid")) return false;
    out = *ParseNumericAddress(u"127.0.0.1");
    return true;
  }
  static std::string LastName() {
    const std::lock_guard hold(lock);
    return lastName;
  }
};

SocketPrimitives WithFakeNameSpace() {
  SocketPrimitives primitives = SystemSocketPrimitives();
  primitives.queryHost = &FakeNameSpace::Query;
  return primitives;
}

bool NoThread(void (*)(void*), void*) { return false; }

TEST_F(TrayBlockingSocket, InternationalNamesAreLookedUpInTheirAsciiForm) {
  LoopbackServer server(&Echo);
  const SocketPrimitives fake = WithFakeNameSpace();
  CBlockingSocket socket;
  socket.SetResolver(&DnsResolver, &fake);
  socket.Connect(u"b\u00fccher.example", server.Port());
  EXPECT_EQ(FakeNameSpace::LastName(), "xn--bcher-kva.example");
  socket.Send("idn", 3);
  EXPECT_EQ(ReceiveExactly(socket, 3), "idn");
}

TEST_F(TrayBlockingSocket, HostsTheLookUpCannotFindAreDnsErrors) {
  const SocketPrimitives fake = WithFakeNameSpace();
  CBlockingSocket socket;
  socket.SetResolver(&DnsResolver, &fake);
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"nowhere.invalid", 80); }),
            SocketError(SocketFailure::kHostNotFound));
  // A lone surrogate has no ASCII form and never reaches the name space.
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"a\xD800z.example", 80); }),
            SocketError(SocketFailure::kHostNotFound));
  EXPECT_EQ(FakeNameSpace::LastName(), "nowhere.invalid");
}

TEST_F(TrayBlockingSocket, SystemLookUpFindsLocalhost) {
  LoopbackServer server(&Echo);
  CBlockingSocket socket;
  socket.Connect(u"localhost", server.Port());
  socket.Send("lh", 2);
  EXPECT_EQ(ReceiveExactly(socket, 2), "lh");
}

TEST_F(TrayBlockingSocket, AbortDuringTheLookUpEndsTheWaitWithCancelled) {
  const SocketPrimitives fake = WithFakeNameSpace();
  FakeNameSpace::block = true;
  CBlockingSocket socket;
  socket.SetResolver(&DnsResolver, &fake);
  auto aborter = AbortLater(socket, std::chrono::milliseconds(100));
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"slow.example", 80); }), kErrorCancelled);
  aborter.get();
  // The abandoned look-up is still inside the name space: cleaning up the socket
  // library must wait for it, and may once it has finished.
  EXPECT_FALSE(WaitForLookupThreads(std::chrono::milliseconds(100)));
  FakeNameSpace::block = false;
  EXPECT_TRUE(WaitForLookupThreads(std::chrono::seconds(10)));
}

TEST_F(TrayBlockingSocket, NumericHostsNeedNoLookUpThread) {
  LoopbackServer server(&Echo);
  SocketPrimitives noThreads = SystemSocketPrimitives();
  noThreads.startThread = &NoThread;
  CBlockingSocket socket(noThreads);
  socket.Connect(u"127.0.0.1", server.Port());
  EXPECT_TRUE(socket.IsOpen());
}

// The sanitizer build's leak check sees the look-up object if its thread's reference
// is kept.
TEST_F(TrayBlockingSocket, LookUpThreadThatCannotStartIsADnsError) {
  SocketPrimitives noThreads = SystemSocketPrimitives();
  noThreads.startThread = &NoThread;
  CBlockingSocket socket(noThreads);
  EXPECT_EQ(RaisedBy([&] { socket.Connect(u"localhost", 80); }),
            SocketError(SocketFailure::kHostNotFound));
}

TEST(TrayNumericAddress, ParsesIpv4AndIpv6ButNoNames) {
  const auto ipv4 = ParseNumericAddress(u"192.0.2.1");
  ASSERT_TRUE(ipv4);
  EXPECT_TRUE(ipv4->ipv4);
  EXPECT_EQ(ipv4->ipv4Address, 0xC0000201u);
  const auto ipv6 = ParseNumericAddress(u"2001:db8::1%7");
  ASSERT_TRUE(ipv6);
  EXPECT_FALSE(ipv6->ipv4);
  EXPECT_EQ(ipv6->ipv6Address[0], 0x20);
  EXPECT_EQ(ipv6->ipv6Address[15], 0x01);
  EXPECT_EQ(ipv6->ipv6Scope, 7u);
  EXPECT_FALSE(ParseNumericAddress(u"example.test"));
  EXPECT_FALSE(ParseNumericAddress(u"192.0.2"));
  EXPECT_FALSE(ParseNumericAddress(u"2001:db8::1%eth0"));
  EXPECT_FALSE(ParseNumericAddress(u"\u00e9"));
}

TEST(TrayNumericAddress, SystemFormHasPortAndAddressInNetworkOrder) {
  auto address = *ParseNumericAddress(u"192.0.2.1");
  address.port = 0x1234;
  SocketAddressBuffer buffer;
  EXPECT_EQ(ToSystemAddress(address, buffer), 16);
  EXPECT_EQ(buffer[2], 0x12);
  EXPECT_EQ(buffer[3], 0x34);
  EXPECT_EQ(buffer[4], 192);
  EXPECT_EQ(buffer[7], 1);
  auto ipv6 = *ParseNumericAddress(u"::1");
  EXPECT_EQ(ToSystemAddress(ipv6, buffer), 28);
  const auto back = FromSystemAddress(buffer.data(), 28);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ipv6Address, ipv6.ipv6Address);
}

}  // namespace
}  // namespace qdrl
