#include "app/InstallerDialog.h"

#include "app/MessageBoxes.h"
#include "app/skin/BrowserHost.h"
#include "app/skin/SkinButton.h"
#include "engine/SelfCopy.h"
#include "engine/Steps.h"
#include "funnel/FailureReport.h"
#include "funnel/FunnelReport.h"
#include "orvanta_config.h"
#include "resources/DialogLayout.h"
#include "resources/resource.h"
#include "uninstall/Uninstall.h"
#include "utils/Handles.h"
#include "utils/fs/AtomicFile.h"
#include "utils/fs/FileSystem.h"
#include "utils/http/SendHttp.h"
#include "utils/log/Logger.h"
#include "utils/registry/RegistryKey.h"
#include "utils/system/System.h"

#include <commctrl.h>
#include <shellapi.h>
#include <cstdlib>

namespace {

const UINT WM_APP_SHOW_PAGE = WM_APP + 1;
const UINT WM_APP_UNINSTALL = WM_APP + 2;
const UINT WM_APP_SHOW_BANNER = WM_APP + 3;
const UINT WM_APP_APPLY_TEXTS = WM_APP + 4;
const UINT WM_APP_APPLY_BARS = WM_APP + 5;
// The line of the pass's amounts, in dialog units: between the two bars,
// under the status line and the overall bar it speaks of.
const RECT kAmountLine = {16, 209, 302, 8};  // left, top, width, height
const int kPromptId = IDC_STATIC;  // the typed-number question's prompt
// How long reports still on their way may hold up the end of the process.
const DWORD kPendingReportsWaitMs = 1500;
// Attempts, one a second, at each end of the self-replacement handoff.
const int kHandoffAttempts = 20;

// The executable itself, opened for its resources only.
Utils::ModuleHandle OpenOwnExecutable() {
    const std::string path = Utils::FileSystem::GetOwnPath();
    return Utils::ModuleHandle(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

Utils::IconHandle LoadRawIcon(HMODULE module, int imageId, int size) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(imageId), MAKEINTRESOURCEA(3) /* RT_ICON */);
    if (!found) return Utils::IconHandle();
    HGLOBAL loaded = LoadResource(module, found);
    void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return Utils::IconHandle();
    return Utils::IconHandle(CreateIconFromResourceEx(static_cast<PBYTE>(bytes), SizeofResource(module, found), TRUE,
                                                      0x00030000, size, size, LR_DEFAULTCOLOR));
}

void CenterWindow(HWND hwnd) {
    RECT rc;
    GetWindowRect(hwnd, &rc);
    RECT area;
    HWND owner = GetWindow(hwnd, GW_OWNER);
    if (owner && IsWindowVisible(owner))
        GetWindowRect(owner, &area);
    else
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    SetWindowPos(hwnd, nullptr, area.left + ((area.right - area.left) - w) / 2,
                 area.top + ((area.bottom - area.top) - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int ClientWidth(HWND hwnd) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    return rc.right - rc.left;
}

} // namespace

Utils::Result CompleteSelfReplacement(bool& handedOver) {
    handedOver = false;
    const std::string self = Utils::FileSystem::GetOwnPath();
    const size_t slash = self.rfind('\\');
    const std::string folder = self.substr(0, slash + 1);
    const std::string name = self.substr(slash + 1);

    if (!name.empty() && name[0] == '_') {
        // A newer copy delivered as "_<name>": put it in place and let it run.
        // The copy that started us may still be running from there: retry
        // once a second.
        const std::string target = folder + name.substr(1);
        Utils::Result replaced = SelfCopy::CopyOver(self, target);
        for (int attempt = 1; attempt < kHandoffAttempts && !replaced; ++attempt) {
            Sleep(1000);
            replaced = SelfCopy::CopyOver(self, target);
        }
        // Never a part of a copy: without the new program the old one runs
        // (it removes this copy, and the next update brings it again); with
        // neither there is nothing to run.
        if (!replaced && !Utils::FileSystem::IsFile(target)) {
            return Utils::Result::Failure(Utils::Reason::SelfCopyFailed, replaced.error, target);
        }
        Utils::System::ShellOpen(target);
        handedOver = true;
        return Utils::Result::Success();
    }

    const std::string handedOverCopy = folder + "_" + name;
    auto exists = [&] { return GetFileAttributesA(handedOverCopy.c_str()) != INVALID_FILE_ATTRIBUTES; };
    // The copy that started us may still be ending: retry once a second.
    for (int attempt = 0; attempt < kHandoffAttempts && exists(); ++attempt) {
        DeleteFileA(handedOverCopy.c_str());
        if (!exists()) break;
        Sleep(1000);
    }
    if (!exists()) return Utils::Result::Success();
    return Utils::Result::Failure(Utils::Reason::OldVersionNotRemoved, GetLastError(), handedOverCopy);
}

PlayerMessage SelfReplacementMessage(const Utils::Result& failure) {
    // Before the profile is resolved: the stamp names the game.
    const std::string game = BrandNameFor(StampValue(SLOT_PRODUCT), StampValue(SLOT_BRAND_ID));
    if (failure.reason == Utils::Reason::SelfCopyFailed) {
        return MakePlayerMessage(TextId::MsgSelfCopyFailed, game, "Please download again with \"Save\"");
    }
    return MakePlayerMessage(TextId::MsgOldCopyLeft, game, "Failed to delete old version of the Orvanta");
}

InstallerDialog::InstallerDialog() : DialogWindow(IDD_ORVANTA_DIALOG) {}

InstallerDialog::~InstallerDialog() = default;

INT_PTR InstallerDialog::Run(HWND owner) { return DoModal(owner); }

// ---------------------------------------------------------------------------
// Dialog operations

void InstallerDialog::ShowProgressBar(int controlId, int range) { m_bars.Show(controlId, range); }

void InstallerDialog::SetProgressPos(int controlId, int position) { m_bars.SetPosition(controlId, position); }

void InstallerDialog::SetItemText(int controlId, const std::string& text) { m_texts.Set(controlId, text); }

void InstallerDialog::FailAndExit(const std::string& text) {
    ShowTextBox(Handle(), text, "", MB_OK);
    EndProcess(1);
}

int InstallerDialog::Tell(const PlayerMessage& message) { return ShowPlayerMessage(Handle(), message); }

void InstallerDialog::FailWith(const PlayerMessage& message) {
    ShowPlayerMessage(Handle(), message);
    EndProcess(1);
}

void InstallerDialog::EndProcess(UINT exitCode) {
    // Reports still on their way get a bounded moment; a silent log server
    // never holds the player up for longer.
    Utils::HTTP::WaitForPendingSends(kPendingReportsWaitMs);
    ExitProcess(exitCode);
}

void InstallerDialog::ShowWebPage(const std::string& url) {
    {
        Utils::AutoLock guard(m_pageLock);
        m_szPageUrl = url;
    }
    PostMessageA(Handle(), WM_APP_SHOW_PAGE, 0, 0);
}

void InstallerDialog::SetTitle(const std::string& title) { m_texts.Set(QueuedTexts::kTitleSlot, title); }

int InstallerDialog::ShowMessage(const std::string& text, UINT type) { return ShowTextBox(Handle(), text, "", type); }

int InstallerDialog::AskUser(const std::string& text, const std::string& caption, UINT type) {
    return ShowTextBox(Handle(), text, caption, type);
}

void InstallerDialog::HideWindow() { ShowWindow(Handle(), SW_HIDE); }

void InstallerDialog::ShowBanner() { PostMessageA(Handle(), WM_APP_SHOW_BANNER, 0, 0); }

void InstallerDialog::CreateAmountLine() {
    HWND hwnd = Handle();
    RECT rc = kAmountLine;
    MapDialogRect(hwnd, &rc);
    HWND line = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_LEFT | SS_NOPREFIX, rc.left, rc.top, rc.right,
                                rc.bottom, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_AMOUNT)),
                                WindowModule::Instance(), nullptr);
    if (line) SendMessageA(line, WM_SETFONT, SendMessageA(hwnd, WM_GETFONT, 0, 0), FALSE);
}

