#include "uninstall/Uninstall.h"

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/BrandFolders.h"
#include "engine/InstallLock.h"
#include "engine/Registration.h"
#include "utils/Result.h"
#include "utils/fs/FileSystem.h"
#include "utils/log/Logger.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/MachineLock.h"
#include "utils/system/System.h"

#include <shlobj.h>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char kLegacyUpdateRecordsKey[] = "Corvantis";
// Files left after a removal named in its message; more are "...".
const size_t kFilesNamed = 10;

// A fatal message: FailWith ends the process, the exit code is for a dialog
// that returns.
int Fail(DialogOperations& dialog, const PlayerMessage& message) {
    dialog.FailWith(message);
    return 1;
}

// What the player is told when the removal cannot begin; the details line
// keeps the program's established wording.
PlayerMessage MessageFor(const Utils::Result& failure, const std::string& brand) {
    const std::string game = brand.empty() ? std::string("Orvanta") : brand;
    switch (failure.reason) {
    case Utils::Reason::ClientRunning:
        return MakePlayerMessage(TextId::MsgUninstallClientRunning, game,
                                 "Please close the application before uninstalling it", MB_ICONINFORMATION);
    case Utils::Reason::AnotherInstallation:
        return MakePlayerMessage(TextId::MsgUninstallWait, game, Utils::ReasonName(failure.reason),
                                 MB_ICONINFORMATION);
    default:
        return MakePlayerMessage(TextId::MsgUninstallNotPossible, game, "Failed to uninstall");
    }
}

// Every program that runs from the installation's folders holds files the
// removal must delete: while one runs, nothing is removed. The copy running
// this procedure lies in the temporary folder.
Utils::Result CheckNothingRuns(const std::vector<std::string>& folders) {
    std::vector<DWORD> all;
    Utils::System::FindProcesses(all, "");
    for (DWORD id : Utils::System::ProcessesRunningFrom(all, folders)) {
        if (id == GetCurrentProcessId()) continue;
        return Utils::Result::Failure(Utils::Reason::ClientRunning, 0, Utils::System::ProcessExecutable(id));
    }
    return Utils::Result::Success();
}

bool UserConfirms(DialogOperations& dialog, const std::string& brand) {
    return dialog.AskUser(Texts::Text(TextId::UninstallQuestion, {{"brand", brand}}),
                          Texts::Text(TextId::UninstallCaption), MB_YESNO) == IDYES;
}

// The farewell page to open at the end; "" when the brand asks for none.
std::string FarewellPageFor(const Utils::RegistryKey& productKey, const std::string& brand, const std::string& host) {
    if (productKey.GetDword("ShowUninstallPage", brand, 0) == 0) return std::string();
    const std::string userName = productKey.GetString(brand + "_Username", "", "");
    const std::string lang = productKey.GetString("LangAbbv", brand, "");
    const int brandId = static_cast<int>(productKey.GetDword("BrandId", brand, 0));
    return FarewellPageUrl(host, lang, userName, brandId);
}

// The remembered answers, the update records and the brand's own records
// (installed versions and checksums, "IsOVNotFirst"): leaving them would make
// a later installation of this brand believe every file is still installed.
// Older versions looked for the update records under Software\Corvantis only;
// that place is cleaned too.
void RemoveUserRecords(Utils::RegistryKey& productKey, const ProfileAnswers& answers, const std::string& brand) {
    answers.Remove(productKey);
    const std::string lastLang = answers.AppendAnswerSuffix("LastUpdateLang");
    const std::string lastDate = answers.AppendAnswerSuffix("LastUpdateDate");
    productKey.Delete(lastLang, "");
    productKey.Delete(lastDate, "");
    productKey.Delete(brand, "");
    if (Utils::RegistryKey(Utils::kUserHive, "").KeyExists(kLegacyUpdateRecordsKey)) {
        Utils::RegistryKey legacy(Utils::kUserHive, kLegacyUpdateRecordsKey);
        legacy.Delete(lastLang, "");
        legacy.Delete(lastDate, "");
    }
}

