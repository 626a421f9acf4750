#include "engine/RunningCopy.h"

#include <windows.h>

#include "engine/EngineLog.h"
#include "utils/system/System.h"

namespace RunningCopy {

namespace {
const char* const kFunction = "RunningCopy::StopOther()";
}

Utils::Result StopOther(const std::string& installedExeName, const std::vector<std::string>& installationFolders) {
    std::vector<DWORD> found;
    Utils::System::FindProcesses(found, "Orvanta.exe");
    Utils::System::FindProcesses(found, installedExeName);
    std::vector<DWORD> elsewhere;
    const std::vector<DWORD> ours = Utils::System::ProcessesRunningFrom(found, installationFolders, &elsewhere);
    for (DWORD id : elsewhere) EngineLog::Int(kFunction, "not ours, left running: pid=", static_cast<int>(id));
    const DWORD target = Utils::System::ChooseOtherProcess(ours, GetCurrentProcessId());
    if (target == 0) return Utils::Result::Success();
    if (Utils::System::HasVisibleWindow(target)) {
        return Utils::Result::Failure(Utils::Reason::ClientRunning, 0, "pid " + std::to_string(target));
    }
    const Utils::Result stopped = Utils::System::StopProcess(target, 0xFFFFFFFF, kStopWaitMs);
    if (!stopped) EngineLog::Failure(kFunction, "stop running copy", stopped);
    return Utils::Result::Success();
}

} // namespace RunningCopy
