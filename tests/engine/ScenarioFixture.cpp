#include "ScenarioFixture.h"

#include <shlobj.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "engine/BrandFolders.h"
#include "engine/InstallFolder.h"
#include "engine/Registration.h"
#include "orvanta_config.h"
#include "utils/fs/FileSystem.h"
#include "utils/system/System.h"

namespace EngineTest {

namespace {

std::string QueryValue(const std::string& target, const std::string& name) {
    size_t at = target.find(name + "=");
    if (at == std::string::npos) return std::string();
    at += name.size() + 1;
    return target.substr(at, target.find('&', at) - at);
}

// Wine applies a Windows version per program name: the installer and its
// installed copy run with the version this test program sees.
void ReportOwnWindowsVersionTo(const std::vector<std::string>& programs) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    const bool vista = version.dwMajorVersion == 6 && version.dwMinorVersion == 0;
    for (const std::string& program : programs) {
        const std::string key = "Software\\Wine\\AppDefaults\\" + program;
        if (vista) {
            Utils::RegKey entry;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, entry.Receive(),
                                nullptr) == ERROR_SUCCESS)
                RegSetValueExA(entry.Get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("vista"), 6);
        } else {
            RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
        }
    }
}

} // namespace

std::string SpecOf(const std::string& manifest, const std::string& key) {
    const size_t first = manifest.find(',', manifest.find("\n" + key + "="));
    return manifest.substr(first + 1, manifest.find(',', first + 1) - first - 1);
}

void ScenarioTest::SetUp() {
    ASSERT_TRUE(m_proxy.Ok());
    m_savedFolder = CurrentFolder();
    ReportOwnWindowsVersionTo({std::string(kSetupName) + ".exe", std::string(kBrand) + ".exe"});
    CleanMachine();
    m_releaseFolder = FreshFolder(ExeFolder() + "\\scenario_release");
    m_downloadFolder = FreshFolder(ExeFolder() + "\\scenario_download");
    m_setupExe = m_downloadFolder + "\\" + kSetupName + ".exe";
    ASSERT_TRUE(CopyFileA((ExeFolder() + "\\engine_driver.exe").c_str(), m_setupExe.c_str(), FALSE));
    m_standinLog = ResetStandinLog("scenario_standins.txt");
    m_dialogLog = ExeFolder() + "\\scenario_dialog.txt";
    DeleteFileA(m_dialogLog.c_str());
    SetEnvironmentVariableA("ORV_DRIVER_LOG", m_dialogLog.c_str());
    m_server.ServeFolder(m_releaseFolder);
}

void ScenarioTest::TearDown() {
    WaitForStartedPrograms();
    SetCurrentDirectoryA(m_savedFolder.c_str());
    SetEnvironmentVariableA("ORV_DRIVER_LOG", nullptr);
    CleanMachine();
}

void ScenarioTest::WaitForStartedPrograms() const {
    // The installer exits right after starting the client: give the stand-ins
    // it started time to record themselves and end, so a late record cannot
    // land in the next test's log and their files can be deleted.
    const std::string started[] = {std::string(kBrand) + ".exe", std::string(kSetupName) + ".exe",
                                   "_" + std::string(kSetupName) + ".exe"};
    for (int waited = 0; waited < 10000; waited += 100) {
        size_t running = 0;
        for (const std::string& name : started) {
            std::vector<DWORD> ids;
            Utils::System::FindProcesses(ids, name);
            running += ids.size();
        }
        if (running == 0) break;
        Sleep(100);
    }
}

void ScenarioTest::CleanMachine() {
    CleanBrand(kBrand);
    CleanBrand(kSetupName);
    Utils::RegistryKey(Utils::kUserHive, "").Delete(kProduct, "");
}

void ScenarioTest::CleanBrand(const std::string& brand) {
    const BrandFolders::Paths paths = BrandFolders::For(brand);
    for (const std::string& folder : {paths.install, paths.data, paths.startMenu}) {
        Utils::FileSystem::DeleteDirectoryTree(folder);
        BrandFolders::Forget(folder);
    }
    DeleteFileA((DesktopFolder() + "\\" + brand + ".lnk").c_str());
    Utils::RegistryKey(Utils::kUserHive, kProduct).Delete(brand, "");
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
}

