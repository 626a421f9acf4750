// The installer as a player meets it: the real stamped Orvanta.exe, the
// reference download server (which also takes the funnel reports) reached
// through the WinINet proxy, and the player harness clicking and reading the
// windows. Each scenario starts from a machine without the brand installed.
#include "e2e/E2eSupport.h"
#include "e2e/GateProxy.h"
#include "support/ScopedProxy.h"
#include "tools/player/Player.h"
#include "utils/fs/FileSystem.h"
#include "utils/registry/RegistryKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace E2e;
using Player::ChoiceButton;
using Player::MessageBoxInfo;

namespace {

const char kManifestRequest[] = "Dl/ClientResources.asp?Remote=1&";
// The stamped profile as the manifest request carries it, after the language.
const char kStampedQuery[] =
    "&Tag=7&Tag2=-12&ChainStartTime=1765000000&ChainStartRandom=4242&Fun=3&Currency=5&BrandId=30&";
const char kQuestion[] = "Do you want to continue this operation?";
const std::vector<int> kOfferedOptions = {0, 1, 9, 11, 12, 16, 17};  // the stamped mask 0x31A03

std::string SetupExe() { return StatePath("downloads\\OrvantaSetup.exe"); }
std::string InstalledCopy() { return InstallDir() + "\\" + kBrand + ".exe"; }
std::string ClientExe() { return InstallDir() + "\\Bin\\" + kBrand + ".exe"; }
std::string StartedLog() { return InstallDir() + "\\Bin\\started.log"; }

int CountLines(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

int ClientHeight(HWND window) {
    RECT rc;
    GetClientRect(window, &rc);
    return rc.bottom - rc.top;
}

int ClientWidth(HWND window) {
    RECT rc;
    GetClientRect(window, &rc);
    return rc.right - rc.left;
}

bool BannerVisible(HWND dialog) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (Player::ClassOf(child) == Player::kChoiceClass &&
            GetWindowLongPtrA(child, GWLP_USERDATA) == Player::kBannerUserData)
            return IsWindowVisible(child) != FALSE;
    return false;
}

// Waits for a message box of pid whose text is `text`.
bool WaitForBoxWithText(DWORD pid, const std::string& text, MessageBoxInfo& box) {
    return Player::WaitUntil(kLongWait, [&] { return Player::FindMessageBox(pid, box) && box.text == text; });
}

class Scenario : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(ServerPort(1), 0) << "the native fixture did not start the servers";
        ASSERT_GT(ServerPort(2), 0);
        // The sample client closes itself, so runs never pile up.
        SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", "2");
        CleanInstallation();
        ASSERT_FALSE(Utils::FileSystem::IsDirectory(InstallDir())) << "an earlier installation could not be removed";
        UseRelease(1);
    }

    void TearDown() override {
        m_proxy.reset();
        m_gate.reset();
        CleanInstallation();
    }

    // Routes the installer's traffic to the server of release 1 or 2.
    void UseRelease(int release) {
        m_proxy.reset();
        m_gate.reset(new GateProxy(ServerPort(release)));
        m_proxy.reset(new TestSupport::ScopedProxy(m_gate->Port()));
        ASSERT_TRUE(m_proxy->Ok());
    }

    // The downloaded copy, run as a player: the language page, a click on
    // the flag of `lang`, then the installation to its end.
    void InstallAsPlayer(const std::string& lang) {
        Process setup = Start(SetupExe(), "");
        ASSERT_TRUE(setup.Started());
        HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
        ASSERT_TRUE(dialog);
        m_fullClientHeight = ClientHeight(dialog);
        std::vector<ChoiceButton> buttons;
        ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
        ASSERT_TRUE(Player::ClickLanguage(dialog, lang));
        DWORD code = 99;
        ASSERT_TRUE(setup.Wait(kLongWait, code));
        EXPECT_EQ(code, 0u);
        ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return Exists(StartedLog()); })) << "the client never ran";
        ASSERT_TRUE(WaitNoProcess(std::string(kBrand) + ".exe", kLongWait));
    }

    // The downloaded copy started and its language page answered with `lang`.
    void StartAndChooseLanguage(Process& setup, const std::string& lang) {
        setup = Process::Start(SetupExe(), "");
        HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
        ASSERT_TRUE(dialog);
        std::vector<ChoiceButton> buttons;
        ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
        ASSERT_TRUE(Player::ClickLanguage(dialog, lang));
    }

    // "/uninstall" from the installed copy, answered with `answer`. Leaves
    // the relaunched copy's final exit code in exitCode.
    void Uninstall(int answer, DWORD& exitCode, const std::string& shots = "") {
        Process installed = Start(InstalledCopy(), "/uninstall");
        ASSERT_TRUE(installed.Started()) << "error " << GetLastError() << ", file there: " << Exists(InstalledCopy());
        DWORD code = 99;
        ASSERT_TRUE(installed.Wait(kLongWait, code));
        EXPECT_EQ(code, 1u) << "the relaunch ends with 1 once the copy runs";
        EXPECT_TRUE(Exists(TempDir() + "\\update" + kBrand + ".exe"));

        MessageBoxInfo box;
        ASSERT_TRUE(WaitForBoxWithText(0, std::string("Are you sure you want to uninstall ") + kBrand + "?", box));
        Process copy = Process::Open(box.pid);
        ASSERT_TRUE(copy.Started());
        EXPECT_NE(box.pid, installed.Id());
        EXPECT_EQ(box.caption, "Uninstall");
        EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
        if (!shots.empty()) Screenshot(box.window, shots + "_question");
        ASSERT_TRUE(Player::PressButton(box, answer));
        if (answer == IDYES) {
            ASSERT_TRUE(WaitForBoxWithText(box.pid, "Uninstall finished successfully", box));
            EXPECT_EQ(box.caption, "");
            if (!shots.empty()) Screenshot(box.window, shots + "_finished");
            ASSERT_TRUE(Player::PressButton(box, IDOK));
        }
        ASSERT_TRUE(copy.Wait(kLongWait, exitCode));
    }

    std::unique_ptr<GateProxy> m_gate;
    std::unique_ptr<TestSupport::ScopedProxy> m_proxy;
    int m_fullClientHeight = 0;
};

