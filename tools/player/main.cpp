// orvanta_player.exe: the player harness on the command line, for scripts.
// One action per run; prints what it saw; exit code 0 done, 1 not found or
// timed out, 2 usage.
#include "tools/player/Player.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: orvanta_player.exe [--pid N] [--timeout MS] COMMAND [ARGS]\n"
    "  wait-dialog                 wait for the installer dialog (and input idle)\n"
    "  wait-gone                   wait until no installer dialog is left\n"
    "  list                        visible choice buttons: option, language code, rectangle\n"
    "  click OPTION                click the choice button of that option index\n"
    "  click-lang CODE             click the flag of a language code (EN, DE, ...)\n"
    "  type TEXT                   type TEXT into the number box and press Next\n"
    "  esc [key]                   press Esc (the Cancel command, or the key itself)\n"
    "  status                      status line, progress bars, window title\n"
    "  msgbox [yes|no|ok]          wait for a message box, print it, optionally press a button\n"
    "  wait-exit                   wait for process --pid to end, print its exit code\n"
    "  wait-window TITLE           wait for a visible top-level window with that title\n"
    "  shot FILE.bmp [screen|dialog|msgbox|title:TITLE]   screenshot (default: dialog)\n"
    "--pid 0 (default) means any process; --timeout defaults to 60000 ms;\n"
    "--text T makes msgbox and shot msgbox wait for a box with exactly that text.\n";

std::string g_boxText;

