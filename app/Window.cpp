#include "app/Window.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "utils/Lockable.h"

namespace {

struct ClassRegistry : Utils::Lockable {
    HINSTANCE instance = nullptr;
    // Lower-case class name -> base window procedure (null for our own classes).
    std::map<std::string, WNDPROC> classes;
};

ClassRegistry& Registry() {
    static ClassRegistry registry;
    return registry;
}

std::string ClassKey(const char* name) {
    std::string key = name ? name : "";
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

// Messages whose result a dialog procedure returns directly instead of through
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT msg) {
    switch (msg) {
    case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX: case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR: case WM_CTLCOLORSTATIC: case WM_COMPAREITEM:
    case WM_VKEYTOITEM: case WM_CHARTOITEM: case WM_QUERYDRAGICON: case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

} // namespace

void WindowModule::Init(HINSTANCE instance) {
    ClassRegistry& registry = Registry();
    Utils::AutoLock lock(registry);
    registry.instance = instance ? instance : GetModuleHandleA(nullptr);
}

void WindowModule::Term() {
    ClassRegistry& registry = Registry();
    Utils::AutoLock lock(registry);
    for (const auto& entry : registry.classes) UnregisterClassA(entry.first.c_str(), Instance());
    registry.classes.clear();
}

HINSTANCE WindowModule::Instance() {
    ClassRegistry& registry = Registry();
    Utils::AutoLock lock(registry);
    if (!registry.instance) registry.instance = GetModuleHandleA(nullptr);
    return registry.instance;
}

bool WindowModule::RegisterSuperclass(const char* newClass, const char* baseClass, WNDPROC proc,
                                      WNDPROC* baseProc) {
    if (!newClass || !baseClass || !proc || !baseProc) return false;
    ClassRegistry& registry = Registry();
    Utils::AutoLock lock(registry);
    auto found = registry.classes.find(ClassKey(newClass));
    if (found != registry.classes.end()) {
        *baseProc = found->second;
        return found->second != nullptr;
    }
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    if (!GetClassInfoExA(nullptr, baseClass, &wc)) return false;
    *baseProc = wc.lpfnWndProc;
    wc.lpfnWndProc = proc;
    wc.lpszClassName = newClass;
    wc.hInstance = Instance();
    wc.style &= ~CS_GLOBALCLASS;
    if (!RegisterClassExA(&wc)) return false;
    registry.classes[ClassKey(newClass)] = *baseProc;
    return true;
}

bool WindowModule::RegisterWindowClass(const WNDCLASSEXA& windowClass) {
    if (!windowClass.lpszClassName || !windowClass.lpfnWndProc) return false;
    ClassRegistry& registry = Registry();
    Utils::AutoLock lock(registry);
    if (registry.classes.count(ClassKey(windowClass.lpszClassName))) return true;
    WNDCLASSEXA wc = windowClass;
    wc.cbSize = sizeof(wc);
    wc.hInstance = Instance();
    if (!RegisterClassExA(&wc)) return false;
    registry.classes[ClassKey(windowClass.lpszClassName)] = nullptr;
    return true;
}

bool WindowModule::IsRegistered(const char* className) {
    ClassRegistry& registry = Registry();
    Utils::AutoLock lock(registry);
    return registry.classes.count(ClassKey(className)) != 0;
}

DialogWindow::DialogWindow(int templateId) : m_templateId(templateId) {}

DialogWindow::~DialogWindow() {
    // A modeless dialog must not outlive the object its procedure points to.
    if (m_hWnd && !m_bModal) DestroyWindow(m_hWnd);
}

INT_PTR DialogWindow::DoModal(HWND owner, HINSTANCE resources) {
    m_bModal = true;
    return DialogBoxParamA(resources ? resources : WindowModule::Instance(),
                           MAKEINTRESOURCEA(m_templateId), owner, &DialogWindow::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

HWND DialogWindow::Create(HWND owner, HINSTANCE resources) {
    m_bModal = false;
    return CreateDialogParamA(resources ? resources : WindowModule::Instance(),
                              MAKEINTRESOURCEA(m_templateId), owner, &DialogWindow::DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

void DialogWindow::EndDialog(INT_PTR code) {
    if (!m_hWnd) return;
    if (m_bModal)
        ::EndDialog(m_hWnd, code);
    else
        DestroyWindow(m_hWnd);
}

bool DialogWindow::HandleMessage(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

bool DialogWindow::ReflectNotification(HWND parent, UINT msg, WPARAM wParam, LPARAM lParam,
                                       LRESULT& result) {
    HWND child = nullptr;
    switch (msg) {
    case WM_COMMAND:
        child = reinterpret_cast<HWND>(lParam);  // null for menus and accelerators
        break;
    case WM_NOTIFY:
        if (lParam) child = reinterpret_cast<NMHDR*>(lParam)->hwndFrom;
        break;
    case WM_PARENTNOTIFY:
        switch (LOWORD(wParam)) {
        case WM_CREATE:
        case WM_DESTROY:
            child = reinterpret_cast<HWND>(lParam);
            break;
        default: {
            // Mouse buttons: lParam is the point in the parent's client area.
            POINT pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            child = ChildWindowFromPointEx(parent, pt, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
            break;
        }
        }
        break;
    // Items tell menus from controls by their type, not by a zero id: a
    // control created without an id has id 0 too.
    case WM_DRAWITEM:
        if (lParam && reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->CtlType != ODT_MENU)
            child = reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_MEASUREITEM:
        if (lParam && reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->CtlType != ODT_MENU)
            child = GetDlgItem(parent, reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->CtlID);
        break;
    case WM_COMPAREITEM:
        if (lParam) child = reinterpret_cast<COMPAREITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_DELETEITEM:
        if (lParam) child = reinterpret_cast<DELETEITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        child = reinterpret_cast<HWND>(lParam);
        break;
    default:
        return false;
    }
    // Only our own children: a notification must never be bounced back to the
    // parent itself or to an unrelated window.
    if (!child || child == parent || !IsWindow(child) || GetParent(child) != parent) return false;
    result = SendMessageA(child, ORV_OCM_BASE + msg, wParam, lParam);
    return true;
}

INT_PTR CALLBACK DialogWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DialogWindow* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<DialogWindow*>(lParam);
        if (!self) return FALSE;
        self->m_hWnd = hwnd;
        SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    if (!self) return FALSE;  // messages before WM_INITDIALOG (WM_SETFONT, ...)

    LRESULT result = 0;
    bool handled = self->HandleMessage(msg, wParam, lParam, result);
    if (!handled) handled = ReflectNotification(hwnd, msg, wParam, lParam, result);

    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    if (msg == WM_INITDIALOG) return handled ? static_cast<INT_PTR>(result) : TRUE;
    if (!handled) return FALSE;
    if (ReturnsResultDirectly(msg)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}