TEST_F(Scenario, FirstInstallAsksOnlyTheLanguageThenInstallsAndStartsTheClient) {
    AccessLog log(1);
    m_gate->Hold("ClientResources.asp");  // keeps the installing page up for a look
    Process setup = Start(SetupExe(), "");
    ASSERT_TRUE(setup.Started());
    HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(Player::WindowText(dialog), "Orvanta");

    // One page: banner, background and exactly the offered flags.
    std::vector<ChoiceButton> buttons;
    ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
    std::vector<int> shown;
    for (const ChoiceButton& b : buttons) shown.push_back(b.option);
    EXPECT_EQ(shown, kOfferedOptions);
    EXPECT_EQ(Player::ListChoiceButtons(dialog, false).size(), 18u) << "the others exist but stay hidden";
    EXPECT_TRUE(BannerVisible(dialog));
    EXPECT_TRUE(Player::IsControlVisible(dialog, Player::kBackgroundId));
    EXPECT_FALSE(Player::IsControlVisible(dialog, Player::kNumberEditId));

    // Three columns, filled in order, no gaps for the hidden flags; the grid
    // is centred on the 490-pixel content area.
    ASSERT_EQ(buttons.size(), kOfferedOptions.size());
    const int left = 15 + (ClientWidth(dialog) - 490) / 2;
    for (size_t c = 0; c < buttons.size(); ++c) {
        SCOPED_TRACE("cell " + std::to_string(c));
        EXPECT_EQ(buttons[c].rect.left, left + 156 * static_cast<int>(c % 3));
        EXPECT_EQ(buttons[c].rect.top, 104 + 34 * static_cast<int>(c / 3));
        EXPECT_EQ(buttons[c].rect.right - buttons[c].rect.left, 140);
        EXPECT_EQ(buttons[c].rect.bottom - buttons[c].rect.top, 23);
    }

    ASSERT_TRUE(log.WaitFor(ReportTarget(30), kShortWait));
    Screenshot(dialog, "first_run_language_page");
    EXPECT_EQ(log.Count(ReportTarget(40)), 0) << "40 only once every answer is known";

    ASSERT_TRUE(Player::ClickLanguage(dialog, "DE"));
    ASSERT_TRUE(m_gate->WaitForHeld(kLongWait)) << "no manifest request after the click";
    EXPECT_TRUE(Player::ListChoiceButtons(dialog, false).empty());
    EXPECT_FALSE(BannerVisible(dialog));
    EXPECT_TRUE(log.WaitFor(ReportTarget(40), kShortWait));
    EXPECT_EQ(RememberedAnswer("%Lang_"), 2) << "answers are saved before the update starts";
    Screenshot(dialog, "first_run_connecting");
    // And once more in the middle of the package files.
    m_gate->Hold("/files/Bin/readme");
    ASSERT_TRUE(m_gate->WaitForHeld(kLongWait));
    EXPECT_TRUE(Player::IsControlVisible(dialog, Player::kStatusId));
    EXPECT_FALSE(Player::ControlText(dialog, Player::kStatusId).empty());
    EXPECT_TRUE(Exists(InstalledCopy())) << "the installer copies itself before the files";
    EXPECT_TRUE(log.WaitFor(ReportTarget(50), kShortWait));
    Screenshot(dialog, "first_run_downloading");
    m_gate->Release();

    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);

    // What the server saw: one manifest request for German with exactly the
    // profile stamped into the signed copy's certificate area, each report once.
    EXPECT_EQ(log.Count(kManifestRequest), 1);
    EXPECT_EQ(log.Count(std::string("/Dl/ClientResources.asp?Remote=1&Product=Tindermoor&Did=9901&Lang=DE") +
                        kStampedQuery + "LastUpdateDate=&Brand=Copperine HTTP/1.1\""), 1);
    EXPECT_EQ(log.Count(ReportTarget(30)), 1);
    EXPECT_EQ(log.Count(ReportTarget(40)), 1);
    EXPECT_TRUE(log.WaitFor(ReportTarget(50), kShortWait));

    // Files: the installer's own copy, the client under the brand's name, its data.
    EXPECT_EQ(ReadFileText(InstalledCopy()), ReadFileText(SetupExe()));
    EXPECT_EQ(ReadFileText(ClientExe()), ReadFileText(StatePath("client\\Bin\\guiclient.exe")));
    EXPECT_EQ(ReadFileText(InstallDir() + "\\Bin\\readme.txt"), ReadFileText(StatePath("readme1.txt")));
    EXPECT_EQ(ReadFileText(InstallDir() + "\\Bin\\settings.ini"), "volume=3\r\n");

    // Registry and shortcuts.
    EXPECT_TRUE(UninstallEntryExists());
    EXPECT_EQ(UninstallValue("UninstallString"), "\"" + InstalledCopy() + "\" /uninstall");
    // The packer takes the version the client program carries.
    EXPECT_EQ(UninstallValue("DisplayVersion"), SAMPLE_VERSION_TEXT);
    EXPECT_EQ(RememberedAnswer("%ChainStartTime_"), 1765000000);
    EXPECT_EQ(RememberedAnswer("%ChainStartRandom_"), 4242);
    EXPECT_EQ(Utils::RegistryKey(1, kProductWord).GetString("ReferrerUrl", kBrand, "?"),
              "http://www.example.com/welcome?from=e2e");
    EXPECT_TRUE(Exists(DesktopLink()));
    std::vector<std::string> links = ListFiles(StartMenuDir(), "*.lnk");
    std::sort(links.begin(), links.end());
    EXPECT_EQ(links, (std::vector<std::string>{std::string(kBrand) + ".lnk", "Uninstall.lnk"}));

    // The client was started from its folder.
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return Exists(StartedLog()); }));
    EXPECT_EQ(CountLines(ReadFileText(StartedLog())), 1);
    EXPECT_TRUE(WaitNoProcess(std::string(kBrand) + ".exe", kLongWait));
}

