#pragma once
// Files as the decoder's Reader and Writer, and the text of the last Windows
// error: shared by the programs built on the decoder (lzma.exe, vpatch.exe).
#include "decoder/LzmaDecoder.h"

#include <windows.h>

#include <string>

namespace Lzma {

// Reads from an open file handle (not owned).
class FileReader : public Reader {
public:
    explicit FileReader(HANDLE file) : m_file(file) {}
    size_t Read(uint8_t* buffer, size_t capacity) override;
    bool Failed() const override { return m_failed; }

private:
    HANDLE m_file;
    bool m_failed = false;
};

// Writes to an open file handle (not owned).
class FileWriter : public Writer {
public:
    explicit FileWriter(HANDLE file) : m_file(file) {}
    bool Write(const uint8_t* data, size_t size) override;

private:
    HANDLE m_file;
};

// GetLastError() as one line of text.
std::string LastErrorText();

}  // namespace Lzma