void RemoveUninstallEntry(const std::string& brand) {
    Utils::RegistryKey(Utils::kMachineHive, Registration::kUninstallKeyPath).Delete(brand, "");
}

std::string SpecialFolder(int csidl) {
    std::string path;
    Utils::FileSystem::GetSpecialFolder(csidl, path);
    return path;
}

// Where the brand's programs may lie: the data and install folders.
std::vector<std::string> InstallationFolders(const std::string& brand) {
    std::vector<std::string> folders;
    for (int csidl : {CSIDL_LOCAL_APPDATA, CSIDL_PROGRAM_FILES}) {
        const std::string base = SpecialFolder(csidl);
        if (!base.empty()) folders.push_back(base + "\\" + brand);
    }
    return folders;
}

// The brand's folders that are ours to delete: the data folder, the Start-menu
// folder and the install folder, in this order. Judged before the uninstall
// entry goes, which vouches for installations that kept no folder records.
std::vector<std::string> OwnFolders(const std::string& brand) {
    std::vector<std::string> own;
    for (int csidl : {CSIDL_LOCAL_APPDATA, CSIDL_PROGRAMS, CSIDL_PROGRAM_FILES}) {
        const std::string base = SpecialFolder(csidl);
        if (base.empty()) continue;
        const std::string folder = base + "\\" + brand;
        if (BrandFolders::IsOurs(folder, brand)) own.push_back(folder);
    }
    return own;
}

// Each folder with everything in it (a link in its place goes as a link), and
// then its record; the desktop shortcut. Returns what is still there: the
// files left in a folder that could not go, and a shortcut that stayed.
std::vector<std::string> RemoveFiles(const std::string& brand, const std::vector<std::string>& ownFolders) {
    std::vector<std::string> left;
    for (const std::string& folder : ownFolders) {
        Utils::FileSystem::DeleteDirectoryTree(folder);
        if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
            BrandFolders::Forget(folder);
        } else if (Utils::FileSystem::IsReparsePoint(folder)) {
            // A link in the folder's place holds none of our files.
            Log(AppLogger(), 1, "S", "RunUninstall()", "S", ("link left: " + folder).c_str(), nullptr);
        } else {
            std::vector<std::string> files;
            Utils::FileSystem::ListDirectory(files, folder, true, false, true);
            left.insert(left.end(), files.begin(), files.end());
            if (files.empty()) left.push_back(folder);
        }
    }
    const std::string desktop = SpecialFolder(CSIDL_DESKTOP);
    const std::string link = desktop + "\\" + brand + ".lnk";
    if (!desktop.empty() && !DeleteFileA(link.c_str()) && GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
        left.push_back(link);
    }
    return left;
}

// Never success with files left: the player learns which ones stayed.
PlayerMessage IncompleteRemoval(const std::string& brand, const std::vector<std::string>& left) {
    std::string files;
    for (size_t i = 0; i < left.size() && i < kFilesNamed; ++i) files += (i ? "\n" : "") + left[i];
    if (left.size() > kFilesNamed) files += "\n...";
    return PlayerMessageFor(Utils::Result::Failure(Utils::Reason::RemovalIncomplete, 0, files), brand, "", false);
}

// The farewell page in the user's browser ("iexplore" may not exist any
// more), or the closing message.
int SayFarewell(DialogOperations& dialog, const std::string& pageUrl) {
    if (pageUrl.empty()) {
        dialog.FailAndExit(Texts::Text(TextId::UninstallFinished));
        return 1;
    }
    Utils::System::ShellOpen(pageUrl);
    return 0;
}

} // namespace

std::string UninstallBrandName(const std::string& exeFileName) {
    if (exeFileName.size() < 4) return std::string();
    std::string brand = exeFileName.substr(0, exeFileName.size() - 4);
    const size_t prefix = std::strlen(kUpdateCopyPrefix);
    if (brand.compare(0, prefix, kUpdateCopyPrefix) == 0) brand.erase(0, prefix);
    return brand;
}

