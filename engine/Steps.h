#pragma once
// The named steps of an install/update pass. Each step starts with the log
// record "step: <name>" (a log of a run cut short ends with the step it was
// in), and a failure names the step it happened in. Tests aim at steps by
// these names, so renaming one changes them too.
namespace Steps {

constexpr char kFetchManifest[] = "FetchManifest";
constexpr char kReadManifest[] = "ReadManifest";
constexpr char kResolveFolders[] = "ResolveFolders";
constexpr char kStopOtherRunningCopy[] = "StopOtherRunningCopy";
constexpr char kInstallOwnCopy[] = "InstallOwnCopy";
constexpr char kWriteUninstallEntry[] = "WriteUninstallEntry";
constexpr char kFetchFiles[] = "FetchFiles";
constexpr char kCreateShortcuts[] = "CreateShortcuts";
constexpr char kApplyRegSection[] = "ApplyRegSection";
constexpr char kWriteUpdateRecord[] = "WriteUpdateRecord";

// Where a failure outside a pass's steps happened (no step record is written).
constexpr char kQuestions[] = "Questions";         // the dialog's questions, before the worker starts
constexpr char kPrepare[] = "Prepare";             // a pass before its first step
constexpr char kHoldInstallLock[] = "HoldInstallLock";
constexpr char kStartClient[] = "StartClient";

// The prefix of a step's log record.
constexpr char kRecordPrefix[] = "step: ";

} // namespace Steps
