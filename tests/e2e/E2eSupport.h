#pragma once
// What the scenario tests share: the state prepared by e2e-fixture.sh, the
// installation's places on this machine, started processes that never
// outlive a test, and the download server's access log.
#include <windows.h>

#include "support/TestFiles.h"
#include "utils/Handles.h"

#include <string>
#include <vector>

namespace E2e {

const char kBrand[] = "Copperine";
const char kProductWord[] = "Tindermoor";
const char kAnswerSuffix[] = "_4_2_9901";  // server 4, product 2, download 9901
const char kTypedAnswerSuffix[] = "_4_2_42";  // the same with the download id typed in
const char kReportPrefix[] = "ClientsRecruitChain.asp?StartTime=1765000000&StartRandom=4242&Status=";
const char kReportSuffix[] = "&Did=9901&Tag1=7&Tag2=-12&";
const DWORD kLongWait = 120000;  // installs under Wine on a loaded machine
const DWORD kShortWait = 30000;

// Absolute path of a file of the fixture's state folder ("" = the folder).
std::string StatePath(const std::string& name);
int ServerPort(int release);  // 1 or 2; 0 when the fixture did not run

std::string ProgramFilesDir();
std::string InstallDir();        // <Program Files>\Copperine
std::string StartMenuDir();      // <Start menu programs>\Copperine
std::string DesktopLink();       // <desktop>\Copperine.lnk
std::string TempDir();           // without the trailing backslash

bool FileExists(const std::string& path);
inline std::string ReadFileText(const std::string& path) { return TestSupport::ReadText(path); }
std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern = "*");

// Registry (HKCU\Software\<product word>, the uninstall entry).
bool UninstallEntryExists();
std::string UninstallValue(const std::string& name);  // a string of the entry
bool BrandSubkeyExists();
// DWORD ReqData_4_2_9901<marker>; -1 when missing.
long long RememberedAnswer(const std::string& marker);
// Values of the product key and of Software\Corvantis that belong to these downloads.
std::vector<std::string> DownloadValues();

// Removes every trace of an installation of the brand and of this download's
// answers, and ends leftover processes of earlier runs.
void CleanInstallation();

// A started process; terminated by the destructor if still running.
class Process {
public:
    Process() = default;
    ~Process();
    Process(Process&& other) noexcept = default;
    Process& operator=(Process&&) = delete;
    Process(const Process&) = delete;

    // Starts "<exe>" args in folder workDir ("" = the exe's folder).
    static Process Start(const std::string& exe, const std::string& args, const std::string& workDir = "");
    // Takes over a process found by pid (e.g. a relaunched copy).
    static Process Open(DWORD pid);

    bool Started() const { return m_handle.IsValid(); }
    DWORD Pid() const { return m_pid; }
    HANDLE Handle() const { return m_handle.Get(); }
    // Exit code after waiting; false when it did not end in time.
    bool Wait(DWORD timeoutMs, DWORD& exitCode) const;

private:
    Utils::KernelHandle m_handle;
    DWORD m_pid = 0;
};

// Ends every process of that executable name (leftovers of a failed test).
void KillAll(const std::string& exeName);
// Waits until no process of that name runs.
bool WaitNoProcess(const std::string& exeName, DWORD timeoutMs);

// The download server's access log; lines are read from the last Mark() on.
class AccessLog {
public:
    explicit AccessLog(int release);
    void Mark();
    std::vector<std::string> NewLines() const;
    int Count(const std::string& text) const;  // new lines containing text
    bool WaitFor(const std::string& text, DWORD timeoutMs) const;

private:
    std::string m_path;
    size_t m_mark = 0;
};

// The whole request line of a funnel report with the stamped values, as the access log shows it.
std::string ReportTarget(int status);

// Saves a screenshot as screens/<name>.bmp below the test's folder; a
// failing screenshot is reported but does not fail the scenario.
void Screenshot(HWND window, const std::string& name);

} // namespace E2e
