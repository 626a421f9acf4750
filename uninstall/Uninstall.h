#pragma once
// Removal of an installed client: remembered answers and update records, the
// brand's registry subkey, the entry in the list of installed programs, the
// install, data and Start-menu folders and the desktop shortcut, then an
// optional farewell page. Runs on the dialog's thread inside a message handler.
#include <windows.h>
#include <string>

class ProfileAnswers;

// The uninstall runs as the update copy of the installed executable: the
// temporary folder, this prefix, then the executable's file name
// (updateHalvenor.exe for Halvenor.exe).
const char kUpdateCopyPrefix[] = "update";

struct UninstallSettings {
    // File name of the running executable (e.g. "updateHalvenor.exe"); the
    // brand is derived from it.
    std::string exeFileName;
    // The resolved download profile (request key, product word, answer suffix).
    const ProfileAnswers* answers = nullptr;
    // Pause between the visible steps.
    DWORD pauseMs = 400;
    // Web host of the farewell page.
    std::string farewellHost;
    // How long the removal waits for an installer of the brand to finish.
    DWORD installerWaitMs = 10000;
};

// Brand of the installation the running copy belongs to: the file name without
// its last four characters and without a leading kUpdateCopyPrefix
// ("updateHalvenor.exe" and "Halvenor.exe" both give "Halvenor"). Empty when
// nothing is left.
std::string UninstallBrandName(const std::string& exeFileName);

// The farewell page: "http://<host>/uninstall.html?fromClient=1&lang=..&Username=..&BrandId=..",
// values inserted as they are; at most 511 characters (longer results are cut).
std::string FarewellPageUrl(const std::string& host, const std::string& lang, const std::string& userName,
                            int brandId);

// Runs the whole procedure and returns the exit code the process must end
// with: 0 when the user declined or after opening the farewell page. The
// failure messages and the final "Uninstall finished successfully" go through
// Dialog().FailAndExit and do not return. Nothing is removed while an
// installer of the brand runs (its InstallLock is held for the procedure), and
// a brand folder only when it is ours (BrandFolders).
int RunUninstall(const UninstallSettings& settings);
