#pragma once
// CHTTPException: a request that ends with an error reply. Request code
// throws it by value with the status, the expanded page and any extra header
// lines (each ending in CR LF); the request loop catches it once and sends it
// through SendErrorReply with that status.
//
// The class itself lives with the macro language's exceptions, because a
// try inside a KAV page must let it pass unhandled; this header is where the
// HTTP side takes it from.

#include "macro/macro_exception.h"