std::string InstallerDialog::AppendAnswerSuffix(const std::string& name) { return m_answers.AppendAnswerSuffix(name); }

// ---------------------------------------------------------------------------
// Messages

bool InstallerDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (msg) {
    case WM_INITDIALOG:
        OnInitDialog();
        result = TRUE;
        return true;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == IDOK) return (result = 0, true);
        if (id == IDCANCEL) {
            ConfirmCancel();
            return (result = 0, true);
        }
        if (id == IDC_NEXT || HIWORD(wParam) == BN_CLICKED) {
            OnQuestionClicked(id, reinterpret_cast<HWND>(lParam));
            return (result = 0, true);
        }
        return false;
    }
    case WM_APP_SHOW_PAGE:
        ShowHostedPage();
        return (result = 0, true);
    case WM_APP_UNINSTALL:
        RunUninstallProcedure();
        return (result = 0, true);
    case WM_APP_SHOW_BANNER:
        // Not over a hosted page, nor in the compact layout.
        if (!m_bRepeatRun && !m_browser && m_banner && m_banner->Handle()) {
            LoadBannerPicture();
            ShowWindow(m_banner->Handle(), SW_SHOW);
        }
        return (result = 0, true);
    case WM_APP_APPLY_TEXTS:
        m_texts.Apply();
        return (result = 0, true);
    case WM_APP_APPLY_BARS:
        m_bars.Apply();
        return (result = 0, true);
    default:
        return false;
    }
}

