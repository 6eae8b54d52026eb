#pragma once
// The proxy's part of engine start: after the HTTP servers, the proxy
// settings are read from HTTPProxy and, when the proxy is enabled, the one
// CHTTPProxy is created (it joins the global server list, which owns it).

class CMacroContext;

// Returns true when a proxy was created; its scope's parent is global.
bool CreateHTTPProxy(CMacroContext& global);
