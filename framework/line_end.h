#pragma once
// The line-ending strip shared by the line readers of files and sockets.

#include "framework/text_buffer.h"

// text ends with a line of `added` characters closed by a line feed: drops
// the line feed and a carriage return before it, and answers how many of the
// line's characters are left.
inline int StripLineEnd(CTextBuffer& text, int added)
{
    int length = text.GetLength() - 1;
    --added;
    if (added > 0 && text.GetData()[length - 1] == '\r') {
        --length;
        --added;
    }
    text.SetLength(length);
    return added;
}