void InstallerDialog::OnInitDialog() {
    HWND hwnd = Handle();
    m_texts.Attach(hwnd, WM_APP_APPLY_TEXTS);
    m_bars.Attach(hwnd, WM_APP_APPLY_BARS, IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS);
    CenterWindow(hwnd);

    {
        Utils::ModuleHandle exe = OpenOwnExecutable();
        if (!exe) return;  // no resources: the template's controls only

        m_icons[0] = LoadRawIcon(exe.Get(), IDI_IMAGE_LARGE, 32);
        m_icons[1] = LoadRawIcon(exe.Get(), IDI_IMAGE_SMALL, 16);
        m_icons[2] = LoadRawIcon(exe.Get(), IDI_IMAGE_EXTRA, 48);
        if (m_icons[1]) SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icons[1].Get()));
        if (m_icons[0]) SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icons[0].Get()));

        m_banner.reset(new SkinButton());
        RECT none = {0, 0, 0, 0};
        if (m_banner->Create(hwnd, none, 0))
            SetWindowLongPtrA(m_banner->Handle(), GWLP_USERDATA, DialogLayout::kBannerUserData);
    }

    CreateAmountLine();
    WriteLanguageCodes();
    m_answers.Clear();
    m_pKey.reset();

    bool handedOver = false;
    const Utils::Result replaced = CompleteSelfReplacement(handedOver);
    if (!replaced) FailWith(SelfReplacementMessage(replaced));
    if (handedOver) EndProcess(0);
    PublishDialog(this);
    m_answers.ResolveStamped();
    SelectLanguage();

    const std::string requestKey = m_answers.RequestKey();
    if (!requestKey.empty()) {
        Utils::RegistryKey& key = ProductKey();
        m_pLogger.reset(new CVLogger());
        m_pLogger->SetChannelFile(1, "OV");
        key.SetDword("LogFile", 0, false, "");
        m_pLogger->SetChannelFlags(1, key.GetDword("LogFile", "", 0));
        SetAppLogger(m_pLogger.get());
        Log(m_pLogger.get(), 1, "S", "OnInitDialog() init Log (build: 24/06/2007)", "s", "PRODUCT_ID= ", "I",
            m_answers.Get(FIELD_PRODUCT), "s", "BRAND_ID= ", "I", m_answers.Get(FIELD_BRAND_ID), "s", "myRegKey= ",
            "S", requestKey.c_str(), nullptr);
        m_bRepeatRun = m_answers.IsKnownFunnel(key);
        SelectLanguage();
    }

    if (!m_bRepeatRun)
        FunnelReport(FUNNEL_FIRST_START);
    else
        UseCompactLayout();

    using namespace DialogLayout;
    const int width = ClientWidth(hwnd);
    const int left = (width - kContentWidth) / 2;
    if (m_banner && m_banner->Handle())
        SetWindowPos(m_banner->Handle(), nullptr, left, kBannerTop, kContentWidth, kBannerHeight,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(GetDlgItem(hwnd, IDC_BACKGROUND), HWND_BOTTOM, left, kBackdropTop, kContentWidth, kBackdropHeight,
                 SWP_NOACTIVATE);
    CenterLanguageGrid(width);
    ApplyReadingOrder();

    if (m_bUninstall)
        PostMessageA(hwnd, WM_APP_UNINSTALL, 0, 0);
    else
        Proceed();
}

