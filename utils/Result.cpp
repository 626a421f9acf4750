#include "utils/Result.h"

#include <windows.h>

namespace Utils {

const char* ReasonName(Reason reason) {
    switch (reason) {
    case Reason::None: return "none";
    case Reason::ServerUnreachable: return "server-unreachable";
    case Reason::HttpStatus: return "http-status";
    case Reason::DownloadCut: return "download-cut";
    case Reason::ManifestMissing: return "manifest-missing";
    case Reason::ManifestTooLarge: return "manifest-too-large";
    case Reason::ManifestBadSignature: return "manifest-bad-signature";
    case Reason::ManifestOlderRelease: return "manifest-older-release";
    case Reason::ManifestReplayed: return "manifest-replayed";
    case Reason::ManifestRulesBroken: return "manifest-rules-broken";
    case Reason::ManifestNoBrand: return "manifest-no-brand";
    case Reason::ManifestUnsafeName: return "manifest-unsafe-name";
    case Reason::UnsafePath: return "unsafe-path";
    case Reason::DigestMismatch: return "digest-mismatch";
    case Reason::DecoderFailed: return "decoder-failed";
    case Reason::DiskFull: return "disk-full";
    case Reason::AccessDenied: return "access-denied";
    case Reason::WriteFailed: return "write-failed";
    case Reason::FolderNotOurs: return "folder-not-ours";
    case Reason::AnotherInstallation: return "another-installation";
    case Reason::ClientRunning: return "client-running";
    case Reason::SelfCopyFailed: return "self-copy-failed";
    case Reason::OldVersionNotRemoved: return "old-version-not-removed";
    case Reason::OutOfMemory: return "out-of-memory";
    case Reason::Cancelled: return "cancelled";
    case Reason::ToolFailed: return "tool-failed";
    case Reason::NotInstalled: return "not-installed";
    case Reason::RemovalIncomplete: return "removal-incomplete";
    case Reason::ClientNotStarted: return "client-not-started";
    }
    return "unknown";
}

Reason ReasonForSystemError(unsigned long error, Reason otherwise) {
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Reason::DiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return Reason::AccessDenied;
    default:
        return otherwise;
    }
}

std::string SystemErrorText(unsigned long error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 && text ? std::string(text, length) : std::string();
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' ||
                               result.back() == '.')) {
        result.pop_back();
    }
    return result;
}

std::string DescribeFailure(const Result& result) {
    std::string text = std::string("reason=") + ReasonName(result.reason) + " error=" + std::to_string(result.error);
    // An HTTP status is no system code: its number says it all.
    if (result.error != 0 && result.reason != Reason::HttpStatus) {
        const std::string system = SystemErrorText(result.error);
        if (!system.empty()) text += " (" + system + ")";
    }
    if (!result.detail.empty()) text += " " + result.detail;
    return text;
}

} // namespace Utils
