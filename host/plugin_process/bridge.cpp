#include "bridge.h"

#include <stdlib.h>
#include <string.h>

#include <map>
#include <utility>
#include <vector>

#include "browser_side.h"
#include "npbrowser.h"
#include "plugin_guard.h"

namespace host {
namespace {

struct PageObject {
  NPObject header;
  uint32_t number;
  uint32_t received;  // times the number came from the page
  NPP instance;       // whose calls the page's values belong to
};

struct Export {
  NPObject* object;
  NPP instance;
  uint32_t sent;  // times the number went to the page and did not come back
};

struct Bridge {
  Channel* page = NULL;
  DWORD thread = 0;  // the page's requests are made on this thread, the channel's
  std::map<uint32_t, PageObject*> pageObjects;
  std::map<uint32_t, Export> exports;
  std::map<std::pair<NPObject*, NPP>, uint32_t> exportNumbers;
  std::vector<NPVariant> afterAnswer;
  uint32_t nextExport = 1;
};

Bridge bridge;

NPNetscapeFuncs* npn() { return browser::functions(); }


PageObject* asPageObject(NPObject* object);

// --- The class of page objects: each member asks the page ----------------------

wire::Writer pageRequest(uint8_t op, NPObject* object) {
  wire::Writer out(wire::kRequest, op);
  out.u32(asPageObject(object)->number);
  return out;
}

// The page's answer, with its kind read; false when the page is gone. The time the
// page takes is the script's, not the plug-in's.
bool ask(const wire::Writer& request, std::string* answer) {
  if (bridge.page == NULL || !bridge.page->open()) return false;
  // Script objects answer on the browser's thread only, as in Firefox: a call from
  // another thread fails and leaves the channel alone.
  if (GetCurrentThreadId() != bridge.thread) return false;
  ScriptCallback script;
  return bridge.page->request(request, answer);
}

void writeArguments(wire::Writer& out, NPP instance, const NPVariant* args, uint32_t count) {
  out.u32(count);
  for (uint32_t i = 0; i < count; ++i) writeValue(out, instance, args[i]);
}

bool askBool(const wire::Writer& request) {
  std::string answer;
  if (!ask(request, &answer)) return false;
  wire::Reader in(answer);
  in.u8();
  return in.u8() != 0;
}

// A call whose answer is a flag and a value for the plug-in.
}  // namespace

bool askPage(const wire::Writer& request, NPP instance, NPVariant* result) {
  VOID_TO_NPVARIANT(*result);
  std::string answer;
  if (!ask(request, &answer)) return false;
  wire::Reader in(answer);
  in.u8();
  bool ok = in.u8() != 0;
  if (ok) readValue(in, instance, result);
  return ok && in.ok();
}

namespace {

NPObject* allocatePageObject(NPP, NPClass*) {
  PageObject* object = static_cast<PageObject*>(calloc(1, sizeof(PageObject)));
  return object != NULL ? &object->header : NULL;
}

void deallocatePageObject(NPObject* object) {
  PageObject* page = asPageObject(object);
  bridge.pageObjects.erase(page->number);
  // A notice, not a request: the page may have sent the number again meanwhile, in a
  // request of its own that crosses this one, and counts it.
  wire::Writer release(wire::kNotice, wire::kToPageRelease);
  release.u32(page->number);
  release.u32(page->received);
  if (bridge.page != NULL) bridge.page->post(release);
  free(page);
}

bool pageHasMethod(NPObject* object, NPIdentifier name) {
  wire::Writer out = pageRequest(wire::kToPageHasMethod, object);
  writeIdentifier(out, name);
  return askBool(out);
}

bool pageHasProperty(NPObject* object, NPIdentifier name) {
  wire::Writer out = pageRequest(wire::kToPageHasProperty, object);
  writeIdentifier(out, name);
  return askBool(out);
}

NPP instanceOf(NPObject* object) { return asPageObject(object)->instance; }

bool pageInvoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                NPVariant* result) {
  NPP instance = instanceOf(object);
  wire::Writer out = pageRequest(wire::kToPageInvoke, object);
  writeIdentifier(out, name);
  writeArguments(out, instance, args, count);
  return askPage(out, instance, result);
}

bool pageInvokeDefault(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
  NPP instance = instanceOf(object);
  wire::Writer out = pageRequest(wire::kToPageInvokeDefault, object);
  writeArguments(out, instance, args, count);
  return askPage(out, instance, result);
}

bool pageConstruct(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
  NPP instance = instanceOf(object);
  wire::Writer out = pageRequest(wire::kToPageConstruct, object);
  writeArguments(out, instance, args, count);
  return askPage(out, instance, result);
}

bool pageGetProperty(NPObject* object, NPIdentifier name, NPVariant* result) {
  NPP instance = instanceOf(object);
  wire::Writer out = pageRequest(wire::kToPageGetProperty, object);
  writeIdentifier(out, name);
  return askPage(out, instance, result);
}

bool pageSetProperty(NPObject* object, NPIdentifier name, const NPVariant* value) {
  wire::Writer out = pageRequest(wire::kToPageSetProperty, object);
  writeIdentifier(out, name);
  writeValue(out, instanceOf(object), *value);
  return askBool(out);
}

bool pageRemoveProperty(NPObject* object, NPIdentifier name) {
  wire::Writer out = pageRequest(wire::kToPageRemoveProperty, object);
  writeIdentifier(out, name);
  return askBool(out);
}

bool pageEnumerate(NPObject* object, NPIdentifier** names, uint32_t* count) {
  *names = NULL;
  *count = 0;
  std::string answer;
  if (!ask(pageRequest(wire::kToPageEnumerate, object), &answer)) return false;
  wire::Reader in(answer);
  in.u8();
  if (in.u8() == 0) return false;
  uint32_t n = in.u32();
  if (!in.ok() || n > answer.size()) return false;
  if (n == 0) return true;
  NPIdentifier* list = static_cast<NPIdentifier*>(npn()->memalloc(n * sizeof(NPIdentifier)));
  if (list == NULL) return false;
  for (uint32_t i = 0; i < n; ++i) list[i] = readIdentifier(in);
  *names = list;
  *count = n;
  return true;
}

NPClass pageClass = {NP_CLASS_STRUCT_VERSION,
                     allocatePageObject,
                     deallocatePageObject,
                     NULL,
                     pageHasMethod,
                     pageInvoke,
                     pageInvokeDefault,
                     pageHasProperty,
                     pageGetProperty,
                     pageSetProperty,
                     pageRemoveProperty,
                     pageEnumerate,
                     pageConstruct};

PageObject* asPageObject(NPObject* object) { return reinterpret_cast<PageObject*>(object); }

uint32_t exportFor(NPObject* object, NPP instance) {
  auto key = std::make_pair(object, instance);
  auto found = bridge.exportNumbers.find(key);
  uint32_t number;
  if (found != bridge.exportNumbers.end()) {
    number = found->second;
  } else {
    number = bridge.nextExport++;
    browser::retain(object);
    bridge.exportNumbers[key] = number;
    bridge.exports[number] = Export{object, instance, 0};
  }
  ++bridge.exports[number].sent;
  return number;
}

void dropExport(std::map<uint32_t, Export>::iterator it, bool invalidate) {
  NPObject* object = it->second.object;
  bridge.exportNumbers.erase(std::make_pair(object, it->second.instance));
  bridge.exports.erase(it);
  if (invalidate && object->_class != NULL && object->_class->invalidate != NULL) {
    PluginCall call("NPClass.invalidate");
    object->_class->invalidate(object);
  }
  browser::release(object);
}

}  // namespace