// Nothing answers: the player is told in plain words, and Retry, once the
// server is back, goes on with the installation.
TEST_F(Scenario, UnreachableServerIsToldAndRetryCompletesTheInstallation) {
    m_gate->SetTargetPort(1);  // nothing listens there
    Process setup;
    ASSERT_NO_FATAL_FAILURE(StartAndChooseLanguage(setup, "EN"));

    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitForMessageBox(setup.Id(), kLongWait, box));
    EXPECT_EQ(box.caption, kBrand);
    EXPECT_EQ(box.text, std::string("Can't reach the ") + kBrand + " servers. Check your internet connection, then "
                        "try again.\n\nDetails: FileDownloaderListener::OnError()");
    EXPECT_NE(box.icon, nullptr);
    EXPECT_EQ(box.buttons, (std::vector<int>{IDCANCEL, IDRETRY}));
    EXPECT_EQ(box.buttonTexts, (std::vector<std::string>{"Cancel", "Retry"}));
    Screenshot(box.window, "unreachable_server");
    EXPECT_FALSE(Exists(InstalledCopy())) << "nothing happens while the player reads";

    m_gate->SetTargetPort(ServerPort(1));
    ASSERT_TRUE(Player::PressButton(box, IDRETRY));
    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileText(ClientExe()), ReadFileText(StatePath("client\\Bin\\guiclient.exe")));
    EXPECT_TRUE(UninstallEntryExists());
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return Exists(StartedLog()); })) << "the client never ran";
    EXPECT_TRUE(WaitNoProcess(std::string(kBrand) + ".exe", kLongWait));
}

