#include "app/ops/DialogOps.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

class ConsoleDialog : public DialogOperations {
public:
    void ShowProgressBar(int, int) override {}
    void SetProgressPos(int, int) override {}
    void SetItemText(int, const std::string& text) override {
        if (!text.empty()) std::printf("status: %s\n", text.c_str());
    }
    void FailAndExit(const std::string& text) override {
        std::printf("fatal: %s\n", text.c_str());
        std::fflush(stdout);
        ExitProcess(1);
    }
    void ShowWebPage(const std::string&) override {}
    void SetTitle(const std::string&) override {}
    int ShowMessage(const std::string& text, UINT) override {
        std::printf("message: %s\n", text.c_str());
        return IDOK;
    }
    HWND OwnerWindow() override { return nullptr; }
    std::string AppendAnswerSuffix(const std::string& name) override { return name + "_0_0_0"; }
};

ConsoleDialog g_console;
std::atomic<DialogOperations*> g_dialog{nullptr};

} // namespace

DialogOperations& Dialog() {
    DialogOperations* dialog = g_dialog.load();
    return dialog ? *dialog : g_console;
}

void PublishDialog(DialogOperations* dialog) { g_dialog.store(dialog); }