void setPage(Channel* channel) {
  bridge.page = channel;
  bridge.thread = GetCurrentThreadId();
}

void writeIdentifier(wire::Writer& out, NPIdentifier name) {
  if (npn()->identifierisstring(name)) {
    NPUTF8* text = npn()->utf8fromidentifier(name);
    out.u8(0);
    out.text(text != NULL ? text : "");
    npn()->memfree(text);
  } else {
    out.u8(1);
    out.i32(npn()->intfromidentifier(name));
  }
}

NPIdentifier readIdentifier(wire::Reader& in) {
  if (in.u8() == 0) {
    std::string text = in.text();
    return npn()->getstringidentifier(text.c_str());
  }
  return npn()->getintidentifier(in.i32());
}

void writeValue(wire::Writer& out, NPP instance, const NPVariant& value) {
  switch (value.type) {
    case NPVariantType_Null:
      out.u8(wire::kTagNull);
      break;
    case NPVariantType_Bool:
      out.u8(wire::kTagBool);
      out.u8(value.value.boolValue ? 1 : 0);
      break;
    case NPVariantType_Int32:
      out.u8(wire::kTagInt);
      out.i32(value.value.intValue);
      break;
    case NPVariantType_Double:
      out.u8(wire::kTagDouble);
      out.f64(value.value.doubleValue);
      break;
    case NPVariantType_String: {
      const NPString& s = value.value.stringValue;
      out.u8(wire::kTagString);
      out.text(std::string(s.UTF8Characters != NULL ? s.UTF8Characters : "", s.UTF8Length));
      break;
    }
    case NPVariantType_Object: {
      NPObject* object = value.value.objectValue;
      if (object != NULL && object->_class == &pageClass) {
        out.u8(wire::kTagPageObject);
        out.u32(asPageObject(object)->number);
      } else if (object != NULL) {
        out.u8(wire::kTagPluginObject);
        out.u32(exportFor(object, instance));
      } else {
        out.u8(wire::kTagNull);
      }
      break;
    }
    default:
      out.u8(wire::kTagVoid);
  }
}

