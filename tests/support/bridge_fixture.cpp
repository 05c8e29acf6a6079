#include "bridge_fixture.h"

#include <stdio.h>
#include <string.h>

namespace kelvra_test {

ScriptArg stringArg(const std::string& text) {
  ScriptArg arg;
  arg.type = NPVariantType_String;
  arg.text = text;
  return arg;
}

ScriptArg boolArg(bool value) { return rawBoolArg(value ? 1 : 0); }

ScriptArg rawBoolArg(unsigned char byte) {
  ScriptArg arg;
  arg.type = NPVariantType_Bool;
  arg.number = byte;
  return arg;
}

ScriptArg intArg(int32_t value) {
  ScriptArg arg;
  arg.type = NPVariantType_Int32;
  arg.number = value;
  return arg;
}

ScriptArg doubleArg(double value) {
  ScriptArg arg;
  arg.type = NPVariantType_Double;
  arg.real = value;
  return arg;
}

ScriptArg nullArg() {
  ScriptArg arg;
  arg.type = NPVariantType_Null;
  return arg;
}

ScriptArg voidArg() { return ScriptArg(); }

std::vector<NPVariant> makeArguments(const std::vector<ScriptArg>& args) {
  std::vector<NPVariant> made;
  for (const ScriptArg& arg : args) {
    NPVariant value;
    memset(&value, 0, sizeof value);
    switch (arg.type) {
      case NPVariantType_String:
        value = browser::stringArgument(arg.text);
        break;
      case NPVariantType_Bool: {
        value.type = NPVariantType_Bool;
        const unsigned char byte = static_cast<unsigned char>(arg.number);
        memcpy(&value.value.boolValue, &byte, 1);
        break;
      }
      case NPVariantType_Int32:
        INT32_TO_NPVARIANT(arg.number, value);
        break;
      case NPVariantType_Double:
        DOUBLE_TO_NPVARIANT(arg.real, value);
        break;
      case NPVariantType_Null:
        NULL_TO_NPVARIANT(value);
        break;
      default:
        VOID_TO_NPVARIANT(value);
        break;
    }
    made.push_back(value);
  }
  return made;
}

void PrintTo(const ScriptArg& arg, std::ostream* out) {
  switch (arg.type) {
    case NPVariantType_String:
      *out << "string(" << arg.text.size() << " bytes)";
      break;
    case NPVariantType_Bool:
      *out << "bool(" << arg.number << ")";
      break;
    case NPVariantType_Int32:
      *out << "int(" << arg.number << ")";
      break;
    case NPVariantType_Double:
      *out << "double(" << arg.real << ")";
      break;
    case NPVariantType_Null:
      *out << "null";
      break;
    default:
      *out << "void";
      break;
  }
}

std::string addressText(const NPObject* object) {
  char text[16];
  snprintf(text, sizeof text, "0x%8.8x",
           static_cast<unsigned int>(reinterpret_cast<uintptr_t>(object)));
  return text;
}

std::vector<std::string> expandTokens(const std::vector<std::string>& lines,
                                      const std::map<std::string, std::string>& tokens) {
  std::vector<std::string> result;
  for (std::string line : lines) {
    for (const auto& token : tokens) {
      const std::string placeholder = "{" + token.first + "}";
      for (size_t at = line.find(placeholder); at != std::string::npos;
           at = line.find(placeholder, at + token.second.size())) {
        line.replace(at, placeholder.size(), token.second);
      }
    }
    result.push_back(line);
  }
  return result;
}

long misuseOf(const browser::Counts& counts) {
  return counts.badFrees + counts.deadObjectCalls + counts.underflows;
}

BridgeFixture::Embedding BridgeFixture::open() {
  Embedding embedding;
  NPError error = NPERR_GENERIC_ERROR;
  embedding.instance = newInstance("www.kelvra.com", &error);
  if (error == NPERR_NO_ERROR) embedding.object = scriptableObject(embedding.instance);
  return embedding;
}

void BridgeFixture::close(const Embedding& embedding) {
  destroy(embedding.instance);
  if (embedding.object != NULL) browser::release(embedding.object);
}

CallOutcome BridgeFixture::run(NPObject* object, const std::string& method,
                               const std::vector<ScriptArg>& args, long failAllocationsFrom) {
  CallOutcome outcome;
  mark();
  const size_t calls = launcher.callCount();
  outcome.before = browser::counts();
  std::vector<NPVariant> made = makeArguments(args);
  if (failAllocationsFrom >= 0) {
    browser::Faults faults;
    faults.failAllocationsFrom = failAllocationsFrom;
    browser::setFaults(faults);
  }
  outcome.answered = call(object, method, made, &outcome.result);
  if (failAllocationsFrom >= 0) browser::setFaults(browser::Faults());
  outcome.after = browser::counts();
  outcome.launcherCalls = launcher.callCount() - calls;
  outcome.lines = messagesSinceMark();
  return outcome;
}

void OpenEmbeddingFixture::SetUp() {
  BridgeFixture::SetUp();
  ASSERT_TRUE(start());
  embedding = open();
  ASSERT_NE(nullptr, embedding.object);
}

void OpenEmbeddingFixture::TearDown() {
  if (embedding.object != NULL) close(embedding);
  BridgeFixture::TearDown();
}

}  // namespace kelvra_test
