#pragma once
// The program's only window: asks for the profile fields the stamp left open,
// starts the update worker or runs the uninstall, and shows status, progress
// and web pages until the process ends. It implements the dialog operations
// the engine and the uninstaller drive it through.
#include "app/Window.h"
#include "app/ops/DialogOps.h"
#include "app/ops/QueuedBars.h"
#include "app/ops/QueuedTexts.h"
#include "app/profile/Profile.h"
#include "engine/DownloadManager.h"
#include "utils/Handles.h"
#include "utils/Lockable.h"

#include <memory>
#include <string>

#include "utils/Result.h"
#include <vector>

class SkinButton;
class BrowserHost;
class CVLogger;
namespace Utils { class RegistryKey; }

class InstallerDialog : public DialogWindow, public DialogOperations {
public:
    InstallerDialog();
    ~InstallerDialog() override;

    void SetUninstallMode() { m_bUninstall = true; }
    // Runs the dialog modally from template 129, owned by owner.
    INT_PTR Run(HWND owner);

    // Dialog operations (any thread).
    void ShowProgressBar(int controlId, int range) override;
    void SetProgressPos(int controlId, int position) override;
    void SetItemText(int controlId, const std::string& text) override;
    void FailAndExit(const std::string& text) override;
    void ShowWebPage(const std::string& url) override;
    void SetTitle(const std::string& title) override;
    int ShowMessage(const std::string& text, UINT type) override;
    HWND OwnerWindow() override { return Handle(); }
    std::string AppendAnswerSuffix(const std::string& name) override;
    int AskUser(const std::string& text, const std::string& caption, UINT type) override;
    void HideWindow() override;
    int Tell(const PlayerMessage& message) override;
    void ShowBanner() override;
    void FailWith(const PlayerMessage& message) override;

protected:
    bool HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    // The one end of the process once the dialog runs.
    [[noreturn]] static void EndProcess(UINT exitCode);
    void OnInitDialog();
    void Proceed();
    bool ShowNextQuestion();
    void OnQuestionClicked(int id, HWND from);
    void ConfirmCancel();
    void ShowHostedPage();
    void RunUninstallProcedure();
    void UseCompactLayout();
    // The line under the status line that tells the pass's amounts (hidden until used).
    void CreateAmountLine();
    // The player's language: the answer once there is one, before that the
    // system's user-interface language.
    void SelectLanguage();
    // Lays the dialog out right to left for Hebrew and Arabic (and back).
    void ApplyReadingOrder();
    void ShowChoiceBackdrop(bool show);
    // The banner's picture is read when the banner is first shown: a run that
    // never shows it (the compact layout) does not decode it before its work.
    void LoadBannerPicture();
    void DestroyChoiceButtons();
    Utils::RegistryKey& ProductKey();

    bool m_bUninstall = false;
    bool m_bRepeatRun = false;
    bool m_bQuestionShown = false;
    bool m_bRightToLeft = false;
    ProfileAnswers m_answers;
    int m_nFieldIndex = 0;
    int m_nSlotCursor = 0;
    std::vector<std::unique_ptr<SkinButton>> m_choiceButtons;
    std::unique_ptr<SkinButton> m_banner;
    bool m_bannerLoaded = false;
    // Texts and the title set by the worker, which never waits for this thread.
    QueuedTexts m_texts;
    std::unique_ptr<Utils::RegistryKey> m_pKey;
    std::unique_ptr<CVLogger> m_pLogger;
    Utils::Lockable m_pageLock;
    std::string m_szPageUrl;
    std::unique_ptr<BrowserHost> m_browser;
    Utils::IconHandle m_icons[3];
    DownloadManager m_downloadManager;

    // Bars moved by the worker, which never floods this thread's queue.
    QueuedBars m_bars;
};

// Self-replacement: an executable named "_<name>.exe" copies itself over
// "<name>.exe", starts it (handedOver: this process must end now);
// "<name>.exe" removes the "_" copy it was started by. Called during the
// dialog's initialisation. A failure the player must be told of:
// SelfCopyFailed (nothing to run) or OldVersionNotRemoved.
Utils::Result CompleteSelfReplacement(bool& handedOver);
// The message shown before the process ends for such a failure.
PlayerMessage SelfReplacementMessage(const Utils::Result& failure);
