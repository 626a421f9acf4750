// The window module: modal runs, the object stored in the dialog, reflection of
// child notifications and the class registry.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <vector>

#include "app/Window.h"
#include "resources/resource.h"
#include "skin_test_util.h"

namespace {

struct Received {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> g_received;

// A child that records what is reflected to it and answers with a marker.
LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= ORV_OCM_BASE && msg < ORV_OCM_BASE + 0x400) {
        g_received.push_back({msg, wParam, lParam});
        return 0x5150 + (msg - ORV_OCM_BASE);
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND MakeRecordingChild(HWND parent, int id) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = "OrvantaTestRecorder";
    EXPECT_TRUE(WindowModule::RegisterWindowClass(wc));
    return CreateWindowExA(0, "OrvantaTestRecorder", "", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), WindowModule::Instance(), nullptr);
}

class CommandEatingDialog : public DialogWindow {
public:
    CommandEatingDialog() : DialogWindow(IDD_ORVANTA_DIALOG) {}
    bool eatCommands = false;
    HWND handleAtInit = nullptr;

protected:
    bool HandleMessage(UINT msg, WPARAM wParam, LPARAM, LRESULT& result) override {
        if (msg == WM_INITDIALOG) handleAtInit = Handle();
        if (msg == WM_COMMAND && eatCommands) {
            result = 0;
            return true;
        }
        if (msg == WM_COMMAND && LOWORD(wParam) == 4711) {
            EndDialog(42);
            return true;
        }
        return false;
    }
};

} // namespace

