// The page host rules against a reference written on std::string: a host (any bytes,
// NULs and all, in a block of exactly its length, so that a read past it shows) on a
// domain, the same bytes as location.protocol, and, up to their first NUL, as a
// document origin.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "plugin/host_rule.h"

namespace {

std::string asciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool isHostCharacter(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte != 0x7F && std::string("/?#@\\[]:").find(c) == std::string::npos;
}

// name[:port] split at the first ':': a name of host characters, a port of one to five
// digits up to 65535; false for anything else.
bool referenceHostAndPort(const std::string& text, std::string* name) {
  const size_t colon = text.find(':');
  *name = text.substr(0, colon);
  if (name->empty()) return false;
  for (char c : *name) {
    if (!isHostCharacter(c)) return false;
  }
  if (colon == std::string::npos) return true;
  const std::string port = text.substr(colon + 1);
  return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
         std::stoul(port) <= 65535;
}

bool referenceMatch(const std::string& host, const std::string& domain) {
  std::string name;
  if (!referenceHostAndPort(host, &name)) return false;
  name = asciiLower(name);
  if (name.back() == '.') name.pop_back();
  if (name.empty() || name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) {
    return false;
  }
  const std::string wanted = asciiLower(domain);
  if (wanted.empty() || name.size() < wanted.size()) return false;
  if (name.compare(name.size() - wanted.size(), wanted.size(), wanted) != 0) return false;
  return name.size() == wanted.size() || name[name.size() - wanted.size() - 1] == '.';
}

bool isSchemeCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

// scheme "://" name[:port], split by position; false for anything else.
bool referenceOrigin(const std::string& origin, std::string* protocol, std::string* host) {
  const size_t separator = origin.find("://");
  if (separator == std::string::npos || separator == 0) return false;
  const std::string scheme = origin.substr(0, separator);
  if (!((scheme[0] >= 'a' && scheme[0] <= 'z') || (scheme[0] >= 'A' && scheme[0] <= 'Z'))) return false;
  for (char c : scheme) {
    if (!isSchemeCharacter(c)) return false;
  }
  if (!referenceHostAndPort(origin.substr(separator + 3), host)) return false;
  *protocol = scheme + ":";
  return true;
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

  const std::string origin = host.c_str();
  std::unique_ptr<char[]> text(new char[origin.size() + 1]);
  memcpy(text.get(), origin.c_str(), origin.size() + 1);
  PageOrigin parts;
  std::string protocol, name;
  const bool split = parseOrigin(text.get(), &parts);
  if (split != referenceOrigin(origin, &protocol, &name)) abort();
  if (split && (std::string(parts.protocol, parts.protocolLength) != protocol ||
                std::string(parts.host, parts.hostLength) != name)) {
    abort();
  }
  return 0;
}
