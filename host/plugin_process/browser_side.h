/*
 * What the host does on the browser's side of the plug-in, in the plug-in's process:
 * the page's address in the parts window.location offers (and the plug-in asks
 * for), the never-shown windows an instance draws into, and the browser's
 * accounting at the end of a run.
 */
#ifndef KELVRA_HOST_BROWSER_SIDE_H
#define KELVRA_HOST_BROWSER_SIDE_H

#include <windows.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "npbrowser.h"
#include "npfunctions.h"

namespace host {

// The parts of the page's URL that window.location offers.
struct Location {
  std::string href, protocol, host, hostname, port, pathname, search, hash, origin;
};
Location locationOf(const std::string& url);

// location.host of a URL: the host name (lower case) and any port.
std::string hostOfUrl(const std::string& url);

// A window that is never shown; without a display (Wine headless) a message-only one.
HWND hiddenWindow(const wchar_t* title, uint32_t width, uint32_t height);

// The instance's window: a hidden one of the element's size, handed to NPP_SetWindow
// (reported) when the plug-in has it; the window, for the caller to destroy.
HWND setPluginWindow(const NPPluginFuncs& funcs, NPP instance, uint32_t width, uint32_t height,
                     FILE* report);

// The fields of a version resource's list ("a|b|c").
std::vector<std::string> splitFields(const std::string& text);

// A string for the plug-in: a memalloc copy of its exact length, with a NUL after it
// for plug-ins that read the bytes as a C string, as Firefox's strings have.
NPVariant stringForPlugin(const std::string& text);

// What the browser still holds after the plug-in is gone, against the start: one
// line for each imbalance, or the balanced account; false for an imbalance.
bool reportBalance(const browser::Counts& before, const browser::Counts& after, FILE* report);

}  // namespace host

#endif