void readValue(wire::Reader& in, NPP instance, NPVariant* value) {
  VOID_TO_NPVARIANT(*value);
  switch (in.u8()) {
    case wire::kTagNull:
      NULL_TO_NPVARIANT(*value);
      break;
    case wire::kTagBool:
      BOOLEAN_TO_NPVARIANT(in.u8() != 0, *value);
      break;
    case wire::kTagInt:
      INT32_TO_NPVARIANT(in.i32(), *value);
      break;
    case wire::kTagDouble:
      DOUBLE_TO_NPVARIANT(in.f64(), *value);
      break;
    case wire::kTagString:
      *value = stringForPlugin(in.text());
      break;
    case wire::kTagPluginObject: {
      NPP owner = NULL;
      NPObject* object = exportedObject(in.u32(), &owner);
      if (object != NULL) {
        browser::retain(object);
        OBJECT_TO_NPVARIANT(object, *value);
      } else {
        NULL_TO_NPVARIANT(*value);
      }
      break;
    }
    case wire::kTagPageObject: {
      NPObject* object = pageObject(instance, in.u32());
      if (object != NULL) {
        OBJECT_TO_NPVARIANT(object, *value);
      } else {
        NULL_TO_NPVARIANT(*value);
      }
      break;
    }
    default:
      break;
  }
}

NPObject* pageObject(NPP instance, uint32_t number) {
  if (number == 0) return NULL;
  auto found = bridge.pageObjects.find(number);
  if (found != bridge.pageObjects.end()) {
    ++found->second->received;
    browser::retain(&found->second->header);
    return &found->second->header;
  }
  NPObject* object = browser::createObject(instance, &pageClass);
  if (object == NULL) return NULL;
  PageObject* page = asPageObject(object);
  page->number = number;
  page->received = 1;
  page->instance = instance;
  bridge.pageObjects[number] = page;
  return object;
}

void releaseAfterAnswer(const NPVariant& value) { bridge.afterAnswer.push_back(value); }

void answered() {
  std::vector<NPVariant> held;
  held.swap(bridge.afterAnswer);
  for (NPVariant& value : held) browser::releaseValue(&value);
}

NPObject* exportedObject(uint32_t number, NPP* instance) {
  auto found = bridge.exports.find(number);
  if (found == bridge.exports.end()) return NULL;
  *instance = found->second.instance;
  return found->second.object;
}

void releaseExport(uint32_t number, uint32_t count) {
  auto found = bridge.exports.find(number);
  if (found == bridge.exports.end()) return;
  found->second.sent -= count < found->second.sent ? count : found->second.sent;
  if (found->second.sent == 0) dropExport(found, false);
}

void forgetExports(NPP instance) {
  // An invalidate may call the page, and the page give numbers back meanwhile.
  std::vector<uint32_t> numbers;
  for (const auto& entry : bridge.exports) {
    if (entry.second.instance == instance) numbers.push_back(entry.first);
  }
  for (uint32_t number : numbers) {
    auto found = bridge.exports.find(number);
    if (found != bridge.exports.end()) dropExport(found, true);
  }
}


}  // namespace host
