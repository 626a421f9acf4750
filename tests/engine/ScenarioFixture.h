#pragma once
// Whole update runs for real: the engine driver runs as a downloaded installer
// (or as the installed copy), WinINet reaches the loopback test server through
// the prefix's proxy settings, decoders, post-install tool and client are
// stand-ins. The fixture builds a release folder and a manifest, runs the
// driver and offers what a user's machine holds afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineTestUtil.h"
#include "support/ScopedProxy.h"
#include "support/TestHttpServer.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"

namespace EngineTest {

using Utils::FileSystem::GetSpecialFolder;

const char* const kBrand = "OrvScnBrand";
const char* const kProduct = "OrvantaTestScenario";
const char* const kSetupName = "OrvScnSetup";  // the downloaded installer is OrvScnSetup.exe
const char* const kDownloadHost = "dl.orvanta.test";
const char* const kPackageHost = "pkg.orvanta.test";
const char* const kManifestDate = "2024-05-01T10:00";

struct PackageFile {
    std::string key;
    int version;
    std::string spec;
    int order;
    std::string content;  // what the installed file holds
    bool compressed;      // served with "PACKED:" in front, decoded by the stand-in decoder
};

// The file spec a manifest lists for a FILE key.
std::string SpecOf(const std::string& manifest, const std::string& key);

class ScenarioTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the served form of the file into the release folder and lists it.
    void AddFile(const PackageFile& file);
    // The stand-in decoder as the release's first package file, and the
    // client program in Bin under its package name.
    void AddStandardFiles();
    // GENERAL + FILE + PRODUCT_REG (+ extra lines appended to GENERAL / at the end).
    std::string Manifest(const std::string& extraGeneral = "", const std::string& extraSections = "") const;
    void ServeManifest(const std::string& text, int status = 200);

    // Runs "<exe> run <host> <product> 1 <iniName>" in folder and returns its exit code.
    int Run(const std::string& exe, const std::string& folder, const std::string& language = "EN",
            const std::string& referrer = "");
    int RunDownloaded(const std::string& language = "EN") { return Run(m_setupExe, m_downloadFolder, language); }
    int RunInstalled(const std::string& language = "EN") { return Run(InstalledCopy(), InstallDir(), language); }
    std::string IniName(const std::string& language) const;

    std::string InstallDir() const;
    // Where the client's files go: the install folder, on Windows Vista the
    // local application-data folder.
    std::string DataDir() const;
    std::string InstalledCopy() const { return InstallDir() + "\\" + kBrand + ".exe"; }
    std::string ProgramsFolder() const;
    std::string DesktopFolder() const;

    // Requests the server saw, by kind.
    std::vector<std::string> ManifestTargets() const;  // path with query
    std::vector<std::string> PackagePaths() const;     // package host paths, in order
    std::vector<std::string> FunnelStatuses() const;   // "50", "60", ...
    bool WaitForFunnelCount(size_t count) const;
    // Stand-in starts whose name is `name` (lower case, without ".exe").
    std::vector<StandinStart> StartsOf(const std::string& name) const;
    // Whether the program was started from the engine's administrators-only
    // copy (the system's temporary folder), never from a folder others may write.
    static bool StartedFromToolCopy(const StandinStart& start);
    bool WaitForStart(const std::string& name, DWORD timeoutMs) const;
    std::vector<std::string> DialogLines(const std::string& op) const;  // texts of one operation
    // The values (range, position) one operation gave one control, in order.
    std::vector<int> DialogValues(const std::string& op, int control) const;
    // Waits until the programs a run started (client, installer copies) have ended.
    void WaitForStartedPrograms() const;

    Utils::RegistryKey ProductKey() const { return Utils::RegistryKey(Utils::kUserHive, kProduct); }
    Utils::RegistryKey UninstallEntry() const;
    // KiB (rounded up) of the files below the install folder, read file by file.
    DWORD InstalledKiB() const;
    // Every value of the uninstall entry as an installation of this fixture's
    // release leaves it; displayVersion "" expects none.
    void ExpectCompleteEntry(const std::string& displayVersion) const;
    DWORD InstalledVersion(const std::string& key) const;
    std::string InstalledChecksum(const std::string& key) const;

    void CleanMachine();
    // Everything an installation of the brand leaves: folders (and their
    // records), shortcut, product subkey, uninstall entry.
    void CleanBrand(const std::string& brand);

    TestSupport::TestHttpServer m_server;
    TestSupport::ScopedProxy m_proxy{m_server.Port()};
    std::vector<PackageFile> m_files;
    std::string m_releaseFolder;
    std::string m_downloadFolder;
    std::string m_setupExe;
    std::string m_standinLog;
    std::string m_dialogLog;
    std::string m_savedFolder;
};

} // namespace EngineTest
