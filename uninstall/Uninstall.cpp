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

// The copy running this procedure is named update<brand>.exe, so one process
// of the installed name is tolerated; two mean the game is open.
Utils::Result CheckClientClosed(const std::string& brand) {
    std::vector<DWORD> running;
    Utils::System::FindProcesses(running, brand + ".exe");
    if (running.size() < 2) return Utils::Result::Success();
    return Utils::Result::Failure(Utils::Reason::ClientRunning, 0, brand + ".exe");
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
// then its record; the desktop shortcut.
void RemoveFiles(const std::string& brand, const std::vector<std::string>& ownFolders) {
    for (const std::string& folder : ownFolders) {
        Utils::FileSystem::DeleteDirectoryTree(folder);
        if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) BrandFolders::Forget(folder);
    }
    const std::string desktop = SpecialFolder(CSIDL_DESKTOP);
    if (!desktop.empty()) DeleteFileA((desktop + "\\" + brand + ".lnk").c_str());
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
    Utils::Result result = CheckClientClosed(brand);
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
    RemoveFiles(brand, ownFolders);

    pause();
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 5);
    dialog.SetItemText(IDC_STATUS_TEXT, Texts::Text(TextId::UninstallFinishedStatus));
    dialog.HideWindow();
    return SayFarewell(dialog, pageUrl);
}
