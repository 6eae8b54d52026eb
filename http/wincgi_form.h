#pragma once
// CWinCGIForm: a URL-encoded body cut into the fields a WinCGI program
// finds in its profile. A short plain value is written into the profile
// itself, a longer one or one that a profile line cannot hold goes to a
// file of its own, and a very long one stays in the content file, where the
// program finds it by offset and length.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Decoded values shorter than this, without CR, LF, '"' or TAB, are literal.
inline constexpr std::size_t kWinCGILiteralLimit = 255;
// Decoded values shorter than this (and not literal) get a file of their own.
inline constexpr std::size_t kWinCGIExternalLimit = 65536;

struct CWinCGIField {
    enum class Kind { Literal, External, Huge };
    Kind kind = Kind::Literal;
    // The name as sent, made unique without regard to case: a repeated
    // name becomes name_1, name_2...
    std::string key;
    // The decoded value (empty for a huge one: it is never copied).
    std::string value;
    // Huge: where the value starts in the body and how many bytes it has
    // there, still encoded, as the program reads them from the content file.
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

class CWinCGIForm {
public:
    // Cuts body at '&' up to the first empty piece; a piece's name runs to
    // its first '=' and its value from after that run of '=' to the piece's
    // end. False when a field's name could not be written as a profile key
    // (a line break, a '[' or ';' first, nothing at all): such a form is
    // refused whole rather than passed on without the field.
    bool Parse(std::string_view body);

    const std::vector<CWinCGIField>& Fields() const { return m_fields; }
    // The first name that could not be a key, after Parse failed.
    const std::string& BadName() const { return m_badName; }

private:
    std::vector<CWinCGIField> m_fields;
    std::string m_badName;
};