TEST(WindowModule, ChildNotificationsAreReflectedToTheirSender) {
    CommandEatingDialog dialog;
    HWND hwnd = dialog.Create(nullptr);
    ASSERT_TRUE(hwnd);
    EXPECT_EQ(dialog.handleAtInit, hwnd);
    HWND child = MakeRecordingChild(hwnd, 77);
    ASSERT_TRUE(child);

    NMHDR header = {child, 77, NM_CLICK};
    DRAWITEMSTRUCT draw = {};
    draw.CtlType = ODT_BUTTON;
    draw.CtlID = 77;
    draw.hwndItem = child;
    MEASUREITEMSTRUCT measure = {};
    measure.CtlType = ODT_LISTBOX;
    measure.CtlID = 77;
    DELETEITEMSTRUCT del = {};
    del.CtlType = ODT_LISTBOX;
    del.CtlID = 77;
    del.hwndItem = child;
    COMPAREITEMSTRUCT compare = {};
    compare.CtlType = ODT_LISTBOX;
    compare.CtlID = 77;
    compare.hwndItem = child;
    HDC dc = GetDC(hwnd);

    struct Case {
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        bool directResult;  // the dialog returns the child's answer itself
    } cases[] = {
        {WM_COMMAND, MAKEWPARAM(77, BN_CLICKED), reinterpret_cast<LPARAM>(child), false},
        {WM_NOTIFY, 77, reinterpret_cast<LPARAM>(&header), false},
        {WM_DRAWITEM, 77, reinterpret_cast<LPARAM>(&draw), false},
        {WM_MEASUREITEM, 77, reinterpret_cast<LPARAM>(&measure), false},
        {WM_DELETEITEM, 77, reinterpret_cast<LPARAM>(&del), false},
        {WM_COMPAREITEM, 77, reinterpret_cast<LPARAM>(&compare), true},
        {WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child), true},
        {WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child), true},
        {WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child), true},
        {WM_HSCROLL, SB_LINEDOWN, reinterpret_cast<LPARAM>(child), false},
        {WM_VSCROLL, SB_LINEUP, reinterpret_cast<LPARAM>(child), false},
        {WM_PARENTNOTIFY, MAKEWPARAM(WM_DESTROY, 77), reinterpret_cast<LPARAM>(child), false},
        {WM_PARENTNOTIFY, MAKEWPARAM(WM_LBUTTONDOWN, 77), MAKELPARAM(3, 4), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.msg << " " << c.wParam);
        g_received.clear();
        LRESULT result = SendMessageA(hwnd, c.msg, c.wParam, c.lParam);
        ASSERT_EQ(g_received.size(), 1u);
        EXPECT_EQ(g_received[0].msg, ORV_OCM_BASE + c.msg);
        EXPECT_EQ(g_received[0].wParam, c.wParam);
        EXPECT_EQ(g_received[0].lParam, c.lParam);
        if (c.directResult) EXPECT_EQ(result, static_cast<LRESULT>(0x5150 + c.msg));
        // Others carry the child's answer as the dialog's message result.
        else
            EXPECT_EQ(GetWindowLongPtrA(hwnd, DWLP_MSGRESULT), static_cast<LONG_PTR>(0x5150 + c.msg));
    }
    ReleaseDC(hwnd, dc);

    // A control created without an id (id 0) still gets its item messages.
    SetWindowLongPtrA(child, GWLP_ID, 0);
    draw.CtlID = 0;
    g_received.clear();
    SendMessageA(hwnd, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&draw));
    EXPECT_EQ(g_received.size(), 1u);

    // A handler of the dialog comes first: nothing is reflected then.
    g_received.clear();
    dialog.eatCommands = true;
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(77, BN_CLICKED), reinterpret_cast<LPARAM>(child));
    EXPECT_TRUE(g_received.empty());
    dialog.eatCommands = false;

    // Menus, and windows that are not the dialog's children, get nothing.
    HWND stranger = CreateWindowExA(0, "OrvantaTestRecorder", "", WS_POPUP, 0, 0, 5, 5, nullptr, nullptr,
                                    WindowModule::Instance(), nullptr);
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(77, BN_CLICKED), reinterpret_cast<LPARAM>(stranger));
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(77, 0), 0);
    DRAWITEMSTRUCT menuItem = {};
    menuItem.CtlType = ODT_MENU;
    menuItem.hwndItem = child;
    SendMessageA(hwnd, WM_DRAWITEM, 0, reinterpret_cast<LPARAM>(&menuItem));
    EXPECT_TRUE(g_received.empty());
    DestroyWindow(stranger);

    dialog.EndDialog(0);
    EXPECT_EQ(dialog.Handle(), nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(WindowModule, ModalRunReturnsTheEndCode) {
    CommandEatingDialog dialog;
    // The dialog ends itself on a command posted before the modal loop starts.
    struct Poster {
        static void CALLBACK Fire(HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            HWND found = FindWindowA("#32770", "Orvanta");
            if (found) PostMessageA(found, WM_COMMAND, 4711, 0);
        }
    };
    UINT_PTR timer = SetTimer(nullptr, 0, 50, &Poster::Fire);
    ASSERT_NE(timer, 0u);
    EXPECT_EQ(dialog.DoModal(nullptr), 42);
    EXPECT_TRUE(dialog.handleAtInit != nullptr);
    EXPECT_EQ(dialog.Handle(), nullptr);

    DialogWindow missing(4321);
    EXPECT_EQ(missing.DoModal(nullptr), -1);
}

TEST(WindowModule, SuperclassRegistryKeepsTheBaseProcedure) {
    WNDPROC first = nullptr, second = nullptr;
    ASSERT_TRUE(WindowModule::RegisterSuperclass("OrvantaTestEdit", "EDIT", DefWindowProcA, &first));
    ASSERT_TRUE(WindowModule::RegisterSuperclass("orvantatestedit", "EDIT", DefWindowProcA, &second));
    EXPECT_EQ(first, second);
    WNDCLASSEXA system = {};
    system.cbSize = sizeof(system);
    ASSERT_TRUE(GetClassInfoExA(nullptr, "EDIT", &system));
    EXPECT_EQ(first, system.lpfnWndProc);
    WNDCLASSEXA ours = {};
    ours.cbSize = sizeof(ours);
    ASSERT_TRUE(GetClassInfoExA(WindowModule::Instance(), "OrvantaTestEdit", &ours));
    EXPECT_EQ(ours.lpfnWndProc, reinterpret_cast<WNDPROC>(DefWindowProcA));
    EXPECT_FALSE(WindowModule::RegisterSuperclass("OrvantaTestNone", "NoSuchBaseClass", DefWindowProcA, &first));

    // Term unregisters what was registered; registering works again afterwards.
    WindowModule::Term();
    EXPECT_FALSE(WindowModule::IsRegistered("OrvantaTestEdit"));
    EXPECT_FALSE(GetClassInfoExA(WindowModule::Instance(), "OrvantaTestEdit", &ours));
    WindowModule::Init();
    EXPECT_TRUE(WindowModule::RegisterSuperclass("OrvantaTestEdit", "EDIT", DefWindowProcA, &first));
}
