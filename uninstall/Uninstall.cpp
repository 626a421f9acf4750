#include "uninstall/Uninstall.h"

#include "app/ops/DialogOps.h"
#include "app/profile/Profile.h"
#include "engine/InstallFolder.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/System.h"

#include <shellapi.h>
#include <shlobj.h>
#include <cstdio>
#include <vector>

namespace {

const char kUninstallKeyPath[] = "Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kLegacyUpdateRecordsKey[] = "Corvantis";

// The brand names folders that are deleted with everything in them: a name
// that is not a plain folder name (".." or separators) could reach outside
// the brand's own folders.
bool IsPlainFolderName(const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos) return false;
    return name.find_first_of("\\/:*?\"<>|") == std::string::npos;
}

std::string SpecialFolder(int csidl) {
    std::string path;
    GetSpecialFolder(csidl, path);
    return path;
}

} // namespace

std::string UninstallBrandName(const std::string& exeFileName) {
    if (exeFileName.size() < 4) return std::string();
    std::string brand = exeFileName.substr(0, exeFileName.size() - 4);
    if (brand.compare(0, 6, "update") == 0) brand.erase(0, 6);
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

int RunUninstall(const UninstallSettings& settings) {
    DialogOperations& dialog = Dialog();
    auto pause = [&] { Sleep(settings.pauseMs); };

    dialog.SetItemText(IDC_STATUS_TEXT, "Uninstalling - reading current configuration");
    dialog.ShowProgressBar(IDC_OVERALL_PROGRESS, 5);
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 1);
    pause();

    const std::string brand = UninstallBrandName(settings.exeFileName);
    if (!IsPlainFolderName(brand)) {
        dialog.FailAndExit("Failed to uninstall");
        return 1;
    }

    // The copy running this procedure is named update<brand>.exe, so one
    // process of the installed name is tolerated; two mean the game is open.
    std::vector<DWORD> running;
    Utils::System::FindProcesses(running, brand + ".exe");
    if (running.size() >= 2) {
        dialog.FailAndExit("Please close the application before uninstalling it");
        return 1;
    }

    char question[600];
    std::snprintf(question, sizeof question, "Are you sure you want to uninstall %s?", brand.c_str());
    if (dialog.AskUser(question, "Uninstall", MB_YESNO) != IDYES) return 0;

    const ProfileAnswers* answers = settings.answers;
    const std::string requestKey = answers ? answers->RequestKey() : std::string();
    if (requestKey.empty()) {
        dialog.FailAndExit("Failed to uninstall");
        return 1;
    }

    Utils::RegistryKey productKey(1, answers->ProductWord());
    std::string pageUrl;
    if (productKey.GetDword("ShowUninstallPage", brand, 0) != 0) {
        const std::string userName = productKey.GetString(brand + "_Username", "", "");
        const std::string lang = productKey.GetString("LangAbbv", brand, "");
        const int brandId = static_cast<int>(productKey.GetDword("BrandId", brand, 0));
        pageUrl = FarewellPageUrl(settings.farewellHost, lang, userName, brandId);
    }

    answers->Remove(productKey);

    // The install/update procedure writes the update records and the brand's
    // records (installed versions and checksums, "IsOVNotFirst") under the
    // product key: leaving them would make a later installation of this brand
    // believe every file is still installed. Older versions looked for the
    // update records under Software\Corvantis only; that place is cleaned too.
    const std::string lastLang = answers->AppendAnswerSuffix("LastUpdateLang");
    const std::string lastDate = answers->AppendAnswerSuffix("LastUpdateDate");
    productKey.Delete(lastLang, "");
    productKey.Delete(lastDate, "");
    productKey.Delete(brand, "");
    if (Utils::RegistryKey(1, "").KeyExists(kLegacyUpdateRecordsKey)) {
        Utils::RegistryKey legacy(1, kLegacyUpdateRecordsKey);
        legacy.Delete(lastLang, "");
        legacy.Delete(lastDate, "");
    }

    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 2);
    pause();
    dialog.SetItemText(IDC_STATUS_TEXT, "Uninstalling - cleaning registry");
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 3);

    Utils::RegistryKey(0, kUninstallKeyPath).Delete(brand, "");

    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 4);
    pause();
    dialog.SetItemText(IDC_STATUS_TEXT, "Uninstalling - deleting all files");

    const std::string localData = SpecialFolder(CSIDL_LOCAL_APPDATA);
    if (!localData.empty() && Utils::FileSystem::IsDirectory(localData + "\\" + brand))
        Utils::FileSystem::DeleteDirectoryTree(localData + "\\" + brand);
    const std::string programs = SpecialFolder(CSIDL_PROGRAMS);
    if (!programs.empty()) Utils::FileSystem::DeleteDirectoryTree(programs + "\\" + brand);
    const std::string programFiles = SpecialFolder(CSIDL_PROGRAM_FILES);
    if (!programFiles.empty()) Utils::FileSystem::DeleteDirectoryTree(programFiles + "\\" + brand);
    const std::string desktop = SpecialFolder(CSIDL_DESKTOP);
    if (!desktop.empty()) DeleteFileA((desktop + "\\" + brand + ".lnk").c_str());

    pause();
    dialog.SetProgressPos(IDC_OVERALL_PROGRESS, 5);
    dialog.SetItemText(IDC_STATUS_TEXT, "Finished uninstall successfully");
    dialog.HideWindow();

    if (!pageUrl.empty()) {
        // The page opens in the user's browser; "iexplore" may not exist any more.
        ShellExecuteA(nullptr, "open", pageUrl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return 0;
    }
    dialog.FailAndExit("Uninstall finished successfully");
    return 1;
}