void InstallerDialog::UseCompactLayout() {
    HWND hwnd = Handle();
    int y = DialogLayout::kCompactMargin;
    for (int id : {IDC_STATUS_TEXT, IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS, IDC_PROGRESS_AMOUNT}) {
        HWND item = GetDlgItem(hwnd, id);
        RECT rc;
        GetWindowRect(item, &rc);
        const int height = rc.bottom - rc.top;
        SetWindowPos(item, nullptr, DialogLayout::kCompactMargin, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        y += height * 4 / 3;
    }
    RECT client;
    GetClientRect(hwnd, &client);
    RECT frame = {0, 0, client.right, client.bottom / 3};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE)));
    SetWindowPos(hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

Utils::RegistryKey& InstallerDialog::ProductKey() {
    if (!m_pKey) m_pKey.reset(new Utils::RegistryKey(Utils::kUserHive, m_answers.ProductWord()));
    return *m_pKey;
}

void InstallerDialog::SelectLanguage() {
    const std::string code = m_answers.LanguageCodeText();
    if (code.empty() || !Texts::SetLanguage(code)) Texts::UseSystemLanguage();
}

// Hebrew and Arabic: every control moves to the mirrored place, the status
// line is right-aligned and read from right to left, the bars fill from the right.
void InstallerDialog::ApplyReadingOrder() {
    const bool rightToLeft = Texts::IsRightToLeft();
    if (rightToLeft == m_bRightToLeft) return;
    m_bRightToLeft = rightToLeft;
    HWND hwnd = Handle();
    const int width = ClientWidth(hwnd);
    for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT rc;
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&rc), 2);
        SetWindowPos(child, nullptr, width - rc.right, rc.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    auto flip = [](HWND window, int index, LONG_PTR bits, bool on) {
        const LONG_PTR value = GetWindowLongPtrA(window, index);
        SetWindowLongPtrA(window, index, on ? (value | bits) : (value & ~bits));
    };
    for (int line : {IDC_STATUS_TEXT, IDC_PROGRESS_AMOUNT}) {
        flip(GetDlgItem(hwnd, line), GWL_STYLE, SS_RIGHT, rightToLeft);
        flip(GetDlgItem(hwnd, line), GWL_EXSTYLE, WS_EX_RTLREADING, rightToLeft);
    }
    for (int bar : {IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS}) flip(GetDlgItem(hwnd, bar), GWL_EXSTYLE, WS_EX_LAYOUTRTL, rightToLeft);
    flip(hwnd, GWL_EXSTYLE, WS_EX_RTLREADING | WS_EX_RIGHT, rightToLeft);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
}

void InstallerDialog::Proceed() {
    SelectLanguage();
    ApplyReadingOrder();
    if (ShowNextQuestion()) return;
    if (!m_bRepeatRun) FunnelReport(FUNNEL_ANSWERS_KNOWN);
    const std::string iniName = m_answers.ProfileIniName();
    const std::string did = std::to_string(m_answers.Get(FIELD_DID));
    if (!m_answers.RequestKey().empty()) m_answers.Save(ProductKey());
    m_downloadManager.StartUpdate(m_answers.DownloadHost(), m_answers.ProductWord(), did, iniName);
}

void InstallerDialog::LoadBannerPicture() {
    if (m_bannerLoaded || !m_banner || !m_banner->Handle()) return;
    m_bannerLoaded = true;
    Utils::ModuleHandle exe = OpenOwnExecutable();
    if (!exe) return;
    const int picture = StampValue(SLOT_PRODUCT) == 2 ? IDR_BANNER_TINDERMOOR : IDR_BANNER_CORVANTIS;
    m_banner->LoadPicture(exe.Get(), picture, 1);
}

void InstallerDialog::ShowChoiceBackdrop(bool show) {
    if (show) LoadBannerPicture();
    const int cmd = show ? SW_SHOW : SW_HIDE;
    if (m_banner && m_banner->Handle()) ShowWindow(m_banner->Handle(), cmd);
    ShowWindow(GetDlgItem(Handle(), IDC_BACKGROUND), cmd);
}

void InstallerDialog::DestroyChoiceButtons() {
    for (auto& button : m_choiceButtons) button->Destroy();
    m_choiceButtons.clear();
}