// A download stamped for Arabic: the dialog reads from right to left, in Arabic.
TEST_F(Scenario, ArabicDialogIsLaidOutRightToLeft) {
    m_gate->Hold("ClientResources.asp");
    Process setup = Process::Start(StatePath("downloads\\AR\\OrvantaSetup.exe"), "");
    HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(m_gate->WaitForHeld(kLongWait)) << "the language is stamped: no question";
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [&] { return Player::IsControlVisible(dialog, Player::kStatusId); }));
    // "Downloading: Installation data"
    EXPECT_EQ(Player::ControlText(dialog, Player::kStatusId),
              "\xd8\xac\xd8\xa7\xd8\xb1\xd9\x8d \xd8\xa7\xd9\x84\xd8\xaa\xd9\x86\xd8\xb2\xd9\x8a\xd9\x84: "
              "\xd8\xa8\xd9\x8a\xd8\xa7\xd9\x86\xd8\xa7\xd8\xaa \xd8\xa7\xd9\x84\xd8\xaa\xd8\xab\xd8\xa8\xd9\x8a\xd8\xaa");
    HWND status = GetDlgItem(dialog, Player::kStatusId);
    EXPECT_TRUE(GetWindowLongPtrA(status, GWL_STYLE) & SS_RIGHT);
    EXPECT_TRUE(GetWindowLongPtrA(status, GWL_EXSTYLE) & WS_EX_RTLREADING);
    EXPECT_TRUE(GetWindowLongPtrA(GetDlgItem(dialog, Player::kOverallProgressId), GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
    // Mirrored: each control as far from the right edge as it lies from the
    // left in English (the status line 16 dialog units, the overall bar 30).
    auto placeOf = [&](int id) {
        RECT rc;
        GetWindowRect(GetDlgItem(dialog, id), &rc);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rc), 2);
        return rc;
    };
    const RECT line = placeOf(Player::kStatusId), bar = placeOf(Player::kOverallProgressId);
    const int width = ClientWidth(dialog);
    EXPECT_GT(line.right, bar.right) << "in English the bar reaches further right";
    EXPECT_NEAR((width - line.right) * 30, (width - bar.right) * 16, 60);
    Screenshot(dialog, "arabic_right_to_left");
    m_gate->Release();
    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return Exists(StartedLog()); }));
    EXPECT_TRUE(WaitNoProcess(std::string(kBrand) + ".exe", kLongWait));
}

TEST_F(Scenario, RepeatRunIsCompactAsksNothingAndFetchesOnlyWhatChanged) {
    ASSERT_NO_FATAL_FAILURE(InstallAsPlayer("EN"));
    ASSERT_GT(m_fullClientHeight, 0);

    // Started again from the installed copy, as the shortcuts do.
    AccessLog log(1);
    m_gate->Hold("ClientResources.asp");
    {
        Process again = Start(InstalledCopy(), "");
        ASSERT_TRUE(again.Started());
        HWND dialog = Player::WaitForInstallerDialog(again.Id(), kLongWait);
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(m_gate->WaitForHeld(kLongWait)) << "no update check";
        EXPECT_NEAR(ClientHeight(dialog), m_fullClientHeight / 3, 2);
        RECT status;
        GetWindowRect(GetDlgItem(dialog, Player::kStatusId), &status);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&status), 2);
        EXPECT_EQ(status.left, 10);
        EXPECT_EQ(status.top, 10);
        EXPECT_TRUE(Player::ListChoiceButtons(dialog, false).empty()) << "no question page";
        EXPECT_FALSE(Player::IsControlVisible(dialog, Player::kNumberEditId));
        EXPECT_FALSE(BannerVisible(dialog));
        Screenshot(dialog, "repeat_run_compact");
        m_gate->Release();
        DWORD code = 99;
        ASSERT_TRUE(again.Wait(kLongWait, code));
        EXPECT_EQ(code, 0u);
    }
    EXPECT_EQ(log.Count(kManifestRequest), 1);
    EXPECT_EQ(log.Count(std::string("&Did=9901&Lang=EN") + kStampedQuery), 1) << "the installed copy keeps the profile";
    EXPECT_EQ(log.Count("Status=30&"), 0);
    EXPECT_EQ(log.Count("Status=40&"), 0);
    EXPECT_EQ(log.Count("/files/"), 0) << "nothing changed, nothing fetched";
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return CountLines(ReadFileText(StartedLog())) == 2; }));
    ASSERT_TRUE(WaitNoProcess(std::string(kBrand) + ".exe", kLongWait));

    // A new release in which one file changed: exactly that file is fetched.
    ASSERT_NO_FATAL_FAILURE(UseRelease(2));
    AccessLog log2(2);
    Process third = Start(InstalledCopy(), "");
    ASSERT_TRUE(third.Started());
    DWORD code = 99;
    ASSERT_TRUE(third.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(log2.Count(kManifestRequest), 1);
    EXPECT_EQ(log2.Count("/files/"), 1);
    EXPECT_EQ(log2.Count("/files/Bin/readme"), 1);
    EXPECT_EQ(ReadFileText(InstallDir() + "\\Bin\\readme.txt"), ReadFileText(StatePath("readme2.txt")));
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return CountLines(ReadFileText(StartedLog())) == 3; }));
}

