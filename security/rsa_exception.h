#pragma once
// CRSAException: a failure of the cryptographic toolkit, carrying the
// toolkit's status code.

#include <cstdio>
#include <exception>

// Toolkit status codes used so far.
inline constexpr int kToolkitOutOfMemory = 518;
inline constexpr int kToolkitBadData = 524;   // e.g. a character outside the base64 alphabet
inline constexpr int kToolkitBadLength = 525; // e.g. an incomplete base64 group

class CRSAException : public std::exception {
public:
    explicit CRSAException(int code) : m_code(code)
    {
        std::snprintf(m_text, sizeof m_text, "toolkit error %d", code);
    }
    int GetCode() const { return m_code; }
    const char* what() const noexcept override { return m_text; }

private:
    int m_code;
    char m_text[32];
};
