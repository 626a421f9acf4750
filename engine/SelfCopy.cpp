#include "engine/SelfCopy.h"

#include "utils/Handles.h"
#include "utils/fs/AtomicFile.h"

namespace SelfCopy {

namespace {

Utils::Result LastWriteFailure(const std::string& about) {
    const DWORD error = GetLastError();
    return Utils::Result::Failure(Utils::ReasonForSystemError(error), error, about);
}

} // namespace

Utils::Result CopyInBlocks(HANDLE source, HANDLE target) {
    char block[512];
    while (true) {
        DWORD got = 0;
        if (!ReadFile(source, block, sizeof(block), &got, nullptr)) {
            return Utils::Result::Failure(Utils::Reason::SelfCopyFailed, GetLastError());
        }
        if (got == 0) return Utils::Result::Success();
        DWORD done = 0;
        while (done < got) {
            DWORD written = 0;
            if (!WriteFile(target, block + done, got - done, &written, nullptr)) return LastWriteFailure("");
            // A write that makes no progress would loop for ever.
            if (written == 0) return Utils::Result::Failure(Utils::Reason::WriteFailed);
            done += written;
        }
    }
}

Utils::Result CopyInBlocks(const std::string& sourcePath, const std::string& targetPath) {
    Utils::FileHandle target(CreateFileA(targetPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) return LastWriteFailure(targetPath);
    Utils::FileHandle source(CreateFileA(sourcePath.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) return Utils::Result::Failure(Utils::Reason::SelfCopyFailed, GetLastError(), sourcePath);
    Utils::Result result = CopyInBlocks(source.Get(), target.Get());
    if (result && !FlushFileBuffers(target.Get())) result = LastWriteFailure(targetPath);
    if (!result.Ok() && result.detail.empty()) result.detail = targetPath;
    return result;
}

Utils::Result CopyOver(const std::string& source, const std::string& target) {
    const std::string temporary = Utils::FileSystem::ReplacementName(target);
    Utils::Result result = CopyInBlocks(source, temporary);
    if (result && !Utils::FileSystem::ReplaceFileAtomically(temporary, target)) result = LastWriteFailure(target);
    if (!result) DeleteFileA(temporary.c_str());
    return result;
}

} // namespace SelfCopy
