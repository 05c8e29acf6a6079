/*
 * What the host needs of an HTML page: its title, its <embed> and <object>
 * elements (with their attributes and <param>s, in page order) and its scripts
 * (inline, or loaded from their src), in document order. A tolerant scan, not a
 * full HTML parser: comments are skipped, tag and attribute names compare without
 * letter case, attribute values may be quoted or bare.
 */
#ifndef KELVRA_HOST_HTML_PAGE_H
#define KELVRA_HOST_HTML_PAGE_H

#include <string>
#include <utility>
#include <vector>

namespace host {

typedef std::vector<std::pair<std::string, std::string>> NameValues;

struct PageElement {
  std::string tag;        // "embed" or "object", lower case
  NameValues attributes;  // names in lower case, as written otherwise
  NameValues params;      // an <object>'s <param name value>s
  size_t scriptsBefore = 0;  // how many of the page's scripts come before it
  std::string attribute(const char* name) const;
};

struct PageScriptRef {
  std::string src;      // empty: inline
  std::wstring source;  // the inline text
  unsigned long line;   // where the script's text starts in the page, from 1
};

struct HtmlPage {
  std::string title;
  std::vector<PageElement> elements;
  std::vector<PageScriptRef> scripts;
};

HtmlPage parseHtml(const std::wstring& text);

// Whether a page file is HTML (by its name: .html or .htm).
bool isHtmlName(const std::wstring& name);

// Entity references of attribute values and titles (&amp; &lt; &gt; &quot; &#39;
// &#NN; &#xNN;) decoded.
std::string decodeEntities(const std::string& text);

}  // namespace host

#endif
