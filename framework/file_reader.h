#pragma once
// CFileReader: reads text lines from a file or pipe handle through a
// 1024-byte buffer. The handle stays the caller's.

#include <cstdint>

class CTextBuffer;

class CFileReader {
public:
    static constexpr int kBufferSize = 1024;

    explicit CFileReader(int file = -1) : m_file(file) {}
    // Starts over on another handle.
    void SetFile(int file);
    int GetFile() const { return m_file; }

    // Appends one line through its LF (strip removes the LF and a CR before
    // it) and returns the bytes added. A last line without LF is returned as
    // it is; at the end of the file 0 with last error 0; -1 on a read error.
    int ReadLine(CTextBuffer& text, bool strip);

private:
    int m_position = 0;
    int m_held = 0;
    char m_buffer[kBufferSize];
    int m_file;
};