bool WaitForBox(DWORD pid, DWORD timeout, Player::MessageBoxInfo& box) {
    return Player::WaitUntil(timeout, [&] {
        return Player::FindMessageBox(pid, box) && (g_boxText.empty() || box.text == g_boxText);
    });
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

HWND Dialog(DWORD pid, DWORD timeout) {
    HWND dialog = Player::WaitForInstallerDialog(pid, timeout);
    if (!dialog) {
        std::printf("no installer dialog\n");
        return nullptr;
    }
    Player::WaitForIdle(Player::ProcessOf(dialog), timeout);
    return dialog;
}

// A visible top-level window with exactly this title.
HWND TopLevel(const std::string& title) {
    HWND window = FindWindowA(nullptr, title.c_str());
    return window && IsWindowVisible(window) ? window : nullptr;
}

int Run(DWORD pid, DWORD timeout, const std::vector<std::string>& args) {
    const std::string& command = args[0];
    const std::string arg1 = args.size() > 1 ? args[1] : std::string();

    if (command == "wait-dialog") {
        HWND dialog = Dialog(pid, timeout);
        if (!dialog) return 1;
        std::printf("dialog %p pid %lu title \"%s\"\n", static_cast<void*>(dialog),
                    static_cast<unsigned long>(Player::ProcessOf(dialog)), Player::WindowText(dialog).c_str());
        return 0;
    }
    if (command == "wait-gone") {
        const bool gone = Player::WaitForNoInstallerDialog(pid, timeout);
        std::printf(gone ? "no installer dialog\n" : "dialog still there\n");
        return gone ? 0 : 1;
    }
    if (command == "list" || command == "click" || command == "click-lang") {
        HWND dialog = Dialog(pid, timeout);
        if (!dialog) return 1;
        std::vector<Player::ChoiceButton> buttons;
        if (!Player::WaitForChoiceButtons(dialog, timeout, buttons)) {
            std::printf("no choice page\n");
            return 1;
        }
        if (command == "list") {
            for (const Player::ChoiceButton& b : buttons)
                std::printf("option %d %s at %ld,%ld size %ldx%ld\n", b.option, Player::LanguageCodeOf(b.option).c_str(),
                            b.rect.left, b.rect.top, b.rect.right - b.rect.left, b.rect.bottom - b.rect.top);
            return 0;
        }
        if (arg1.empty()) return Usage();
        const bool ok = command == "click" ? Player::ClickChoice(dialog, std::atoi(arg1.c_str()))
                                           : Player::ClickLanguage(dialog, arg1);
        std::printf(ok ? "clicked %s\n" : "no visible button for %s\n", arg1.c_str());
        return ok ? 0 : 1;
    }
    if (command == "type") {
        HWND dialog = Dialog(pid, timeout);
        if (!dialog) return 1;
        if (!Player::WaitUntil(timeout, [&] { return Player::IsControlVisible(dialog, Player::kNumberEditId); })) {
            std::printf("no number page\n");
            return 1;
        }
        return Player::TypeNumberAndNext(dialog, arg1) ? 0 : 1;
    }
    if (command == "esc") {
        HWND dialog = Dialog(pid, timeout);
        if (!dialog) return 1;
        return Player::PressEscape(dialog, arg1 == "key") ? 0 : 1;
    }
    if (command == "status") {
        HWND dialog = Dialog(pid, timeout);
        if (!dialog) return 1;
        std::printf("title \"%s\"\nstatus \"%s\"\n", Player::WindowText(dialog).c_str(),
                    Player::ControlText(dialog, Player::kStatusId).c_str());
        for (int id : {Player::kFileProgressId, Player::kOverallProgressId}) {
            int pos = 0, upper = 0;
            if (Player::ProgressOf(dialog, id, pos, upper))
                std::printf("progress %d: %d of %d%s\n", id, pos, upper,
                            Player::IsControlVisible(dialog, id) ? "" : " (hidden)");
        }
        return 0;
    }
    if (command == "msgbox") {
        Player::MessageBoxInfo box;
        if (!WaitForBox(pid, timeout, box)) {
            std::printf("no message box\n");
            return 1;
        }
        std::printf("message box pid %lu caption \"%s\" text \"%s\"\n", static_cast<unsigned long>(box.pid),
                    box.caption.c_str(), box.text.c_str());
        if (arg1.empty()) return 0;
        const int id = arg1 == "yes" ? IDYES : arg1 == "no" ? IDNO : arg1 == "ok" ? IDOK : std::atoi(arg1.c_str());
        const bool ok = Player::PressButton(box, id);
        std::printf(ok ? "pressed %s\n" : "no button %s\n", arg1.c_str());
        return ok ? 0 : 1;
    }
    if (command == "wait-exit") {
        DWORD code = 0;
        if (pid == 0 || !Player::WaitForExit(pid, timeout, code)) {
            std::printf("process %lu did not end (or cannot be opened)\n", static_cast<unsigned long>(pid));
            return 1;
        }
        std::printf("exit code %lu\n", static_cast<unsigned long>(code));
        return 0;
    }
    if (command == "wait-window") {
        HWND window = nullptr;
        const bool found = !arg1.empty() && Player::WaitUntil(timeout, [&] { return (window = TopLevel(arg1)) != nullptr; });
        std::printf(found ? "window \"%s\" found\n" : "no window \"%s\"\n", arg1.c_str());
        return found ? 0 : 1;
    }
    if (command == "shot") {
        if (arg1.empty()) return Usage();
        const std::string what = args.size() > 2 ? args[2] : "dialog";
        HWND window = nullptr;
        if (what == "dialog") {
            window = Dialog(pid, timeout);
            if (!window) return 1;
        } else if (what == "msgbox") {
            Player::MessageBoxInfo box;
            if (!WaitForBox(pid, timeout, box)) return 1;
            window = box.window;
        } else if (what.compare(0, 6, "title:") == 0) {
            if (!Player::WaitUntil(timeout, [&] { return (window = TopLevel(what.substr(6))) != nullptr; })) return 1;
        }
        // Give the window a moment to finish painting what it just changed.
        if (window) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Sleep(300);
        const bool ok = Player::SaveScreenshot(window, arg1);
        std::printf(ok ? "saved %s\n" : "could not save %s\n", arg1.c_str());
        return ok ? 0 : 1;
    }
    return Usage();
}

} // namespace

int main(int argc, char** argv) {
    DWORD pid = 0;
    DWORD timeout = 60000;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pid") == 0 && i + 1 < argc)
            pid = std::strtoul(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--text") == 0 && i + 1 < argc)
            g_boxText = argv[++i];
        else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeout = std::strtoul(argv[++i], nullptr, 10);
        else
            args.push_back(argv[i]);
    }
    if (args.empty()) return Usage();
    const int rc = Run(pid, timeout, args);
    std::fflush(stdout);
    return rc;
}
