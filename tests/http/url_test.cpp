#include <gtest/gtest.h>

#include "update/Url.h"

namespace qdrl {
namespace {

ParsedUrl Parse(std::u16string_view text) {
  auto url = ParseUrl(NormaliseUrl(text));
  EXPECT_TRUE(url.has_value()) << std::string(text.begin(), text.end());
  return url.value_or(ParsedUrl{});
}

bool Invalid(std::u16string_view text) { return !ParseUrl(NormaliseUrl(text)).has_value(); }

TEST(UrlNormalise, TrimsBlanksAndDropsLineEnds) {
  EXPECT_EQ(NormaliseUrl(u" \t\r\nhttps://h/a\r\nb \n"), u"https://h/ab");
  EXPECT_EQ(NormaliseUrl(u"  \r\n "), u"");
}

TEST(UrlNormalise, InsertsSlashAfterAuthority) {
  EXPECT_EQ(NormaliseUrl(u"https://h"), u"https://h/");
  EXPECT_EQ(NormaliseUrl(u"HTTP://h?x"), u"HTTP://h/?x");
  EXPECT_EQ(NormaliseUrl(u"https://h#f"), u"https://h/#f");
  EXPECT_EQ(NormaliseUrl(u"https://h/p?x"), u"https://h/p?x");
  EXPECT_EQ(NormaliseUrl(u"ftp://h"), u"ftp://h");
}

TEST(UrlParse, DefaultPortsAndHostStrings) {
  const auto secure = Parse(u"https://example.test");
  EXPECT_TRUE(secure.secure);
  EXPECT_EQ(secure.port, 443);
  EXPECT_EQ(secure.path, "/");
  EXPECT_EQ(HostString(secure), "example.test");
  EXPECT_EQ(AbsoluteUrl(secure), "https://example.test/");

  const auto plain = Parse(u"http://example.test:8080/a b");
  EXPECT_FALSE(plain.secure);
  EXPECT_EQ(plain.port, 8080);
  EXPECT_EQ(RequestTarget(plain), "/a+b");
  EXPECT_EQ(HostString(plain), "example.test:8080");

  EXPECT_EQ(HostString(Parse(u"http://h:443/")), "h:443");
  EXPECT_EQ(HostString(Parse(u"https://h:443/")), "h");
  EXPECT_EQ(HostString(Parse(u"http://h:80/")), "h");
}

TEST(UrlParse, SchemeIgnoresCase) {
  EXPECT_TRUE(Parse(u"HtTpS://h/").secure);
  EXPECT_FALSE(Parse(u"HTTP://h/").secure);
  EXPECT_TRUE(Invalid(u"ftp://h/"));
  EXPECT_TRUE(Invalid(u"https:/h/"));
}

TEST(UrlParse, BracketedIpv6Hosts) {
  const auto url = Parse(u"https://[2001:db8::1]:8443/x");
  EXPECT_TRUE(url.bracketed);
  EXPECT_EQ(url.hostWide, u"2001:db8::1");
  EXPECT_EQ(url.port, 8443);
  EXPECT_EQ(HostString(url), "[2001:db8::1]:8443");
  EXPECT_EQ(HostString(Parse(u"http://[::1]/")), "[::1]");
  // The scope id is not part of the host text.
  EXPECT_EQ(Parse(u"http://[fe80::1%3]/").hostAscii, "fe80::1");
  EXPECT_EQ(Parse(u"http://[FE80:0::1%12]/").hostAscii, "fe80::1");
  EXPECT_EQ(HostString(Parse(u"http://[fe80::1%3]:81/")), "[fe80::1]:81");

  EXPECT_TRUE(Invalid(u"http://[::1/"));
  EXPECT_TRUE(Invalid(u"http://[::1]x/"));
  EXPECT_TRUE(Invalid(u"http://[]/"));
}

TEST(UrlParse, NumericAndInternationalHosts) {
  EXPECT_EQ(Parse(u"http://192.0.2.1/").hostAscii, "192.0.2.1");
  EXPECT_EQ(Parse(u"http://b\u00FCcher.example/").hostAscii, "xn--bcher-kva.example");
  EXPECT_EQ(Parse(u"http://B\u00FCcher.example/").hostAscii, "xn--bcher-kva.example");
  EXPECT_EQ(Parse(u"http://b\u00FCcher.example/").hostWide, u"b\u00FCcher.example");
  EXPECT_EQ(Parse(u"http://Example.TEST/").hostAscii, "Example.TEST");
  // A lone surrogate cannot be converted.
  EXPECT_TRUE(Invalid(std::u16string(u"http://a") + char16_t(0xD800) + u"/"));
  EXPECT_TRUE(Invalid(u"http:///x"));
  EXPECT_TRUE(Invalid(u"http://:80/x"));
}

TEST(UrlParse, PortsAreWholeDecimalNumbersInRange) {
  EXPECT_EQ(Parse(u"http://h:1/").port, 1);
  EXPECT_EQ(Parse(u"http://h:65535/").port, 65535);
  EXPECT_EQ(Parse(u"http://h:00080/").port, 80);
  for (const auto* bad : {u"http://h:0/", u"http://h:65536/", u"http://h:/", u"http://h:+80/",
                          u"http://h: 80/", u"http://h:0x50/", u"http://h:-1/", u"http://h:80a/",
                          u"http://h:99999999999999999999/"}) {
    EXPECT_TRUE(Invalid(bad)) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  }
}

TEST(UrlParse, PathIsPercentEncodedUtf8) {
  EXPECT_EQ(Parse(u"http://h/a-b.c_d/%41+x y").path, "/a-b.c_d/%41+x+y");
  EXPECT_EQ(Parse(u"http://h/\u00E9~!*'()").path, "/%C3%A9%7E%21%2A%27%28%29");
  EXPECT_EQ(Parse(u"http://h/\U0001F600").path, "/%F0%9F%98%80");
  EXPECT_EQ(Parse(u"http://h/a:b@c;d=e&f").path, "/a%3Ab%40c%3Bd%3De%26f");
}

TEST(UrlParse, QueryAndFragment) {
  const auto url = Parse(u"http://h/p?a=1&b=%20#frag");
  EXPECT_EQ(url.path, "/p");
  EXPECT_EQ(url.query, "a=1&b=%20");
  EXPECT_EQ(RequestTarget(url), "/p?a=1&b=%20");
  EXPECT_FALSE(Parse(u"http://h/p?").query.has_value());
  EXPECT_EQ(RequestTarget(Parse(u"http://h/p#frag")), "/p");
  EXPECT_EQ(RequestTarget(Parse(u"http://h?q")), "/?q");
  // What a request line does not allow is escaped: spaces, controls, other ASCII and
  // the UTF-8 of everything outside it.
  EXPECT_EQ(Parse(u"http://h/p?a b&c=\u00E9").query, "a+b&c=%C3%A9");
  EXPECT_EQ(Parse(u"http://h/p?x\ty\u007F\"<>\\^`{|}").query, "x%09y%7F%22%3C%3E%5C%5E%60%7B%7C%7D");
  EXPECT_EQ(Parse(u"http://h/p?k=a/b:c@d;e!$'()*,~").query, "k=a/b:c@d;e!$'()*,~");
  EXPECT_EQ(RequestTarget(Parse(u"http://h/p?\U0001F600")), "/p?%F0%9F%98%80");
  EXPECT_TRUE(Invalid(u"http://h/p?\xD800"));
  // Outside ASCII in the fragment does not matter.
  EXPECT_EQ(RequestTarget(Parse(u"http://h/p?q#\u00E9")), "/p?q");
}

TEST(UrlUtf, RoundTripsAndRejectsMalformedText) {
  const std::u16string text = u"a\u00E9\u4E2D\U0001F600";
  const auto utf8 = Utf16ToUtf8(text);
  ASSERT_TRUE(utf8);
  EXPECT_EQ(*utf8, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16(*utf8), text);
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
    EXPECT_FALSE(Utf8ToUtf16(bad).has_value()) << bad;
  }
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))).has_value());
}

}  // namespace
}  // namespace qdrl
