#pragma once
// Basic credentials as a client sends them: the base64 of "user:password".

#include <cstdint>
#include <string>
#include <string_view>

inline std::string BasicCredentials(std::string_view plain)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < plain.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(plain[i]) << 16;
        if (i + 1 < plain.size())
            group |= static_cast<unsigned char>(plain[i + 1]) << 8;
        if (i + 2 < plain.size())
            group |= static_cast<unsigned char>(plain[i + 2]);
        out += kAlphabet[group >> 18 & 63];
        out += kAlphabet[group >> 12 & 63];
        out += i + 1 < plain.size() ? kAlphabet[group >> 6 & 63] : '=';
        out += i + 2 < plain.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}