std::string ScenarioTest::InstallDir() const { return InstallFolderPath(kBrand, false); }

std::string ScenarioTest::DataDir() const { return InstallFolderPath(kBrand, true); }

std::string ScenarioTest::ProgramsFolder() const {
    std::string folder;
    GetSpecialFolder(CSIDL_PROGRAMS, folder);
    return folder;
}

std::string ScenarioTest::DesktopFolder() const {
    std::string folder;
    GetSpecialFolder(CSIDL_DESKTOP, folder);
    return folder;
}

void ScenarioTest::AddFile(const PackageFile& file) {
    std::string path = m_releaseFolder + "\\" + file.spec;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    std::string folder = path.substr(0, path.rfind('\\'));
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteText(path, file.compressed ? "PACKED:" + file.content : file.content);
    for (PackageFile& existing : m_files) {
        if (existing.key == file.key) {
            existing = file;
            return;
        }
    }
    m_files.push_back(file);
}

void ScenarioTest::AddStandardFiles() {
    AddFile({"lzma.exe", 1, "files/lzma^d1.exe", 1, ReadText(ExeFolder() + "\\lzma.exe"), false});
    AddFile({"oggdec.exe", 1, "files/oggdec^d2.exe", 2, ReadText(ExeFolder() + "\\oggdec.exe"), false});
    AddFile({"Bin__guiclient.exe", 3, "files/guiclient.exe^c3.lzma", 5,
             ReadText(ExeFolder() + "\\standin_client.exe"), true});
    AddFile({"Bin__data.txt", 2, "files/data^t2.txt", 6, "client data v2", false});
    AddFile({"Sound__music.wav", 1, "files/music.wav^m1.ogg", 7, "RIFF music", true});
}

std::string ScenarioTest::Manifest(const std::string& extraGeneral, const std::string& extraSections) const {
    std::ostringstream text;
    text << "[GENERAL]\n"
         << "BRAND_NAME=" << kBrand << "\n"
         << "EXE_NAME=guiclient.exe\n"
         << "EXE_WORK_PATH=Bin\n"
         << "DOWNLOAD_URL=" << kPackageHost << "\n"
         << extraGeneral << "[FILE]\n";
    for (const PackageFile& file : m_files) {
        text << file.key << "=" << file.version << "," << file.spec << "," << file.order << "\n";
    }
    text << "[PRODUCT_REG]\nLastUpdateDate=" << kManifestDate << "\n" << extraSections;
    return text.str();
}

void ScenarioTest::ServeManifest(const std::string& text, int status) {
    TestSupport::Response response;
    response.status = status;
    response.body = text;
    m_server.SetResponse("/Dl/ClientResources.asp", response);
}

std::string ScenarioTest::IniName(const std::string& language) const {
    return std::string("%Product_") + kProduct + "%Did_1%Lang_" + language + "%Tag_1.ini";
}

int ScenarioTest::Run(const std::string& exe, const std::string& folder, const std::string& language,
                      const std::string& referrer) {
    std::string arguments = std::string("run ") + kDownloadHost + " " + kProduct + " 1 " + IniName(language);
    if (!referrer.empty()) arguments += " " + referrer;
    return Process::Start(exe, arguments, {folder, Window::Hidden}).ExitCode(180000);
}

std::vector<std::string> ScenarioTest::ManifestTargets() const {
    std::vector<std::string> targets;
    for (const auto& request : m_server.Requests()) {
        if (request.host == kDownloadHost && request.path.find("/Dl/ClientResources.asp") == 0) {
            targets.push_back(request.path);
        }
    }
    return targets;
}

std::vector<std::string> ScenarioTest::PackagePaths() const {
    std::vector<std::string> paths;
    for (const auto& request : m_server.Requests()) {
        if (request.host == kPackageHost) paths.push_back(request.path);
    }
    return paths;
}

