#pragma once
// Before files are overwritten: another running copy of the installer or of
// the installed client is stopped, or the run ends when it shows a window.
#include <string>
#include <vector>

#include "utils/Result.h"

namespace RunningCopy {

// How long a stopped copy may take to go: its executable stays locked until then.
const unsigned long kStopWaitMs = 5000;

// Looks for running "Orvanta.exe" and installedExeName processes whose
// executable lies inside one of the installation's folders (any other program
// of that name is left alone). When another such copy runs with a visible
// window: ClientRunning. Otherwise it is terminated with exit code 0xFFFFFFFF
// (a copy that cannot be stopped is logged and the run goes on). Only one
// other process is handled per call; this process never is.
Utils::Result StopOther(const std::string& installedExeName, const std::vector<std::string>& installationFolders);

} // namespace RunningCopy