TEST_F(Scenario, TypedNumberPageTakesOnlyANumberThenTheLanguageFollows) {
    AccessLog log(1);
    Process setup = Start(StatePath("downloads\\NoDid\\OrvantaSetup.exe"), "");
    HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [&] { return Player::IsControlVisible(dialog, Player::kNumberEditId); }));
    EXPECT_TRUE(Player::IsControlVisible(dialog, Player::kNextId));
    EXPECT_EQ(Player::ControlText(dialog, -1), "%Did_");
    EXPECT_TRUE(Player::ListChoiceButtons(dialog, true).empty()) << "one page at a time";
    Screenshot(dialog, "typed_number_page");

    // Not a number, and zero: the page stays.
    for (const char* refused : {"abc", "0", ""}) {
        SCOPED_TRACE(refused);
        ASSERT_TRUE(Player::TypeNumberAndNext(dialog, refused));
        // A character typed after the click arrives after it (one queue): once
        // it shows, the click has been handled.
        HWND edit = GetDlgItem(dialog, Player::kNumberEditId);
        PostMessageA(edit, WM_CHAR, '#', 1);
        ASSERT_TRUE(Player::WaitUntil(kShortWait, [&] { return Player::WindowText(edit) == std::string(refused) + "#"; }));
        EXPECT_TRUE(Player::IsControlVisible(dialog, Player::kNumberEditId));
        EXPECT_TRUE(Player::ListChoiceButtons(dialog, true).empty());
    }
    // Leading zeros are read as decimal; the language page follows.
    ASSERT_TRUE(Player::TypeNumberAndNext(dialog, "0042"));
    std::vector<ChoiceButton> buttons;
    ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
    EXPECT_FALSE(Player::IsControlVisible(dialog, Player::kNumberEditId));
    EXPECT_FALSE(Player::IsControlVisible(dialog, Player::kNextId));
    ASSERT_TRUE(Player::ClickLanguage(dialog, "ES"));

    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(log.Count("&Did=42&Lang=ES&"), 1) << "the manifest asks for the typed download";
    EXPECT_EQ(log.Count("Status=30&Did=0&"), 1) << "reports carry the stamped values, not typed ones";
    Utils::RegistryKey key(1, kProductWord);
    EXPECT_EQ(key.GetDword(std::string("ReqData") + kTypedAnswerSuffix + "%Did_", "", 0), 42u);
    EXPECT_TRUE(Player::WaitUntil(kLongWait, [] { return Exists(StartedLog()); }));
}

TEST_F(Scenario, EscAnsweredYesMinimisesAndTheInstallationGoesOn) {
    m_gate->Hold("ClientResources.asp");
    Process setup = Start(SetupExe(), "");
    HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
    ASSERT_TRUE(dialog);
    std::vector<ChoiceButton> buttons;
    ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
    ASSERT_TRUE(Player::ClickLanguage(dialog, "PT"));
    ASSERT_TRUE(m_gate->WaitForHeld(kLongWait));

    ASSERT_TRUE(Player::PressEscape(dialog, true));  // the key itself
    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitForMessageBox(setup.Id(), kLongWait, box));
    // Asked in the player's language (Portuguese): the English question's place.
    EXPECT_EQ(box.text, "Pretende continuar esta opera\xc3\xa7\xc3\xa3o?");
    EXPECT_EQ(box.buttonTexts, (std::vector<std::string>{"Sim", "N\xc3\xa3o"}));
    EXPECT_EQ(box.caption, "");
    EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(box.owner, dialog);
    Screenshot(box.window, "cancel_question");
    ASSERT_TRUE(Player::PressButton(box, IDYES));
    EXPECT_TRUE(Player::WaitUntil(kShortWait, [&] { return IsIconic(dialog) != FALSE; }));

    m_gate->Release();
    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(RememberedAnswer("%Lang_"), 18);
    EXPECT_TRUE(Player::WaitUntil(kLongWait, [] { return Exists(StartedLog()); }));
}

