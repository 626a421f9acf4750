#include "patcher/PatchCommand.h"

#include "decoder/DecoderCommand.h"
#include "patcher/PatchApply.h"
#include "utils/Handles.h"

#include <windows.h>

namespace Patch {

namespace {

class FileSource : public Source {
public:
    FileSource(HANDLE file, uint64_t size) : m_file(file), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override {
        if (offset > m_size || size > m_size - offset) return false;
        while (size) {
            OVERLAPPED at = {};
            at.Offset = DWORD(offset);
            at.OffsetHigh = DWORD(offset >> 32);
            DWORD want = size > (1u << 30) ? (1u << 30) : DWORD(size), got = 0;
            if (!ReadFile(m_file, buffer, want, &got, &at) || got == 0) return false;
            buffer += got;
            offset += got;
            size -= got;
        }
        return true;
    }

private:
    HANDLE m_file;
    uint64_t m_size;
};

class FileReader : public Lzma::Reader {
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

class FileWriter : public Lzma::Writer {
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

Utils::FileHandle OpenForReading(const std::string& path) {
    return Utils::FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

int ApplyFile(const std::string& oldPath, const std::string& patchPath, const std::string& newPath,
              std::string& message) {
    Utils::FileHandle old = OpenForReading(oldPath);
    LARGE_INTEGER oldSize = {};
    if (!old || !GetFileSizeEx(old.Get(), &oldSize)) {
        message = oldPath + ": " + LastErrorText();
        return kExitCannotRead;
    }
    Utils::FileHandle patch = OpenForReading(patchPath);
    if (!patch) {
        message = patchPath + ": " + LastErrorText();
        return kExitCannotRead;
    }
    const std::string tempPath = newPath + ".patching";
    Utils::FileHandle out(CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        message = tempPath + ": " + LastErrorText();
        return kExitCannotWrite;
    }
    FileSource source(old.Get(), uint64_t(oldSize.QuadPart));
    FileReader reader(patch.Get());
    FileWriter writer(out.Get());
    std::string detail;
    ApplyResult result = ApplyPatch(source, reader, writer, detail);
    out.Reset();  // all closed before the rename: the result may replace the old file
    old.Reset();
    patch.Reset();
    if (result != ApplyResult::Ok) {
        DeleteFileA(tempPath.c_str());
        message = detail;
        return ExitCodeFor(result);
    }
    if (!MoveFileExA(tempPath.c_str(), newPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        message = newPath + ": " + LastErrorText();
        DeleteFileA(tempPath.c_str());
        return kExitCannotWrite;
    }
    return kExitOk;
}

int RunPatchCommand(const std::string& commandLine, std::string& message) {
    std::vector<std::string> args = Lzma::SplitCommandLine(commandLine);
    if (args.size() != 5 || args[1] != "apply" || args[2].empty() || args[3].empty() || args[4].empty()) {
        message = "usage: vpatch apply <old file> <patch> <new file>";
        return kExitUsage;
    }
    return ApplyFile(args[2], args[3], args[4], message);
}

}  // namespace Patch
