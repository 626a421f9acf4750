#include "patcher/PatchCommand.h"

#include "utils/string/String.h"
#include "decoder/FileStreams.h"
#include "patcher/PatchApply.h"
#include "utils/Handles.h"
#include "utils/PlainFile.h"

#include <windows.h>

namespace Patch {

using Lzma::LastErrorText;

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

Utils::FileHandle OpenForReading(const std::string& path) {
    return Utils::FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

int ApplyFile(const std::string& oldPath, const std::string& patchPath, const std::string& newPath,
              std::string& message, uint64_t expectedSize) {
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
    // The folder may be one others can write to (run by an elevated
    // installer): a link planted under this name is removed, never written through.
    Utils::FileHandle out = Utils::ReplaceWithNewPlainFile(tempPath, GENERIC_WRITE);
    if (!out) {
        message = tempPath + ": " + LastErrorText();
        return kExitCannotWrite;
    }
    FileSource source(old.Get(), uint64_t(oldSize.QuadPart));
    Lzma::FileReader reader(patch.Get());
    Lzma::FileWriter writer(out.Get());
    std::string detail;
    ApplyResult result = ApplyPatch(source, reader, writer, detail, expectedSize);
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

// Decimal digits only, at most 19 (no sign, no blank, no overflow).
static bool ParseSize(const std::string& text, uint64_t& size) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    size = std::stoull(text);
    return true;
}

int RunPatchCommand(const std::string& commandLine, std::string& message) {
    std::vector<std::string> args = Utils::String::SplitArguments(commandLine);
    uint64_t expectedSize = kAnySize;
    if (args.size() == 7 && args[1] == "apply" && args[2] == "--size") {
        if (!ParseSize(args[3], expectedSize)) args.clear();
        else args.erase(args.begin() + 2, args.begin() + 4);
    }
    if (args.size() != 5 || args[1] != "apply" || args[2].empty() || args[3].empty() || args[4].empty()) {
        message = "usage: vpatch apply [--size <bytes>] <old file> <patch> <new file>";
        return kExitUsage;
    }
    return ApplyFile(args[2], args[3], args[4], message, expectedSize);
}

}  // namespace Patch