// A first installation whose package host cannot be reached: whatever the
// player is shown is closed with OK, and the log server gets exactly one
// report of why and where, with the stamped funnel.
TEST_F(Scenario, FailedInstallSendsOneFailureReport) {
    AccessLog log(1);
    m_gate->Refuse("/files/");
    Process setup;
    ASSERT_NO_FATAL_FAILURE(StartAndChooseLanguage(setup, "EN"));
    DWORD code = 99;
    // Whatever the player is told is answered with Cancel (or OK) until the run ends.
    for (int round = 0; round < 240 && !setup.Wait(500, code); ++round) {
        MessageBoxInfo box;
        if (!Player::FindMessageBox(setup.Id(), box)) continue;
        const bool cancel = std::find(box.buttons.begin(), box.buttons.end(), IDCANCEL) != box.buttons.end();
        Player::PressButton(box, cancel ? IDCANCEL : IDOK);
    }
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    const std::string report = "/ClientsFailure.asp?StartTime=1765000000&StartRandom=4242&Did=9901&Tag1=7&Tag2=-12&"
                               "Reason=server%2Dunreachable&";
    ASSERT_TRUE(log.WaitFor(report, kShortWait));
    EXPECT_EQ(log.Count("/ClientsFailure.asp?"), 1);
    EXPECT_EQ(log.Count("&Stage=FetchFiles&"), 1);
    EXPECT_FALSE(UninstallValue("DisplayVersion") == SAMPLE_VERSION_TEXT) << "nothing counts as installed";
}

TEST_F(Scenario, EscAnsweredNoEndsAtOnceWithExitCodeZeroAndInstallsNothing) {
    AccessLog log(1);
    Process setup = Start(SetupExe(), "");
    HWND dialog = Player::WaitForInstallerDialog(setup.Id(), kLongWait);
    ASSERT_TRUE(dialog);
    std::vector<ChoiceButton> buttons;
    ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));

    ASSERT_TRUE(Player::PressEscape(dialog, false));  // the Cancel command (close box)
    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitForMessageBox(setup.Id(), kLongWait, box));
    EXPECT_EQ(box.text, kQuestion);
    ASSERT_TRUE(Player::PressButton(box, IDNO));
    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);

    EXPECT_FALSE(Utils::FileSystem::IsDirectory(InstallDir()));
    EXPECT_FALSE(UninstallEntryExists());
    EXPECT_TRUE(DownloadValues().empty()) << "no answer was saved";
    EXPECT_TRUE(log.WaitFor(ReportTarget(30), kShortWait));
    EXPECT_EQ(log.Count("Status=40&"), 0);
    EXPECT_EQ(log.Count(kManifestRequest), 0);
    EXPECT_TRUE(log.WaitFor("/ClientsFailure.asp?StartTime=1765000000&", kShortWait));
    EXPECT_EQ(log.Count("&Reason=cancelled&Error=0&Stage=Questions&"), 1);
}

