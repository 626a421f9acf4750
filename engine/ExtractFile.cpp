// Unpacking a fetched file with the outside decoders "lzma" and "oggdec".
#include <windows.h>

#include <string>

#include "engine/DownloadManager.h"
#include "engine/EngineLog.h"
#include "utils/system/System.h"

namespace {

const char* const kFunction = "ExtractFile()";
// The decoders' command line is held to a buffer of this size.
const size_t kCommandLineBuffer = 256;

// Paths with a blank would be split into several arguments by the decoder's
// argument parser, so such a path is passed in quotes; every other path is
// passed exactly as it is.
std::string Argument(const std::string& path) {
    if (path.find_first_of(" \t") == std::string::npos) return path;
    return "\"" + path + "\"";
}

// A decoder that is not even started for this file.
Utils::Result Refused(const std::string& why, const std::string& what) {
    return Utils::Result::Failure(Utils::Reason::DecoderFailed, 0, why + ": " + what);
}

} // namespace

std::string DecoderProgram(const std::string& extension) {
    if (extension == ".lzma") return "lzma";
    if (extension == ".ogg") return "oggdec";
    return std::string();
}

Utils::Result ExtractFile(const std::string& path, const std::string& decoderFolder) {
    size_t dot = path.rfind('.');
    size_t slash = path.find_last_of("\\/");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return Refused("no extension", path);
    }
    const std::string extension = path.substr(dot);
    const std::string base = path.substr(0, dot);

    DWORD attributes = GetFileAttributesA(base.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        if (!SetFileAttributesA(base.c_str(), 0)) {
            const DWORD error = GetLastError();
            return Utils::Result::Failure(Utils::ReasonForSystemError(error, Utils::Reason::AccessDenied), error, base);
        }
    }
    return ExtractFile(path, base, extension, decoderFolder);
}

Utils::Result ExtractFile(const std::string& path, const std::string& base, const std::string& extension,
                          const std::string& decoderFolder) {
    const std::string program = DecoderProgram(extension);
    std::string arguments;
    if (program == "lzma") {
        arguments = " d " + Argument(path) + " " + Argument(base);
    } else if (program == "oggdec") {
        arguments = " -o " + Argument(base) + " " + Argument(path);
    } else {
        return Refused("unknown compressed extension", extension);
    }

    std::string commandLine = program + " " + arguments;
    if (commandLine.size() >= kCommandLineBuffer) {
        return Refused("command line longer than 255 characters", commandLine);
    }

    // Hidden, by its full path: the program search would look beside the
    // installer and in the current folder first. The command line stays as it
    // was, the program's bare name first.
    if (decoderFolder.empty()) {
        return Refused("no decoder folder", program);
    }
    Utils::System::ProcessStart start;
    start.application = decoderFolder + "\\" + program + ".exe";
    start.commandLine = commandLine;
    start.visible = false;
    DWORD exitCode = 0;
    if (!Utils::System::RunProcess(start, exitCode)) {
        return Utils::Result::Failure(Utils::Reason::DecoderFailed, GetLastError(), "not started: " + start.application);
    }
    if (exitCode != 0) {
        return Utils::Result::Failure(Utils::Reason::DecoderFailed, 0, "exit code " + std::to_string(exitCode));
    }
    return Utils::Result::Success();
}

bool ApplyPatch(const std::string& oldFile, const std::string& patch, const std::string& newFile,
                const std::string& toolFolder, unsigned long long newSize, DWORD& exitCode) {
    exitCode = 0xFFFFFFFF;
    if (toolFolder.empty()) return false;
    Utils::System::ProcessStart start;
    start.application = toolFolder + "\\vpatch.exe";
    start.commandLine = "vpatch apply --size " + std::to_string(newSize) + " " + Argument(oldFile) + " " +
                        Argument(patch) + " " + Argument(newFile);
    start.visible = false;
    if (!Utils::System::RunProcess(start, exitCode)) {
        EngineLog::Int("ApplyPatch()", "vpatch not started, error=", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}
