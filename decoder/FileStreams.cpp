#include "decoder/FileStreams.h"

namespace Lzma {

size_t FileReader::Read(uint8_t* buffer, size_t capacity) {
    DWORD got = 0;
    DWORD want = capacity > (1u << 30) ? (1u << 30) : DWORD(capacity);
    if (!ReadFile(m_file, buffer, want, &got, nullptr)) {
        m_failed = true;
        return 0;
    }
    return got;
}

bool FileWriter::Write(const uint8_t* data, size_t size) {
    while (size) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : DWORD(size);
        DWORD written = 0;
        if (!WriteFile(m_file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

std::string LastErrorText() {
    DWORD code = GetLastError();
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof(text), nullptr);
    while (n && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
    return n ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace Lzma
