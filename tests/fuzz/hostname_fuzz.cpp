// The page host rules against a reference written on std::string: a host (any bytes,
// NULs and all, in a block of exactly its length, so that a read past it shows) on a
// domain, and the same bytes as location.protocol.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "plugin/hostname.h"

namespace {

std::string asciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool referenceMatch(const std::string& host, const std::string& domain) {
  if (host.empty() || host.find('\0') != std::string::npos || host[0] == '[') return false;
  std::string name = asciiLower(host.substr(0, host.find(':')));
  if (!name.empty() && name.back() == '.') name.pop_back();
  const std::string wanted = asciiLower(domain);
  if (wanted.empty() || name.size() < wanted.size()) return false;
  if (name.compare(name.size() - wanted.size(), wanted.size(), wanted) != 0) return false;
  return name.size() == wanted.size() || name[name.size() - wanted.size() - 1] == '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  static const char* const kDomains[] = {"kelvra.com", "a", "x.y.z"};
  const unsigned which = input.ConsumeIntegralInRange<unsigned>(0, 3);
  std::string domain = which < 3 ? kDomains[which] : input.ConsumeRandomLengthString(20);
  domain = domain.c_str();  // a C string: up to its first NUL
  const std::string host = input.ConsumeRemainingBytesAsString();

  std::unique_ptr<char[]> block(new char[host.size()]);
  memcpy(block.get(), host.data(), host.size());
  if (hostMatchesDomain(block.get(), host.size(), domain.c_str()) != referenceMatch(host, domain)) {
    abort();
  }
  if (isHttpsScheme(block.get(), host.size()) != (host.size() == 6 && asciiLower(host) == "https:")) {
    abort();
  }
  if (hostMatchesDomain(NULL, 0, domain.c_str()) || isHttpsScheme(NULL, 0)) abort();
  return 0;
}
