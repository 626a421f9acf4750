#pragma once
// How a step of the installer, the engine or the uninstaller fails: success,
// or one reason from Reason with the system's error code where there is one.
// The reasons are the vocabulary of everything said about a failure: the log
// records, what the player is told and what is reported to the log server.
// Their names (ReasonName) travel in reports and logs: never rename one.
#include <string>

namespace Utils {

enum class Reason {
    None,  // success
    // Reaching the servers.
    ServerUnreachable,  // no answer: name, connection, time-out (error: the WinINet code)
    HttpStatus,         // an error answer (error: the HTTP status)
    DownloadCut,        // an answer that stopped before its end (error: the read's code)
    // The manifest.
    ManifestMissing,        // no manifest file to read
    ManifestTooLarge,       // over the size limit, refused unread
    ManifestBadSignature,   // not signed by a release key (or not at all)
    ManifestOlderRelease,   // a signed release older than the installed one
    ManifestReplayed,       // a signed no-update answer for another date
    ManifestRulesBroken,    // signed, but breaks a signed release's rules
    ManifestNoBrand,        // no usable BRAND_NAME
    ManifestUnsafeName,     // a name that would reach outside the installation
    // One file.
    UnsafePath,      // a local path outside the data folder
    DigestMismatch,  // the fetched or unpacked file is not the one the manifest names
    DecoderFailed,   // the decoder did not start or did not succeed
    DiskFull,        // a write failed for lack of space
    AccessDenied,    // a file or folder may not be written (rights, or in use)
    WriteFailed,     // any other failed write or move
    // The installation.
    FolderNotOurs,         // a brand folder exists and is not this installation's
    AnotherInstallation,   // another run of this product and brand holds the lock
    ClientRunning,         // the game (or another copy) runs and shows a window
    SelfCopyFailed,        // the installer could not be copied into the install folder
    OldVersionNotRemoved,  // a handed-over copy could not be removed
    OutOfMemory,
    Cancelled,        // the player cancelled
    ToolFailed,       // an outside tool (cabinet, post-install, patch) failed
    NotInstalled,     // nothing of the brand to remove
    RemovalIncomplete, // some of an installation could not be removed
    ClientNotStarted   // the installed game could not be started
};

// The stable name of a reason: lower case, words joined by "-"
// ("server-unreachable"); "none" for success.
const char* ReasonName(Reason reason);

// A failed file-system call's reason: DiskFull, AccessDenied (rights, a file
// in use, a read-only file) or `otherwise`.
Reason ReasonForSystemError(unsigned long error, Reason otherwise = Reason::WriteFailed);

// The system's text for an error code, one line, without its final period
// ("" when the system has none).
std::string SystemErrorText(unsigned long error);

// A step's outcome. Converts to true on success.
struct Result {
    Reason reason = Reason::None;
    unsigned long error = 0;  // system error code, or the HTTP status of HttpStatus; 0: none
    std::string detail;       // what it concerns: a file, a host, a brand; may be empty
    // The program's established wording for it, where a step reported one
    // (the download listener's message): the details line the player sees.
    std::string said;

    static Result Success() { return Result(); }
    static Result Failure(Reason why, unsigned long code = 0, const std::string& about = std::string()) {
        Result result;
        result.reason = why;
        result.error = code;
        result.detail = about;
        return result;
    }
    bool Ok() const { return reason == Reason::None; }
    explicit operator bool() const { return Ok(); }
};

// "reason=<name> error=<code> (<system text>) <detail>": the failure part of
// a log record; the code's text only where it is a system code.
std::string DescribeFailure(const Result& result);

} // namespace Utils
