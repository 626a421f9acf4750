#pragma once
// A DialogOperations implementation for tests: records every call, shows
// nothing, and answers message boxes with a configurable button. Safe to call
// from any thread (the engine calls it from its worker, the test reads it from
// the main thread).
//
//   RecordingDialog dialog;             // publishes itself
//   ... run code ...
//   EXPECT_EQ(dialog.Messages(), ...);  // unpublished again by the destructor
#include "app/ops/DialogOps.h"
#include "support/TestThreads.h"

#include <string>
#include <vector>

namespace TestSupport {

// Thrown by RecordingDialog::FailAndExit instead of ending the process, so a
// test can check that a fatal path was taken (and with which text).
struct FailAndExitCalled {
    std::string text;
};

class RecordingDialog : public DialogOperations {
public:
    // One recorded call. op is the operation's name ("ShowProgressBar",
    // "SetProgressPos", "SetItemText", "FailAndExit", "ShowWebPage", "SetTitle",
    // "ShowMessage", "AskUser", "HideWindow", "ShowBanner",
    // "AppendAnswerSuffix"); control/value/text/type hold its
    // arguments where it has them (value: range, position; type: MB_* flags).
    // A player message is recorded as "ShowMessage" (Tell) or "FailAndExit"
    // (FailWith) with its whole text, its MB_* flags, caption and details.
    struct Call {
        std::string op;
        int control = 0;
        int value = 0;
        std::string text;
        UINT type = 0;
        std::string caption;  // AskUser and player messages
        std::string details;  // player messages (Tell, FailWith): the details line's content
    };

    // publish: make this the process-wide dialog for its lifetime.
    explicit RecordingDialog(bool publish = true);
    ~RecordingDialog() override;
    RecordingDialog(const RecordingDialog&) = delete;
    RecordingDialog& operator=(const RecordingDialog&) = delete;

    // --- configuration ---
    // Button returned by ShowMessage when no queued answer is left (IDOK at first).
    void SetMessageAnswer(int button);
    // Answers returned by the next ShowMessage calls, in order.
    void QueueMessageAnswers(const std::vector<int>& buttons);
    // The three profile answers used by AppendAnswerSuffix (0, 0, 0 at first).
    void SetAnswers(int first, int second, int third);
    void SetOwnerWindow(HWND window);

    // --- what was recorded ---
    std::vector<Call> Calls() const;
    std::vector<Call> CallsOf(const std::string& op) const;
    std::vector<std::string> Messages() const;           // ShowMessage texts, in order
    std::vector<UINT> MessageTypes() const;              // their MB_* flags
    std::vector<std::string> Questions() const;          // AskUser texts, in order
    std::vector<std::string> Texts(int controlId) const; // SetItemText history of one control
    std::string LastText(int controlId) const;           // "" when never set
    std::vector<int> Positions(int controlId) const;     // SetProgressPos history
    std::vector<int> Ranges(int controlId) const;        // ShowProgressBar history
    // Whether the control is shown now, as the real dialog would have it:
    // SetItemText / ShowProgressBar show or hide; false when never touched.
    bool IsVisible(int controlId) const;
    std::vector<std::string> FailTexts() const;
    std::vector<std::string> WebPages() const;
    std::vector<std::string> Titles() const;
    void Clear();

    // --- DialogOperations ---
    void ShowProgressBar(int controlId, int range) override;
    void SetProgressPos(int controlId, int position) override;
    void SetItemText(int controlId, const std::string& text) override;
    void FailAndExit(const std::string& text) override;  // records, then throws FailAndExitCalled
    void ShowWebPage(const std::string& url) override;
    void SetTitle(const std::string& title) override;
    int ShowMessage(const std::string& text, UINT type) override;
    HWND OwnerWindow() override;
    std::string AppendAnswerSuffix(const std::string& name) override;
    // Answered from the same queue / default button as ShowMessage.
    int AskUser(const std::string& text, const std::string& caption, UINT type) override;
    void HideWindow() override;
    int Tell(const PlayerMessage& message) override;
    void FailWith(const PlayerMessage& message) override;  // records, then throws FailAndExitCalled
    void ShowBanner() override;

private:
    void Record(const Call& call);
    int NextAnswer();

    mutable TestSupport::Mutex m_mutex;
    std::vector<Call> m_calls;
    std::vector<int> m_queuedAnswers;
    int m_defaultAnswer = IDOK;
    int m_answers[3] = {0, 0, 0};
    HWND m_owner = nullptr;
    bool m_published;
};

} // namespace TestSupport
