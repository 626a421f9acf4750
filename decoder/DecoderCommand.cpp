#include "decoder/DecoderCommand.h"

#include "decoder/FileStreams.h"
#include "decoder/LzmaDecoder.h"
#include "utils/Handles.h"
#include "utils/PlainFile.h"
#include "utils/string/String.h"

#include <windows.h>

namespace Lzma {

namespace {

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
    // The folder may be one others can write to (run by an elevated
    // installer): a link planted under this name is removed, never written through.
    Utils::FileHandle out = Utils::ReplaceWithNewPlainFile(tempPath, GENERIC_WRITE);
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
