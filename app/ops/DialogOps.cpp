#include "app/ops/DialogOps.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

void ConsoleDialog::SetItemText(int, const std::string& text) {
    if (!text.empty()) std::printf("status: %s\n", text.c_str());
}
void ConsoleDialog::FailAndExit(const std::string& text) {
    std::printf("fatal: %s\n", text.c_str());
    std::fflush(stdout);
    ExitProcess(1);
}
int ConsoleDialog::ShowMessage(const std::string& text, UINT) {
    std::printf("message: %s\n", text.c_str());
    return IDOK;
}

namespace {

ConsoleDialog g_console;
std::atomic<DialogOperations*> g_dialog{nullptr};

} // namespace

DialogOperations& Dialog() {
    DialogOperations* dialog = g_dialog.load();
    return dialog ? *dialog : g_console;
}

void PublishDialog(DialogOperations* dialog) { g_dialog.store(dialog); }
