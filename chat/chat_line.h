#pragma once
// One line of a chat room and the text helpers of posting: the cleaning of
// names and texts, image tags disabled, shouting lowered, comma lists of
// user keys.

#include <cstdint>
#include <string>
#include <string_view>

class CTextBuffer;
struct CChatClientState;

// The raw texts of the two special lines.
inline constexpr std::string_view kJoinText = "~join~";
inline constexpr std::string_view kExitText = "~exit~";

struct CChatLine {
    std::string name;     // cleaned poster name, images disabled
    std::string rawText;  // cleaned text, images intact
    std::string text;     // cleaned text, images disabled
    std::string pict;
    std::string ip;
    std::string hostname;
    std::string to;       // recipient keys; empty for a public line
    std::int64_t time = 0; // seconds since 1970
    std::string key;      // name + "@" + ip

    // Public lines to everybody; a private line to its poster and the
    // recipients its `to` names.
    int IsVisibleTo(const CChatClientState& viewer) const;
};

// 1 when item is an entry of the comma-separated list (runs of commas are
// skipped; exact comparison).
int IsInCommaList(std::string_view item, std::string_view list);
// out := the list's entries other than item, each followed by ','.
void RemoveFromCommaList(std::string& out, std::string_view item, std::string_view list);
// Appends text with every IMG tag (and every '<' that never closes) turned
// into "&lt;" so that it shows as text.
void EscapeIMGTags(CTextBuffer& out, std::string_view text);
std::string EscapeIMGTags(std::string_view text);
// Lower-cases the capitals outside tags when more than 10 letters are at
// least 40 percent capitals.
void DecapitateText(std::string& text);

// A posted name as lines store it: safe HTML with unknown tags escaped and
// ',' turned into a blank, then images disabled.
std::string CleanPosterName(std::string_view name);
// The key of a poster or viewer of that name at that address.
std::string MakeUserKey(std::string_view cleanName, std::string_view ip);
// The viewer's key, cleaned as the lines' keys are, so that names holding
// '&', '"', '<', '>' or ',' still match.
std::string ViewerKey(const CChatClientState& viewer);