bool InstallerDialog::ShowNextQuestion() {
    HWND hwnd = Handle();
    for (; m_nFieldIndex < PROFILE_FIELD_COUNT; ++m_nFieldIndex) {
        const ProfileRecord& record = ProfileRecordOf(m_nFieldIndex);
        if (record.kind != TypedNumber && record.kind != Choice) {
            m_nSlotCursor = AdvanceSlotCursor(m_nSlotCursor, m_nFieldIndex);
            continue;
        }
        if (m_answers.Get(m_nFieldIndex) != 0) {
            m_nSlotCursor = AdvanceSlotCursor(m_nSlotCursor, m_nFieldIndex);
            continue;
        }

        if (record.kind == TypedNumber) {
            SetDlgItemTextA(hwnd, kPromptId, record.marker);
            SetDlgItemTextA(hwnd, IDC_NUMBER_EDIT, "");
            for (int id : {IDC_NUMBER_EDIT, IDC_NEXT, kPromptId}) ShowWindow(GetDlgItem(hwnd, id), SW_SHOW);
            SetFocus(GetDlgItem(hwnd, IDC_NUMBER_EDIT));
            m_bQuestionShown = true;
            return true;
        }

        Utils::ModuleHandle exe = OpenOwnExecutable();
        if (!exe) {
            // Without the pictures the page cannot be shown: go on as if every
            // answer were known.
            m_nFieldIndex = PROFILE_FIELD_COUNT;
            break;
        }
        ShowChoiceBackdrop(true);
        const uint32_t mask = static_cast<uint32_t>(StampValue(m_nSlotCursor + 1));
        int cell = 0;
        for (int k = 0; k < record.optionCount && k < PROFILE_MAX_IMAGES; ++k) {
            std::unique_ptr<SkinButton> button(new SkinButton());
            RECT none = {0, 0, 0, 0};
            if (!button->Create(hwnd, none, IDC_FIRST_CHOICE + k)) continue;
            button->LoadPicture(exe.Get(), record.imageIds[k], 3);
            SetWindowLongPtrA(button->Handle(), GWLP_USERDATA, k);
            if (mask & (1u << k)) {
                const int x = record.gridLeft + record.columnPitch * (cell % record.columns);
                const int y = record.gridTop + record.rowPitch * (cell / record.columns);
                ++cell;
                SetWindowPos(button->Handle(), HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
            }
            m_choiceButtons.push_back(std::move(button));
        }
        m_bQuestionShown = true;
        return true;
    }
    ShowChoiceBackdrop(false);
    return false;
}

void InstallerDialog::OnQuestionClicked(int id, HWND from) {
    if (from && GetWindowLongPtrA(from, GWLP_USERDATA) == DialogLayout::kBannerUserData) return;
    if (!m_bQuestionShown || m_nFieldIndex >= PROFILE_FIELD_COUNT) return;
    HWND hwnd = Handle();
    const ProfileRecord& record = ProfileRecordOf(m_nFieldIndex);

    if (record.kind == TypedNumber) {
        if (id != IDC_NEXT) return;
        char text[18] = {};
        GetDlgItemTextA(hwnd, IDC_NUMBER_EDIT, text, sizeof text);
        const int value = std::atoi(text);
        if (value == 0) return;
        m_answers.Set(m_nFieldIndex, value);
        for (int control : {IDC_NUMBER_EDIT, IDC_NEXT, kPromptId}) ShowWindow(GetDlgItem(hwnd, control), SW_HIDE);
        m_nSlotCursor += 1;
    } else {
        bool ours = false;
        for (auto& button : m_choiceButtons) ours = ours || button->Handle() == from;
        if (!ours) return;
        m_answers.Set(m_nFieldIndex, static_cast<int>(GetWindowLongPtrA(from, GWLP_USERDATA)) + 1);
        DestroyChoiceButtons();
        m_nSlotCursor += 2;
    }
    m_bQuestionShown = false;
    ++m_nFieldIndex;
    Proceed();
}

void InstallerDialog::ConfirmCancel() {
    HWND hwnd = Handle();
    const int answer = ShowTextBox(hwnd, Texts::Text(TextId::CancelQuestion), "", MB_YESNO);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    if (answer == IDYES) {
        ShowWindow(hwnd, SW_MINIMIZE);
        return;
    }
    if (!m_bUninstall) {
        const char* step = m_downloadManager.CurrentStep();
        FailureReport(Utils::Result::Failure(Utils::Reason::Cancelled), *step ? step : Steps::kQuestions, "");
    }
    EndDialog(IDCANCEL);
    EndProcess(0);
}

void InstallerDialog::ShowHostedPage() {
    if (m_bRepeatRun) return;
    std::string url;
    {
        Utils::AutoLock guard(m_pageLock);
        url = m_szPageUrl;
    }
    using namespace DialogLayout;
    const int left = (ClientWidth(Handle()) - kContentWidth) / 2 + kPageInset;
    if (m_banner && m_banner->Handle()) ShowWindow(m_banner->Handle(), SW_HIDE);
    m_browser.reset(new BrowserHost());
    if (SUCCEEDED(m_browser->Create(Handle(), left, kPageTop, left + kPageWidth, kPageBottom))) m_browser->Navigate(url);
}

void InstallerDialog::RunUninstallProcedure() {
    UninstallSettings settings;
    settings.exeFileName = Utils::FileSystem::GetOwnName();
    settings.answers = &m_answers;
    settings.farewellHost = ORVANTA_FAREWELL_HOST;
    EndProcess(static_cast<UINT>(RunUninstall(settings)));
}
