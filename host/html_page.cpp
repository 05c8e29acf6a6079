#include "html_page.h"

#include <windows.h>
#include <stdlib.h>
#include <wctype.h>

#include "plugin_loader.h"

namespace host {
namespace {

std::wstring lowerCase(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

bool isSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f';
}

unsigned long lineAt(const std::wstring& text, size_t position) {
  unsigned long line = 1;
  for (size_t i = 0; i < position && i < text.size(); ++i) {
    if (text[i] == L'\n') ++line;
  }
  return line;
}

struct Tag {
  std::wstring name;  // lower case; "/name" for an end tag
  NameValues attributes;
  size_t end;  // just after '>'
};

// The tag starting at text[start] == '<'; false when it is none.
bool readTag(const std::wstring& text, size_t start, Tag* tag) {
  size_t i = start + 1;
  size_t nameStart = i;
  if (i < text.size() && text[i] == L'/') ++i;
  while (i < text.size() && (iswalnum(text[i]) || text[i] == L'-')) ++i;
  if (i == nameStart || (i == nameStart + 1 && text[nameStart] == L'/')) return false;
  tag->name = lowerCase(text.substr(nameStart, i - nameStart));
  tag->attributes.clear();
  while (i < text.size() && text[i] != L'>') {
    if (isSpace(text[i]) || text[i] == L'/') {
      ++i;
      continue;
    }
    size_t n = i;
    while (i < text.size() && !isSpace(text[i]) && text[i] != L'=' && text[i] != L'>' &&
           text[i] != L'/') {
      ++i;
    }
    std::wstring name = lowerCase(text.substr(n, i - n));
    while (i < text.size() && isSpace(text[i])) ++i;
    std::wstring value;
    if (i < text.size() && text[i] == L'=') {
      ++i;
      while (i < text.size() && isSpace(text[i])) ++i;
      if (i < text.size() && (text[i] == L'"' || text[i] == L'\'')) {
        wchar_t quote = text[i++];
        size_t v = i;
        while (i < text.size() && text[i] != quote) ++i;
        value = text.substr(v, i - v);
        if (i < text.size()) ++i;
      } else {
        size_t v = i;
        while (i < text.size() && !isSpace(text[i]) && text[i] != L'>') ++i;
        value = text.substr(v, i - v);
      }
    }
    if (!name.empty())
      tag->attributes.push_back(std::make_pair(narrow(name), decodeEntities(narrow(value))));
  }
  tag->end = i < text.size() ? i + 1 : text.size();
  return true;
}

std::string find(const NameValues& values, const char* name) {
  for (const auto& value : values) {
    if (value.first == name) return value.second;
  }
  return std::string();
}

}  // namespace

std::string PageElement::attribute(const char* name) const { return find(attributes, name); }

std::string decodeEntities(const std::string& text) {
  static const struct {
    const char* name;
    const char* text;
  } kEntities[] = {{"amp", "&"},   {"lt", "<"},   {"gt", ">"},
                   {"quot", "\""}, {"apos", "'"}, {"nbsp", "\xC2\xA0"}};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t semicolon = text[i] == '&' ? text.find(';', i) : std::string::npos;
    if (semicolon == std::string::npos || semicolon - i > 10) {
      out += text[i];
      continue;
    }
    std::string name = text.substr(i + 1, semicolon - i - 1);
    std::string replacement;
    if (name.size() > 1 && name[0] == '#') {
      bool hex = name[1] == 'x' || name[1] == 'X';
      unsigned long code = strtoul(name.c_str() + (hex ? 2 : 1), NULL, hex ? 16 : 10);
      std::wstring units;
      if (code >= 0x10000 && code < 0x110000) {  // beyond 16 bits: a surrogate pair
        units += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
        units += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
      } else if (code > 0 && code < 0x10000) {
        units += static_cast<wchar_t>(code);
      }
      if (!units.empty()) replacement = narrow(units);
    } else {
      for (const auto& entity : kEntities) {
        if (name == entity.name) replacement = entity.text;
      }
    }
    if (replacement.empty()) {
      out += text[i];
      continue;
    }
    out += replacement;
    i = semicolon;
  }
  return out;
}

HtmlPage parseHtml(const std::wstring& text) {
  HtmlPage page;
  size_t openObject = 0;  // 1 + the index of the <object> whose <param>s follow
  size_t i = 0;
  while ((i = text.find(L'<', i)) != std::wstring::npos) {
    if (text.compare(i, 4, L"<!--") == 0) {
      size_t close = text.find(L"-->", i + 4);
      i = close == std::wstring::npos ? text.size() : close + 3;
      continue;
    }
    Tag tag;
    if (!readTag(text, i, &tag)) {
      ++i;
      continue;
    }
    i = tag.end;
    if (tag.name == L"script") {
      // Script text runs to the first </script>, whatever it holds.
      size_t close = lowerCase(text.substr(i)).find(L"</script");
      size_t stop = close == std::wstring::npos ? text.size() : i + close;
      PageScriptRef script;
      script.src = find(tag.attributes, "src");
      script.source = text.substr(i, stop - i);
      script.line = lineAt(text, i);
      // As browsers do: a script of another type (a template, JSON data) is not run.
      std::wstring type = lowerCase(widen(find(tag.attributes, "type")));
      if (type.empty() || type.find(L"javascript") != std::wstring::npos ||
          type.find(L"ecmascript") != std::wstring::npos || type == L"text/jscript") {
        page.scripts.push_back(script);
      }
      size_t after = text.find(L'>', stop);
      i = after == std::wstring::npos ? text.size() : after + 1;
    } else if (tag.name == L"title") {
      size_t close = lowerCase(text.substr(i)).find(L"</title");
      std::wstring title = text.substr(i, close == std::wstring::npos ? std::wstring::npos : close);
      page.title = decodeEntities(narrow(title));
    } else if (tag.name == L"embed" || tag.name == L"object") {
      page.elements.push_back(PageElement{narrow(tag.name), tag.attributes, NameValues(), page.scripts.size()});
      openObject = tag.name == L"object" ? page.elements.size() : 0;
    } else if (tag.name == L"param" && openObject != 0) {
      page.elements[openObject - 1].params.push_back(
          std::make_pair(find(tag.attributes, "name"), find(tag.attributes, "value")));
    } else if (tag.name == L"/object") {
      openObject = 0;
    }
  }
  return page;
}

bool isHtmlName(const std::wstring& name) {
  std::wstring lower = lowerCase(name);
  auto endsWith = [&lower](const wchar_t* suffix) {
    size_t n = wcslen(suffix);
    return lower.size() >= n && lower.compare(lower.size() - n, n, suffix) == 0;
  };
  return endsWith(L".html") || endsWith(L".htm");
}

}  // namespace host