TEST_F(Scenario, UninstallRelaunchesAsksAndRemovesEverythingOnlyOnYes) {
    ASSERT_NO_FATAL_FAILURE(InstallAsPlayer("EN"));
    ASSERT_TRUE(BrandSubkeyExists());
    ASSERT_FALSE(DownloadValues().empty());

    DWORD code = 99;
    ASSERT_NO_FATAL_FAILURE(Uninstall(IDNO, code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Exists(InstalledCopy()));
    EXPECT_TRUE(Exists(ClientExe()));
    EXPECT_TRUE(Exists(DesktopLink()));
    EXPECT_EQ(ListFiles(StartMenuDir(), "*.lnk").size(), 2u);
    EXPECT_TRUE(UninstallEntryExists());
    EXPECT_TRUE(BrandSubkeyExists());
    EXPECT_EQ(RememberedAnswer("%Lang_"), 1);

    ASSERT_NO_FATAL_FAILURE(Uninstall(IDYES, code, "uninstall"));
    EXPECT_EQ(code, 1u) << "the final message ends the run with 1";
    EXPECT_FALSE(Utils::FileSystem::IsDirectory(InstallDir()));
    EXPECT_FALSE(Utils::FileSystem::IsDirectory(StartMenuDir()));
    EXPECT_FALSE(Exists(DesktopLink()));
    EXPECT_FALSE(UninstallEntryExists());
    EXPECT_FALSE(BrandSubkeyExists()) << "installed versions would make a reinstall skip every file";
    EXPECT_EQ(DownloadValues(), std::vector<std::string>()) << "remembered answers and update records";
}

// A mended fault: with the game open, "/uninstall" said it had finished and
// left the running game behind. Now it asks the player to close it and
// removes nothing.
TEST_F(Scenario, UninstallWhileTheGameRunsRemovesNothingAndSaysSo) {
    ASSERT_NO_FATAL_FAILURE(InstallAsPlayer("EN"));
    SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", "120");
    Process game = Process::Start(ClientExe(), "", {InstallDir() + "\\Bin"});
    SetEnvironmentVariableA("ORVANTA_CLIENT_EXIT_AFTER", "2");
    ASSERT_TRUE(game.Started());
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [] { return CountLines(ReadFileText(StartedLog())) == 2; }));

    Process installed = Process::Start(InstalledCopy(), "/uninstall");
    ASSERT_TRUE(installed.Started());
    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitUntil(kLongWait, [&] {
        return Player::FindMessageBox(0, box) && box.text.find("Please close") != std::string::npos;
    }));
    EXPECT_EQ(box.caption, kBrand);
    EXPECT_EQ(box.text, std::string("Please close ") + kBrand + " before uninstalling it\n\n"
                        "Details: Please close the application before uninstalling it");
    EXPECT_NE(box.icon, nullptr);
    Screenshot(box.window, "uninstall_while_the_game_runs");
    Process copy = Process::Open(box.pid);
    ASSERT_TRUE(Player::PressButton(box, IDOK));
    DWORD code = 99;
    ASSERT_TRUE(copy.Wait(kLongWait, code));
    EXPECT_EQ(code, 1u);
    EXPECT_TRUE(Exists(InstalledCopy()));
    EXPECT_TRUE(Exists(ClientExe()));
    EXPECT_TRUE(Exists(DesktopLink()));
    EXPECT_TRUE(UninstallEntryExists());
    EXPECT_TRUE(BrandSubkeyExists());
    EXPECT_FALSE(DownloadValues().empty());
    TestSupport::EndProcessesNamed(std::string(kBrand) + ".exe");
}

TEST_F(Scenario, Uninstall2WithAGoneProcessReportsItAndShowsNoDialog) {
    // Process ids of ended processes are handed out again at once here, so
    // a "gone" process is one whose id is far above any in use.
    const DWORD gonePid = 0x7FFFFF0;
    {
        Utils::KernelHandle probe(OpenProcess(SYNCHRONIZE, FALSE, gonePid));
        ASSERT_FALSE(probe) << "process " << gonePid << " exists";
    }

    Process setup = Start(SetupExe(), "/uninstall2 " + std::to_string(gonePid));
    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitForMessageBox(setup.Id(), kLongWait, box));
    EXPECT_EQ(box.caption, "Uninstaller");
    const std::string prefix = "Failed to open process [" + std::to_string(gonePid) + "] ";
    ASSERT_EQ(box.text.compare(0, prefix.size(), prefix), 0) << box.text;
    const std::string error = box.text.substr(prefix.size());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find_first_not_of("-0123456789"), std::string::npos) << "the platform's error code: " << error;
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(Player::FindInstallerDialog(setup.Id(), false), nullptr);
    Screenshot(box.window, "uninstall2_gone_process");
    ASSERT_TRUE(Player::PressButton(box, IDOK));
    DWORD code = 99;
    ASSERT_TRUE(setup.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
}

