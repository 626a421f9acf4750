#pragma once
// A small window module: a dialog base class that keeps its object in the
// window (no thunks), reflects child notifications back to the child that sent
// them, and a registry of the window classes the program registers.
//
// Everything here runs on the thread that owns the windows (the main thread).
#include <windows.h>
#include <string>

// Reflected notifications arrive at the child as ORV_OCM_BASE + the original
// message (the same numbers as the OLE control convention, OCM_DRAWITEM etc.).
constexpr UINT ORV_OCM_BASE = 0x2000;

class WindowModule {
public:
    // Remembers the module whose windows and resources the program uses.
    // A null instance means the executable itself.
    static void Init(HINSTANCE instance = nullptr);
    // Unregisters every class registered through this module. All windows of
    // those classes must be destroyed first.
    static void Term();
    static HINSTANCE Instance();

    // Registers newClass as a copy of the system class baseClass whose messages
    // go to proc first. baseProc receives the base class's window procedure, to
    // which proc hands everything it does not handle. Registering a name again
    // returns the first registration's base procedure.
    static bool RegisterSuperclass(const char* newClass, const char* baseClass, WNDPROC proc,
                                   WNDPROC* baseProc);
    // Registers a class of our own (lpszClassName names it; hInstance is filled
    // in). Registering a name again is a success without effect.
    static bool RegisterWindowClass(const WNDCLASSEXA& windowClass);
    static bool IsRegistered(const char* className);
};

// A dialog from a template, run modally (DoModal) or modelessly (Create).
// The object is stored in the window at WM_INITDIALOG and stays valid until the
// window is destroyed; it must outlive its window.
class DialogWindow {
public:
    explicit DialogWindow(int templateId);
    virtual ~DialogWindow();
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    // Runs the dialog modally; returns the code given to EndDialog, or -1 when
    // the template cannot be loaded. resources null: WindowModule::Instance().
    INT_PTR DoModal(HWND owner, HINSTANCE resources = nullptr);
    // Creates the dialog without a modal loop (the caller pumps messages).
    HWND Create(HWND owner, HINSTANCE resources = nullptr);
    // Ends a modal run with the code, or destroys a modeless dialog.
    void EndDialog(INT_PTR code);

    HWND Handle() const { return m_hWnd; }

    // Sends the notification msg to the child it concerns as ORV_OCM_BASE + msg.
    // Returns false when msg is not a reflected notification or names no child.
    static bool ReflectNotification(HWND parent, UINT msg, WPARAM wParam, LPARAM lParam,
                                    LRESULT& result);

protected:
    // Called for every message from WM_INITDIALOG on. Return true when handled
    // and set result. Unhandled child notifications are reflected afterwards;
    // everything else gets the default dialog handling.
    virtual bool HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    HWND m_hWnd = nullptr;
    bool m_bModal = false;
};
