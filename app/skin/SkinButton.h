#pragma once
// An owner-drawn push button that shows the normal, pressed or hover state of
// its SkinPicture (frames 0, 1 and 2 from the top). The window superclasses the
// system "BUTTON" class; its parent must reflect WM_DRAWITEM back to it
// (DialogWindow does). GWLP_USERDATA of the window belongs to the owner.
#include <windows.h>

#include "app/skin/SkinPicture.h"

class SkinButton {
public:
    SkinButton() = default;
    ~SkinButton();  // destroys the window if it still exists
    SkinButton(const SkinButton&) = delete;
    SkinButton& operator=(const SkinButton&) = delete;

    // Creates the hidden child window (styles WS_CHILD | BS_NOTIFY | BS_BITMAP
    // | BS_OWNERDRAW, text "BUTTON"). id is the control id of its commands.
    HWND Create(HWND parent, const RECT& rect, int id = 0);
    void Destroy();
    // Loads the picture and sizes the button to one of its frames.
    bool LoadPicture(HMODULE module, int resourceId, int frames);

    HWND Handle() const { return m_hWnd; }
    SkinPicture& Picture() { return m_picture; }
    bool IsHover() const { return m_bHover; }
    bool IsPressed() const { return m_bPressed; }

    static const char* ClassName() { return "OrvantaSkinButton"; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT CallBase(UINT msg, WPARAM wParam, LPARAM lParam);
    // While pressed with the capture: shows the button pushed exactly when the
    // cursor is over it. Returns true when that changed the pushed state.
    bool SyncPushedWithCursor();
    // Whether a mouse-down at this client point came from the mouse itself.
    bool IsUnderCursor(LPARAM clientPoint) const;
    void DrawItem(const DRAWITEMSTRUCT& item);
    void CancelLeaveTracking();

    HWND m_hWnd = nullptr;
    SkinPicture m_picture;
    bool m_bHover = false;
    bool m_bPressed = false;
};
