#pragma once
// Running processes and the Windows version.
#include <windows.h>
#include <string>
#include <vector>

namespace Utils {
namespace System {

// Appends the id of every running process whose executable file name equals
// `exeName` (case-insensitive, folder part ignored); an empty name matches all.
// False only when the process list cannot be taken.
bool FindProcesses(std::vector<DWORD>& out, const std::string& exeName);

// "Windows XP", "Windows Vista", ... or "???"; with details the service pack
// and build follow: " SP='Service Pack 2' Build=2600".
std::string GetOSVersionText(bool withDetails);

} // namespace System
} // namespace Utils
