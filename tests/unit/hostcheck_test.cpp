// The page host rule: the maker's domain itself or a name below it (port and one
// trailing dot dropped, ASCII letters without case), nothing that merely contains it,
// and only a well-formed name[:port]; and the strict split of the document origin the
// browser gives.
#include <gtest/gtest.h>

#include <string>

#include "plugin/host_rule.h"

namespace {

struct HostCase {
  std::string host;  // location.host bytes, NULs included
  bool expected;
};

// Each host is handed over as exactly its bytes, with no terminating NUL to lean on.
void checkAll(const char* domain, std::initializer_list<HostCase> cases) {
  for (const HostCase& c : cases) {
    char* bytes = new char[c.host.size() + 1];
    c.host.copy(bytes, c.host.size());
    bytes[c.host.size()] = 'x';  // never part of the host
    EXPECT_EQ(c.expected, hostMatchesDomain(bytes, c.host.size(), domain))
        << "host \"" << c.host << "\" (" << c.host.size() << " bytes) against " << domain;
    delete[] bytes;
  }
}

TEST(HostCheck, AcceptsTheDomainAndNamesBelowIt) {
  checkAll("kelvra.com", {
                             {"kelvra.com", true},
                             {"www.kelvra.com", true},
                             {"SHOP.KELVRA.COM", true},
                             {"KELVRA.COM", true},
                             {"Kelvra.Com", true},
                             {"a.b.kelvra.com", true},
                             {"kelvra.com:8080", true},
                             {"kelvra.com:65535", true},
                             {"www.kelvra.com.:443", true},
                             {"kelvra.com.", true},
                             {"www.kelvra.com.", true},
                         });
  // The domain's own letters fold too.
  checkAll("KELVRA.COM", {{"www.kelvra.com", true}, {"notkelvra.com", false}});
}

TEST(HostCheck, RefusesNamesThatOnlyContainTheDomain) {
  checkAll("kelvra.com", {
                             {"kelvra.com.attacker.example", false},
                             {"kelvra.com.attacker.example:443", false},
                             {"notkelvra.com", false},
                             {"evil-kelvra.com", false},
                             {"wwwkelvra.com", false},
                             {"kelvra.co", false},
                             {"kelvra.comm", false},
                             {"www.kelvra.comm:80", false},
                             {"elvra.com", false},
                             {"attacker.example:kelvra.com", false},
                             {"xkelvra.com:80", false},
                         });
}

TEST(HostCheck, RefusesMalformedHosts) {
  checkAll("kelvra.com", {
                             {"", false},
                             {":443", false},
                             {".", false},
                             {"kelvra.com..", false},
                             {"kelvra.com..:443", false},
                             {"[::1]", false},
                             {"[::1]:80", false},
                             {"[kelvra.com]", false},
                             {std::string("kelvra.com\0.evil", 16), false},
                             {std::string("kelvra.com\0", 11), false},
                             {std::string("www.\0kelvra.com", 15), false},
                             {".kelvra.com", false},
                             {"..kelvra.com", false},
                             {"www..kelvra.com", false},
                             {"www.kelvra.com:", false},
                             {"www.kelvra.com:65536", false},
                             {"www.kelvra.com:443:80", false},
                             {"www.kelvra.com:8o", false},
                             {"evil.example/.kelvra.com", false},
                             {"user@www.kelvra.com", false},
                             {"www .kelvra.com", false},
                             {"www.kelvra.com\x7f", false},
                         });
  EXPECT_FALSE(hostMatchesDomain(nullptr, 0, "kelvra.com"));
}

// The length bounds the host: bytes after it are not looked at, bytes before it all count.
TEST(HostCheck, ComparesExactlyTheGivenLength) {
  const char text[] = "www.kelvra.com.attacker.example";
  EXPECT_TRUE(hostMatchesDomain(text, 14, "kelvra.com"));   // "www.kelvra.com"
  EXPECT_TRUE(hostMatchesDomain(text, 15, "kelvra.com"));   // "www.kelvra.com."
  EXPECT_FALSE(hostMatchesDomain(text, 13, "kelvra.com"));  // "www.kelvra.co"
  EXPECT_FALSE(hostMatchesDomain(text, sizeof text - 1, "kelvra.com"));
}

// Only a to z fold: every other byte, UTF-8 sequences included, compares as it is.
TEST(HostCheck, NonAsciiBytesCompareExactly) {
  checkAll("kelvra.com", {
                             {"kelvra.c\xc3\xb6m", false},        // o with diaeresis
                             {"k\xc3\xa9lvra.com", false},        // e with acute
                             {"kelvra.\xd1\x81om", false},        // Cyrillic es
                             {"\xc3\xa9t\xc3\xa9.kelvra.com", true},  // non-ASCII label below
                         });
  // E with acute: upper case C3 89, lower case C3 A9; Latin-1 single bytes C9 and E9.
  checkAll("\xc3\x89.test", {
                                {"shop.\xc3\x89.test", true},
                                {"SHOP.\xc3\x89.TEST", true},
                                {"shop.\xc3\xa9.test", false},
                            });
  checkAll("\xc3\xa9.test", {{"shop.\xc3\xa9.test", true}, {"shop.\xc3\x89.test", false}});
  checkAll("\xe9.test", {{"www.\xe9.test", true}, {"www.\xc9.test", false}});
}

// A serialised origin is exactly scheme "://" host [":" port]; whatever else a browser
// or a page could put there is no origin at all.
TEST(OriginSplit, TakesSchemeHostAndAPortAndNothingElse) {
  const struct {
    const char* origin;
    const char* protocol;  // NULL: no origin
    const char* host;
  } cases[] = {
      {"https://www.kelvra.com", "https:", "www.kelvra.com"},
      {"http://kelvra.com:8080", "http:", "kelvra.com"},
      {"HTTPS://A.B:1", "HTTPS:", "A.B"},
      {"https://h:65535", "https:", "h"},
      {"web+app://h", "web+app:", "h"},
      {"https://\xc3\xa9t\xc3\xa9.kelvra.com", "https:", "\xc3\xa9t\xc3\xa9.kelvra.com"},
      {"https://www.kelvra.com.", "https:", "www.kelvra.com."},
      {"https://h:65536", NULL, NULL},
      {"https://h:", NULL, NULL},
      {"https://h:123456", NULL, NULL},
      {"https://h:80:80", NULL, NULL},
      {"https://h/", NULL, NULL},
      {"https://h?q", NULL, NULL},
      {"https://h#f", NULL, NULL},
      {"https://u@h", NULL, NULL},
      {"https://h\\x", NULL, NULL},
      {"https://[::1]", NULL, NULL},
      {"https://h h", NULL, NULL},
      {"https://h\x7f", NULL, NULL},
      {"https://\th", NULL, NULL},
      {"https://", NULL, NULL},
      {"https:/h", NULL, NULL},
      {"https:h", NULL, NULL},
      {"://h", NULL, NULL},
      {"1https://h", NULL, NULL},
      {"ht tps://h", NULL, NULL},
      {"null", NULL, NULL},
      {"", NULL, NULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin);
    PageOrigin parts = {};
    const bool split = parseOrigin(c.origin, &parts);
    ASSERT_EQ(c.protocol != NULL, split);
    if (!split) continue;
    EXPECT_EQ(c.protocol, std::string(parts.protocol, parts.protocolLength));
    EXPECT_EQ(c.host, std::string(parts.host, parts.hostLength));
  }
}

}  // namespace
