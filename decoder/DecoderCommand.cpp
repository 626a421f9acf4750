#include "decoder/DecoderCommand.h"

#include "decoder/LzmaDecoder.h"
#include "utils/Handles.h"
#include "utils/string/String.h"

#include <windows.h>

namespace Lzma {

namespace {

class FileReader : public Reader {
public:
    explicit FileReader(HANDLE file) : m_file(file) {}
    size_t Read(uint8_t* buffer, size_t capacity) override {
        DWORD got = 0;
        DWORD want = capacity > (1u << 30) ? (1u << 30) : DWORD(capacity);
        if (!ReadFile(m_file, buffer, want, &got, nullptr)) {
            m_failed = true;
            return 0;
        }
        return got;
    }
    bool Failed() const override { return m_failed; }

private:
    HANDLE m_file;
    bool m_failed = false;
};

class FileWriter : public Writer {
public:
    explicit FileWriter(HANDLE file) : m_file(file) {}
    bool Write(const uint8_t* data, size_t size) override {
        while (size) {
            DWORD chunk = size > (1u << 30) ? (1u << 30) : DWORD(size);
            DWORD written = 0;
            if (!WriteFile(m_file, data, chunk, &written, nullptr) || written == 0) return false;
            data += written;
            size -= written;
        }
        return true;
    }

private:
    HANDLE m_file;
};

std::string LastErrorText() {
    DWORD code = GetLastError();
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof(text), nullptr);
    while (n && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
    return n ? std::string(text, n) : "error " + std::to_string(code);
}

int ExitCodeFor(Result result) {
    switch (result) {
    case Result::Ok: return kExitOk;
    case Result::ReadError:
    case Result::WriteError: return kExitFileError;
    case Result::OutOfMemory: return kExitNoMemory;
    default: return kExitBadData;
    }
}

}  // namespace

int DecodeFile(const std::string& inPath, const std::string& outPath, std::string& message) {
    Utils::FileHandle in(CreateFileA(inPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) {
        message = inPath + ": " + LastErrorText();
        return kExitFileError;
    }
    const std::string tempPath = outPath + ".decoding";
    Utils::FileHandle out(CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        message = tempPath + ": " + LastErrorText();
        return kExitFileError;
    }
    FileReader reader(in.Get());
    FileWriter writer(out.Get());
    Result result = DecodeLzmaAlone(reader, writer);
    out.Reset();  // both closed before the rename: the output may replace the input
    in.Reset();
    if (result != Result::Ok) {
        DeleteFileA(tempPath.c_str());
        message = inPath + ": " + ResultText(result);
        return ExitCodeFor(result);
    }
    if (!MoveFileExA(tempPath.c_str(), outPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        message = outPath + ": " + LastErrorText();
        DeleteFileA(tempPath.c_str());
        return kExitFileError;
    }
    return kExitOk;
}

int RunDecoderCommand(const std::string& commandLine, std::string& message) {
    std::vector<std::string> args = Utils::String::SplitArguments(commandLine);
    if (args.size() != 4 || args[1] != "d" || args[2].empty() || args[3].empty()) {
        message = "usage: lzma d <input.lzma> <output>";
        return kExitUsage;
    }
    return DecodeFile(args[2], args[3], message);
}

}  // namespace Lzma
