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

// One run's command: its words and the options given before them.
struct Request {
    DWORD pid;
    DWORD timeout;
    std::vector<std::string> args;  // the command and its arguments
    std::string Arg(size_t i) const { return args.size() > i ? args[i] : std::string(); }
};

int WaitDialog(const Request& r) {
    HWND dialog = Dialog(r.pid, r.timeout);
    if (!dialog) return 1;
    std::printf("dialog %p pid %lu title \"%s\"\n", static_cast<void*>(dialog),
                static_cast<unsigned long>(Player::ProcessOf(dialog)), Player::WindowText(dialog).c_str());
    return 0;
}

int WaitGone(const Request& r) {
    const bool gone = Player::WaitForNoInstallerDialog(r.pid, r.timeout);
    std::printf(gone ? "no installer dialog\n" : "dialog still there\n");
    return gone ? 0 : 1;
}

// The dialog once it shows a choice page, with the page's visible buttons.
HWND ChoicePage(const Request& r, std::vector<Player::ChoiceButton>& buttons) {
    HWND dialog = Dialog(r.pid, r.timeout);
    if (!dialog) return nullptr;
    if (!Player::WaitForChoiceButtons(dialog, r.timeout, buttons)) {
        std::printf("no choice page\n");
        return nullptr;
    }
    return dialog;
}

int ListChoices(const Request& r) {
    std::vector<Player::ChoiceButton> buttons;
    if (!ChoicePage(r, buttons)) return 1;
    for (const Player::ChoiceButton& b : buttons)
        std::printf("option %d %s at %ld,%ld size %ldx%ld\n", b.option, Player::LanguageCodeOf(b.option).c_str(),
                    b.rect.left, b.rect.top, b.rect.right - b.rect.left, b.rect.bottom - b.rect.top);
    return 0;
}

// "click OPTION" or "click-lang CODE".
int ClickChoice(const Request& r) {
    std::vector<Player::ChoiceButton> buttons;
    HWND dialog = ChoicePage(r, buttons);
    if (!dialog) return 1;
    const std::string choice = r.Arg(1);
    if (choice.empty()) return Usage();
    const bool ok = r.args[0] == "click" ? Player::ClickChoice(dialog, std::atoi(choice.c_str()))
                                         : Player::ClickLanguage(dialog, choice);
    std::printf(ok ? "clicked %s\n" : "no visible button for %s\n", choice.c_str());
    return ok ? 0 : 1;
}

int TypeNumber(const Request& r) {
    HWND dialog = Dialog(r.pid, r.timeout);
    if (!dialog) return 1;
    if (!Player::WaitUntil(r.timeout, [&] { return Player::IsControlVisible(dialog, IDC_NUMBER_EDIT); })) {
        std::printf("no number page\n");
        return 1;
    }
    return Player::TypeNumberAndNext(dialog, r.Arg(1)) ? 0 : 1;
}

int Escape(const Request& r) {
    HWND dialog = Dialog(r.pid, r.timeout);
    if (!dialog) return 1;
    return Player::PressEscape(dialog, r.Arg(1) == "key") ? 0 : 1;
}

int Status(const Request& r) {
    HWND dialog = Dialog(r.pid, r.timeout);
    if (!dialog) return 1;
    std::printf("title \"%s\"\nstatus \"%s\"\n", Player::WindowText(dialog).c_str(),
                Player::ControlText(dialog, IDC_STATUS_TEXT).c_str());
    for (int id : {IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS}) {
        int pos = 0, upper = 0;
        if (Player::ProgressOf(dialog, id, pos, upper))
            std::printf("progress %d: %d of %d%s\n", id, pos, upper,
                        Player::IsControlVisible(dialog, id) ? "" : " (hidden)");
    }
    return 0;
}

// "msgbox [yes|no|ok|ID]": prints the box, then presses the button if one is named.
int AnswerMessageBox(const Request& r) {
    Player::MessageBoxInfo box;
    if (!WaitForBox(r.pid, r.timeout, box)) {
        std::printf("no message box\n");
        return 1;
    }
    std::printf("message box pid %lu caption \"%s\" text \"%s\"\n", static_cast<unsigned long>(box.pid),
                box.caption.c_str(), box.text.c_str());
    const std::string answer = r.Arg(1);
    if (answer.empty()) return 0;
    const int id = answer == "yes"  ? IDYES
                   : answer == "no" ? IDNO
                   : answer == "ok" ? IDOK
                                    : std::atoi(answer.c_str());
    const bool ok = Player::PressButton(box, id);
    std::printf(ok ? "pressed %s\n" : "no button %s\n", answer.c_str());
    return ok ? 0 : 1;
}

int WaitExit(const Request& r) {
    DWORD code = 0;
    if (r.pid == 0 || !Player::WaitForExit(r.pid, r.timeout, code)) {
        std::printf("process %lu did not end (or cannot be opened)\n", static_cast<unsigned long>(r.pid));
        return 1;
    }
    std::printf("exit code %lu\n", static_cast<unsigned long>(code));
    return 0;
}

int WaitWindow(const Request& r) {
    const std::string title = r.Arg(1);
    const bool found = !title.empty() && Player::WaitUntil(r.timeout, [&] { return TopLevel(title) != nullptr; });
    std::printf(found ? "window \"%s\" found\n" : "no window \"%s\"\n", title.c_str());
    return found ? 0 : 1;
}

// The window a screenshot shows: "dialog", "msgbox", "title:TITLE", or
// nothing for "screen". False when the window asked for did not appear.
bool ShotWindow(const Request& r, const std::string& what, HWND& window) {
    window = nullptr;
    if (what == "dialog") return (window = Dialog(r.pid, r.timeout)) != nullptr;
    if (what == "msgbox") {
        Player::MessageBoxInfo box;
        if (!WaitForBox(r.pid, r.timeout, box)) return false;
        window = box.window;
        return true;
    }
    if (what.compare(0, 6, "title:") == 0)
        return Player::WaitUntil(r.timeout, [&] { return (window = TopLevel(what.substr(6))) != nullptr; });
    return true;
}

int Shot(const Request& r) {
    const std::string file = r.Arg(1);
    if (file.empty()) return Usage();
    HWND window = nullptr;
    if (!ShotWindow(r, r.args.size() > 2 ? r.args[2] : "dialog", window)) return 1;
    // Give the window a moment to finish painting what it just changed.
    if (window) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(300);
    const bool ok = Player::SaveScreenshot(window, file);
    std::printf(ok ? "saved %s\n" : "could not save %s\n", file.c_str());
    return ok ? 0 : 1;
}

const struct {
    const char* name;
    int (*run)(const Request&);
} kCommands[] = {
    {"wait-dialog", WaitDialog}, {"wait-gone", WaitGone},       {"list", ListChoices}, {"click", ClickChoice},
    {"click-lang", ClickChoice}, {"type", TypeNumber},          {"esc", Escape},       {"status", Status},
    {"msgbox", AnswerMessageBox}, {"wait-exit", WaitExit},      {"wait-window", WaitWindow}, {"shot", Shot},
};

int Run(const Request& request) {
    for (const auto& command : kCommands)
        if (request.args[0] == command.name) return command.run(request);
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
    const int rc = Run(Request{pid, timeout, args});
    std::fflush(stdout);
    return rc;
}
