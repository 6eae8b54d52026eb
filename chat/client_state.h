#pragma once
// CChatClientState: everything a chat room knows of a user, carried in the
// query strings of the room's links and in the bodies of its forms; the room
// keeps no record of its own between requests.
//
// A user key is the (cleaned) name, "@" and the address; `to` and `lockout`
// are comma-separated lists of such keys.

#include <string>
#include <string_view>

class CTextBuffer;

inline constexpr int kDefaultChatNumLines = 6;

struct CChatClientState {
    std::string name;     // screen name; empty: an anonymous viewer
    std::string text;     // the line being posted
    std::string pict;     // picture URL
    std::string url;      // personal hotlink (join form only)
    std::string hostname; // of the connection; never carried
    std::string ip;       // of the connection; never carried
    std::string to;       // recipients of the next line
    std::string lockout;  // posters whose lines this viewer does not see
    int numlines = kDefaultChatNumLines;
    int realtime = 0;
    int showpict = 0;
    int showsource = 0;
    int showtime = 0;

    // Applies the fields present in a query string or form body ("a=b&c=d",
    // form-encoded); the others keep their values. Unknown names are ignored.
    void ParseForm(std::string_view text);
    // Appends the state in the same encoding: name, to, pict and lockout
    // when not empty; unless partial also the set flags and numlines. Every
    // entry ends in '&'.
    void Format(CTextBuffer& out, int partial) const;
    std::string Format(int partial) const;
};