std::string FarewellPageUrl(const std::string& host, const std::string& lang, const std::string& userName,
                            int brandId) {
    char query[64];
    std::snprintf(query, sizeof query, "&BrandId=%d", brandId);
    std::string url = "http://" + host + "/uninstall.html?fromClient=1&lang=" + lang + "&Username=" + userName + query;
    if (url.size() > 511) url.resize(511);
    return url;
}

namespace {

// The checks before anything is removed, in order; the install lock they take
// is held until the process ends: no installer of the brand starts meanwhile.
// Cancelled when the player declines.
Utils::Result MayUninstall(DialogOperations& dialog, const UninstallSettings& settings, const std::string& brand,
                           Utils::System::MachineLock& installLock) {
    // The brand names the folders deleted with everything in them: only a name
    // the engine would install under, never one that reaches elsewhere.
    if (!Utils::FileSystem::IsPlainFolderName(brand)) {
        return Utils::Result::Failure(Utils::Reason::NotInstalled, 0, "no brand in " + settings.exeFileName);
    }
    Utils::Result result = CheckNothingRuns(InstallationFolders(brand));
    if (!result) return result;
    const ProfileAnswers* answers = settings.answers;
    if (answers && installLock.Acquire(InstallLock::NameFor(answers->ProductWord(), brand),
                                       settings.installerWaitMs) == Utils::System::MachineLock::BUSY) {
        return Utils::Result::Failure(Utils::Reason::AnotherInstallation, WAIT_TIMEOUT, brand);
    }
    if (!UserConfirms(dialog, brand)) return Utils::Result::Failure(Utils::Reason::Cancelled);
    if (!answers || answers->RequestKey().empty()) {
        return Utils::Result::Failure(Utils::Reason::NotInstalled, 0, "no request key");
    }
    return result;
}

} // namespace

int RunUninstall(const UninstallSettings& settings) {
    DialogOperations& dialog = Dialog();
    auto pause = [&] { Sleep(settings.pauseMs); };

    dialog.SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::UninstallReading));
    dialog.ShowProgressBar(IDC_OVERALL_PROGRESS, 5);
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 1);
    pause();

    const std::string brand = UninstallBrandName(settings.exeFileName);
    Utils::System::MachineLock installLock;
    const Utils::Result allowed = MayUninstall(dialog, settings, brand, installLock);
    if (allowed.reason == Utils::Reason::Cancelled) return 0;
    if (!allowed) {
        Log(AppLogger(), 1, "S", "RunUninstall()", "S", ("MayUninstall failed: " + Utils::DescribeFailure(allowed)).c_str(),
            nullptr);
        return Fail(dialog, MessageFor(allowed, brand));
    }

    const ProfileAnswers& answers = *settings.answers;
    const std::vector<std::string> ownFolders = OwnFolders(brand);
    Utils::RegistryKey productKey(Utils::kUserHive, answers.ProductWord());
    const std::string pageUrl = FarewellPageFor(productKey, brand, settings.farewellHost);
    RemoveUserRecords(productKey, answers, brand);

    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 2);
    pause();
    dialog.SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::UninstallCleaningRegistry));
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 3);
    RemoveUninstallEntry(brand);

    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 4);
    pause();
    dialog.SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::UninstallDeletingFiles));
    const std::vector<std::string> left = RemoveFiles(brand, ownFolders);
    if (!left.empty()) {
        Log(AppLogger(), 1, "S", "RunUninstall()", "S", ("left behind: " + left.front()).c_str(), nullptr);
        return Fail(dialog, IncompleteRemoval(brand, left));
    }

    pause();
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 5);
    dialog.SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::UninstallFinishedStatus));
    dialog.HideWindow();
    return SayFarewell(dialog, pageUrl);
}
