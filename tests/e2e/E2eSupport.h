#pragma once
// What the scenario tests share: the state prepared by e2e-fixture.sh, the
// installation's places on this machine, started processes that never
// outlive a test, and the download server's access log.
#include <windows.h>

#include "support/TestFiles.h"
#include "support/TestProcess.h"

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

using TestSupport::Exists;
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

// Starts "<exe>" args in the exe's own folder, as a double-click does; the
// process never outlives the test.
using TestSupport::Process;
Process Start(const std::string& exe, const std::string& args);

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