std::vector<std::string> ScenarioTest::FunnelStatuses() const {
    std::vector<std::string> statuses;
    for (const auto& request : m_server.Requests()) {
        if (request.host == ORVANTA_LOG_HOST && request.path.find("/ClientsRecruitChain.asp?") == 0) {
            statuses.push_back(QueryValue(request.path, "Status"));
        }
    }
    return statuses;
}

bool ScenarioTest::WaitForFunnelCount(size_t count) const {
    for (int i = 0; i < 200; ++i) {
        if (FunnelStatuses().size() >= count) return true;
        Sleep(100);
    }
    return false;
}

std::vector<StandinStart> ScenarioTest::StartsOf(const std::string& name) const {
    std::vector<StandinStart> found;
    for (const StandinStart& start : ReadStandinLog(m_standinLog)) {
        if (start.name == name) found.push_back(start);
    }
    return found;
}

bool ScenarioTest::StartedFromToolCopy(const StandinStart& start) {
    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    return TestSupport::Lower(start.program).find(TestSupport::Lower(std::string(windows) + "\\Temp\\tools.~ov")) == 0;
}

bool ScenarioTest::WaitForStart(const std::string& name, DWORD timeoutMs) const {
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        if (!StartsOf(name).empty()) return true;
        Sleep(100);
    }
    return !StartsOf(name).empty();
}

std::vector<std::string> ScenarioTest::DialogLines(const std::string& op) const {
    std::vector<std::string> texts;
    std::istringstream lines(ReadText(m_dialogLog));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, op.size() + 1, op + "\t") != 0) continue;
        // op \t control \t value \t text
        size_t at = line.find('\t');
        at = line.find('\t', at + 1);
        at = line.find('\t', at + 1);
        texts.push_back(at == std::string::npos ? std::string() : line.substr(at + 1));
    }
    return texts;
}

std::vector<int> ScenarioTest::DialogValues(const std::string& op, int control) const {
    std::vector<int> values;
    std::istringstream lines(ReadText(m_dialogLog));
    std::string line;
    const std::string head = op + "\t" + std::to_string(control) + "\t";
    while (std::getline(lines, line)) {
        if (line.compare(0, head.size(), head) == 0) values.push_back(std::atoi(line.c_str() + head.size()));
    }
    return values;
}

Utils::RegistryKey ScenarioTest::UninstallEntry() const {
    return Utils::RegistryKey(Utils::kMachineHive, Registration::UninstallKeyPath(kBrand));
}

DWORD ScenarioTest::InstalledKiB() const {
    std::vector<std::string> files;
    Utils::FileSystem::ListDirectory(files, InstallDir(), true, false, true);
    DWORD bytes = 0;
    for (const std::string& file : files) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) bytes += data.nFileSizeLow;
    }
    return (bytes + 1023) / 1024;
}

void ScenarioTest::ExpectCompleteEntry(const std::string& displayVersion) const {
    const char* const absent = "(absent)";
    const struct {
        const char* name;
        std::string expected;
    } strings[] = {
        {"DisplayName", kBrand},
        {"UninstallString", "\"" + InstalledCopy() + "\" /uninstall"},
        {"DisplayIcon", InstalledCopy()},
        {"InstallLocation", InstallDir()},
        {"Publisher", ORVANTA_PUBLISHER},
        {"URLInfoAbout", ORVANTA_URL_INFO_ABOUT},
        {"DisplayVersion", displayVersion.empty() ? absent : displayVersion},
    };
    const Utils::RegistryKey entry = UninstallEntry();
    for (const auto& value : strings) EXPECT_EQ(value.expected, entry.GetString(value.name, "", absent)) << value.name;
    EXPECT_EQ(1u, entry.GetDword("NoModify", "", 0));
    EXPECT_EQ(1u, entry.GetDword("NoRepair", "", 0));
    EXPECT_EQ(InstalledKiB(), entry.GetDword("EstimatedSize", "", 0));
}

DWORD ScenarioTest::InstalledVersion(const std::string& key) const {
    return ProductKey().GetDword(key, std::string(kBrand) + "\\Installed", 0);
}

std::string ScenarioTest::InstalledChecksum(const std::string& key) const {
    return ProductKey().GetString(key + "CheckSum", std::string(kBrand) + "\\Installed", "");
}

} // namespace EngineTest