TEST_F(Scenario, UnderscoreCopyHandsOverAndIsRemovedByItsSuccessor) {
    const std::string folder = StatePath("handover");
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string pending = folder + "\\_OrvantaSetup.exe";
    const std::string successorPath = folder + "\\OrvantaSetup.exe";
    DeleteFileA(successorPath.c_str());
    ASSERT_TRUE(CopyFileA(SetupExe().c_str(), pending.c_str(), FALSE));

    Process first = Start(pending, "");
    ASSERT_TRUE(first.Started());
    DWORD code = 99;
    ASSERT_TRUE(first.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileText(successorPath), ReadFileText(SetupExe()));

    HWND dialog = Player::WaitForInstallerDialog(0, kLongWait);
    ASSERT_TRUE(dialog) << "the successor did not start";
    Process successor = Process::Open(Player::ProcessOf(dialog));
    ASSERT_TRUE(successor.Started());
    EXPECT_NE(successor.Id(), first.Id());
    EXPECT_TRUE(Player::WaitUntil(kLongWait, [&] { return !Exists(pending); })) << "the _ copy was left";

    // The successor is an ordinary first run.
    std::vector<ChoiceButton> buttons;
    ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
    ASSERT_TRUE(Player::PressEscape(dialog, false));
    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitForMessageBox(successor.Id(), kLongWait, box));
    ASSERT_TRUE(Player::PressButton(box, IDNO));
    ASSERT_TRUE(successor.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Exists(successorPath));
}

TEST_F(Scenario, AHandoverWaitsWhileTheOldCopyIsInUseAndNeverLeavesAPartOfIt) {
    const std::string folder = StatePath("handover");
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string pending = folder + "\\_OrvantaSetup.exe";
    const std::string successorPath = folder + "\\OrvantaSetup.exe";
    ASSERT_TRUE(CopyFileA(SetupExe().c_str(), pending.c_str(), FALSE));
    // The old copy, still held open as by the ending process that started the new one.
    const std::string old = ReadFileText(SetupExe()) + "old copy";
    ASSERT_TRUE(TestSupport::WriteText(successorPath, old));
    Utils::FileHandle held(
        CreateFileA(successorPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);

    Process first = Start(pending, "");
    ASSERT_TRUE(first.Started());
    Sleep(2500);  // held for a while: the new copy keeps trying, the old one stays whole
    DWORD code = 99;
    EXPECT_FALSE(first.Wait(0, code)) << "the handover gave up at once";
    EXPECT_EQ(old, ReadFileText(successorPath));
    held.Reset();
    ASSERT_TRUE(first.Wait(kLongWait, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileText(SetupExe()), ReadFileText(successorPath));
    EXPECT_EQ(ListFiles(folder, "*.~ov*"), std::vector<std::string>());

    // The successor runs and removes the handed-over copy.
    HWND dialog = Player::WaitForInstallerDialog(0, kLongWait);
    ASSERT_TRUE(dialog) << "the successor did not start";
    Process successor = Process::Open(Player::ProcessOf(dialog));
    EXPECT_TRUE(Player::WaitUntil(kLongWait, [&] { return !Exists(pending); })) << "the _ copy was left";
    std::vector<ChoiceButton> buttons;
    ASSERT_TRUE(Player::WaitForChoiceButtons(dialog, kLongWait, buttons));
    ASSERT_TRUE(Player::PressEscape(dialog, false));
    MessageBoxInfo box;
    ASSERT_TRUE(Player::WaitForMessageBox(successor.Id(), kLongWait, box));
    ASSERT_TRUE(Player::PressButton(box, IDNO));
    ASSERT_TRUE(successor.Wait(kLongWait, code));
}

TEST_F(Scenario, InstallUninstallInstallEndsWithTheClientRunningAgain) {
    ASSERT_NO_FATAL_FAILURE(InstallAsPlayer("EN"));
    DWORD code = 99;
    ASSERT_NO_FATAL_FAILURE(Uninstall(IDYES, code));
    ASSERT_FALSE(Utils::FileSystem::IsDirectory(InstallDir()));

    // Everything was forgotten: the same download is a first run again.
    AccessLog log(1);
    ASSERT_NO_FATAL_FAILURE(InstallAsPlayer("FR"));
    EXPECT_EQ(log.Count(ReportTarget(30)), 1);
    EXPECT_EQ(log.Count(ReportTarget(40)), 1);
    EXPECT_EQ(log.Count("&Lang=FR&"), 1);
    EXPECT_GE(log.Count("/files/"), 3) << "every file fetched again";
    EXPECT_EQ(ReadFileText(ClientExe()), ReadFileText(StatePath("client\\Bin\\guiclient.exe")));
    EXPECT_EQ(CountLines(ReadFileText(StartedLog())), 1);
    EXPECT_TRUE(UninstallEntryExists());
    EXPECT_TRUE(Exists(DesktopLink())) << "shortcuts are made again after an uninstall";
    EXPECT_EQ(RememberedAnswer("%Lang_"), 10);
}

} // namespace
