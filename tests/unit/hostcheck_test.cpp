// The page host rule: the maker's domain itself or a name below it, nothing that
// merely contains it.
#include <gtest/gtest.h>

#include <string>

#include "plugin/hostcheck.h"

namespace {

bool allowed(const std::string& host) {
  return hostMatchesDomain(host.data(), host.size(), "kelvra.com");
}

TEST(HostCheck, AcceptsTheDomainAndNamesBelowIt) {
  for (const char* host : {"kelvra.com", "www.kelvra.com", "SHOP.KELVRA.COM", "a.b.kelvra.com",
                           "Kelvra.Com", "kelvra.com:8080", "www.kelvra.com.:443", "kelvra.com."}) {
    EXPECT_TRUE(allowed(host)) << host;
  }
}

TEST(HostCheck, RefusesNamesThatOnlyContainTheDomain) {
  for (const char* host : {"kelvra.com.attacker.example", "notkelvra.com", "evil-kelvra.com",
                           "kelvra.co", "kelvra.comm", "kelvra.com..", "wwwkelvra.com",
                           "attacker.example:kelvra.com", "xkelvra.com:80"}) {
    EXPECT_FALSE(allowed(host)) << host;
  }
}

TEST(HostCheck, RefusesEmptyAddressAndNulHolding) {
  EXPECT_FALSE(allowed(""));
  EXPECT_FALSE(allowed(":443"));
  EXPECT_FALSE(allowed("[::1]"));
  EXPECT_FALSE(allowed("[::1]:80"));
  EXPECT_FALSE(allowed("[kelvra.com]"));
  EXPECT_FALSE(allowed(std::string("kelvra.com\0.evil", 16)));
  EXPECT_FALSE(allowed(std::string("www.kelvra.com\0", 15)));
  EXPECT_FALSE(hostMatchesDomain(nullptr, 0, "kelvra.com"));
}

// Only a to z fold: bytes of other letters compare as they are.
TEST(HostCheck, NonAsciiBytesCompareExactly) {
  EXPECT_FALSE(allowed("kelvra.c\xc3\xb6m"));
  EXPECT_FALSE(allowed("k\xc3\xa9lvra.com"));
  EXPECT_TRUE(allowed("\xc3\xa9t\xc3\xa9.kelvra.com"));
  const std::string upper = "shop.\xc3\x89.test";  // E with acute, upper case
  const std::string lower = "shop.\xc3\xa9.test";
  EXPECT_TRUE(hostMatchesDomain(upper.data(), upper.size(), "\xc3\x89.test"));
  EXPECT_FALSE(hostMatchesDomain(lower.data(), lower.size(), "\xc3\x89.test"));
}

}  // namespace
