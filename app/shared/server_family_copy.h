#pragma once
// Working copies of the three server families the Servers page holds. A
// nested sheet edits a copy; its OK copies the copy back and its Cancel
// drops it, so the page's own configuration is touched only by an OK.
//
// Every copy is deep: lists are emptied and refilled with copies of the
// source's entries, maps are assigned (each under both maps' locks), the
// strings scope copies its texts and the init macro is a string. Nothing is
// shared between the source and the copy afterwards.

class CChatGlobalConfig;
class CHTTPGlobalConfig;
class CHTTPProxySettings;

void CopyHTTPGlobalConfig(CHTTPGlobalConfig& to, CHTTPGlobalConfig& from);
void CopyChatGlobalConfig(CChatGlobalConfig& to, CChatGlobalConfig& from);
// The proxy's copy starts from the defaults and is then assigned, so a value
// the source never set cannot survive from an earlier copy.
void CopyProxySettings(CHTTPProxySettings& to, const CHTTPProxySettings& from);
