#pragma once
// Running and starting processes, and the Windows version.
#include <windows.h>
#include <string>
#include <vector>

#include "utils/Result.h"

namespace Utils {
namespace System {

// How a new process is started.
struct ProcessStart {
    // The program file; empty: the first word of the command line, found the
    // system's way (own folder, current folder, system folders, PATH).
    std::string application;
    // The whole command line as the process receives it (quoting is the
    // caller's business).
    std::string commandLine;
    std::string workDir;          // empty: this process's current folder
    bool visible = true;          // SW_SHOWNORMAL, else SW_HIDE
    bool inheritHandles = false;
    bool emptyDesktop = false;    // an empty desktop name instead of none
};

// Starts the process without waiting for it. False when it could not be
// started (the system's last error tells why).
bool StartProcess(const ProcessStart& start);
// Starts the process and waits for its end without a time limit. False when it
// could not be started; exitCode receives its exit code (0xFFFFFFFF when that
// cannot be read).
bool RunProcess(const ProcessStart& start, DWORD& exitCode);
// The rights a program is started with by StartAsPlayer.
enum class PlayerRights {
    Own,          // this process's: it does not run elevated (or the player's own are an administrator's)
    ShellToken,   // the desktop shell's token: the player's session as the player started it
    LinkedToken,  // the limited token the system linked to this elevated one
    Refused,      // elevated, and no way to the player's own rights: not started
};
struct RightsFacts {
    bool elevated = false;          // this process runs with an elevated token
    bool splitToken = false;        // a limited token stands beside it (the system's UAC split)
    bool shellTokenUsable = false;  // the shell's token could be taken, and it is not elevated
    bool linkedTokenUsable = false; // the linked token could be made a primary token
};
// The choice StartAsPlayer makes, first usable first.
PlayerRights ChoosePlayerRights(const RightsFacts& facts);
// Starts the program with the rights of the player who started this one,
// never with an elevated installer's: a game started by the installer must
// not run as an administrator. Where the player's rights cannot be had (an
// elevated process without a shell), nothing is started and false is returned
// with ERROR_ACCESS_DENIED. `used` receives the choice made.
bool StartAsPlayer(const ProcessStart& start, PlayerRights* used = nullptr);

// Opens a file, program or URL through the shell's "open" verb, shown
// normally; no arguments. Returns at once, whatever the shell did.
void ShellOpen(const std::string& target);

// Appends the id of every running process whose executable file name equals
// `exeName` (case-insensitive, folder part ignored); an empty name matches all.
// False only when the process list cannot be taken.
bool FindProcesses(std::vector<DWORD>& out, const std::string& exeName);
// The full path of the process's executable file, from the system's module
// list of that process (Windows 2000 on; no QueryFullProcessImageName). ""
// when the process is gone or its modules cannot be read (another user's or,
// from 32-bit code, a 64-bit process).
std::string ProcessExecutable(DWORD processId);

// The ids among `found` whose executable lies inside one of the folders,
// and this process's own id where it is among them; the others are appended
// to `others` when given (a program of the same name elsewhere).
std::vector<DWORD> ProcessesRunningFrom(const std::vector<DWORD>& found, const std::vector<std::string>& folders,
                                        std::vector<DWORD>* others = nullptr);
// The other process among the ids found: the first that is not ownId (the
// first, or the second when the first is ownId). 0 when fewer than two ids
// were found, and never ownId.
DWORD ChooseOtherProcess(const std::vector<DWORD>& ids, DWORD ownId);
// Whether any top-level window of the process is visible.
bool HasVisibleWindow(DWORD processId);
// Restores a visible top-level window of the process and brings it to the
// front; false when it shows none.
bool BringToFront(DWORD processId);
// The other processes running the program file exePath (paths compared in
// their canonical form).
std::vector<DWORD> ProcessesOf(const std::string& exePath);
// Ends the process with exitCode and waits up to waitMs until it is gone (its
// executable stays locked until then). Failure: AccessDenied or WriteFailed
// with the system's code.
Result StopProcess(DWORD processId, UINT exitCode, DWORD waitMs);

// The system's version as "<major>.<minor>.<build>" ("5.1.2600"); "" when
// it cannot be read.
std::string GetOSVersionNumbers();

// "Windows XP", "Windows Vista", ... or "???"; with details the service pack
// and build follow: " SP='Service Pack 2' Build=2600".
std::string GetOSVersionText(bool withDetails);

} // namespace System
} // namespace Utils
