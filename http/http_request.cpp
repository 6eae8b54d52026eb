#include "http/http_request.h"

namespace {
char g_empty[1] = {'\0'};
}

CHTTPRequest::CHTTPRequest()
    : RequestLine(kRequestLineCapacity, kRequestLineGrowStep),
      HeaderText(kHeaderTextCapacity, kHeaderTextGrowStep),
      URLPath(g_empty),
      QueryText(g_empty),
      Protocol(g_empty),
      Method(g_empty)
{
}
