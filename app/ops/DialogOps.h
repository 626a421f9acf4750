#pragma once
// The operations through which the engine (and through it the download
// listener) and the uninstaller drive the installer dialog. Engine code sees
// only this interface, never a window, so it runs and is tested without one
// (tests install a recording implementation).
//
// Threading: called from the update worker without locks. No operation but a
// message box waits for the dialog's thread: progress changes are posted
// messages, texts and the title are handed to the dialog's thread, which sets
// them when it gets to them (the latest text of a control wins).
//
// Texts are UTF-8 (Texts.h): ASCII program texts pass as they are.
#include <windows.h>
#include <string>
#include <vector>

// The controls the operations address: IDC_STATUS_TEXT, IDC_FILE_PROGRESS and
// IDC_OVERALL_PROGRESS.
#include "app/ops/PlayerMessage.h"
#include "resources/resource.h"
#include "utils/http/ProgressSink.h"

class DialogOperations {
public:
    virtual ~DialogOperations() = default;

    // Shows the bar when range != 0, else hides it; sets its range to 0..range.
    virtual void ShowProgressBar(int controlId, int range) = 0;
    virtual void SetProgressPos(int controlId, int position) = 0;
    // Shows the control when text is not empty, else hides it; sets its text.
    virtual void SetItemText(int controlId, const std::string& text) = 0;
    // Message box with the text (empty caption, OK), then exit code 1.
    // Never returns to the caller.
    virtual void FailAndExit(const std::string& text) = 0;
    // Shows the page in the dialog's page area (on the dialog's thread).
    virtual void ShowWebPage(const std::string& url) = 0;
    virtual void SetTitle(const std::string& title) = 0;
    // A message box owned by the dialog window, with an empty caption.
    // type: MB_* flags (MB_OK when 0). Returns the button pressed.
    virtual int ShowMessage(const std::string& text, UINT type) = 0;
    // The owner window of message boxes; may be null.
    virtual HWND OwnerWindow() = 0;
    // name + "_" + the first three profile answers, at most 63 characters.
    virtual std::string AppendAnswerSuffix(const std::string& name) = 0;

    // A question with a caption of its own (e.g. the uninstall confirmation).
    // Implementations without captions answer it like ShowMessage.
    virtual int AskUser(const std::string& text, const std::string& /*caption*/, UINT type) {
        return ShowMessage(text, type);
    }
    // Hides the dialog window (end of an uninstall); nothing without a window.
    virtual void HideWindow() {}
    // A release without a page of its own (no SKIN_URL): the area above the
    // status line shows the product's banner instead of nothing.
    virtual void ShowBanner() {}

    // A player message: its caption, icon, text with the details line and its
    // buttons. Returns the button pressed: IDRETRY for Retry, otherwise the
    // other button's id (IDOK or IDCANCEL).
    virtual int Tell(const PlayerMessage& message) { return ShowMessage(message.FullText(), message.BoxType()); }
    // The message, then exit code 1. Never returns to the caller.
    virtual void FailWith(const PlayerMessage& message) { FailAndExit(message.FullText()); }
};

// A dialog without a window: texts and messages go to standard output, message
// boxes answer OK, FailAndExit ends the process. The stand-in below, and a base
// for programs that run the engine without a window (benchmarks, tools).
class ConsoleDialog : public DialogOperations {
public:
    void ShowProgressBar(int, int) override {}
    void SetProgressPos(int, int) override {}
    void SetItemText(int controlId, const std::string& text) override;
    void FailAndExit(const std::string& text) override;
    void ShowWebPage(const std::string&) override {}
    void SetTitle(const std::string&) override {}
    int ShowMessage(const std::string& text, UINT type) override;
    HWND OwnerWindow() override { return nullptr; }
    std::string AppendAnswerSuffix(const std::string& name) override { return name + "_0_0_0"; }
};

// The process-wide dialog. Until one is published, a stand-in that prints
// texts to standard output and shows nothing is returned, so callers never see
// a null pointer.
DialogOperations& Dialog();
// Publishes the dialog; pass nullptr to return to the stand-in.
void PublishDialog(DialogOperations* dialog);

// A download's progress sink shown in the process-wide dialog: the file
// progress bar (IDC_FILE_PROGRESS). A failure is not shown here, in the middle
// of the transfer: its owner tells the player once the download has ended,
// knowing what the player can do about it (PlayerMessage), with the
// listener's text as the details line.
class DialogFileProgress : public Utils::HTTP::ProgressSink {
public:
    void SetRange(int range) override { Dialog().ShowProgressBar(IDC_FILE_PROGRESS, range); }
    void SetPosition(int position) override { Dialog().SetProgressPos(IDC_FILE_PROGRESS, position); }
    void ReportFailure(const std::string& text) override { m_failures.push_back(text); }
    // The texts reported, in order; the first says what went wrong ("" when none).
    const std::vector<std::string>& Failures() const { return m_failures; }
    std::string Failure() const { return m_failures.empty() ? std::string() : m_failures.front(); }

private:
    std::vector<std::string> m_failures;
};
