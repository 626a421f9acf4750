#include "app/skin/SkinButton.h"

#include <windowsx.h>

#include <commctrl.h>

#include "app/Window.h"

namespace {

const char kSelfProperty[] = "OrvantaSkinButton.this";
WNDPROC g_baseButtonProc = nullptr;

} // namespace

SkinButton::~SkinButton() {
    Destroy();
}

HWND SkinButton::Create(HWND parent, const RECT& rect, int id) {
    Destroy();
    // Registers on first use, and again after WindowModule::Term().
    if (!WindowModule::RegisterSuperclass(ClassName(), "BUTTON", &SkinButton::WindowProc, &g_baseButtonProc))
        return nullptr;
    HWND hwnd = CreateWindowExA(0, ClassName(), "BUTTON", WS_CHILD | BS_NOTIFY | BS_BITMAP | BS_OWNERDRAW,
                                rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), WindowModule::Instance(),
                                this);
    return hwnd;  // m_hWnd was set at WM_NCCREATE
}

void SkinButton::Destroy() {
    if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    m_bHover = m_bPressed = false;
}

bool SkinButton::LoadPicture(HMODULE module, int resourceId, int frames) {
    return m_picture.LoadIntoControl(m_hWnd, module, resourceId, frames);
}

LRESULT CALLBACK SkinButton::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    SkinButton* self = static_cast<SkinButton*>(GetPropA(hwnd, kSelfProperty));
    if (!self && msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        self = static_cast<SkinButton*>(create->lpCreateParams);
        if (self) {
            self->m_hWnd = hwnd;
            SetPropA(hwnd, kSelfProperty, self);
        }
    }
    if (!self) return CallWindowProcA(g_baseButtonProc, hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        RemovePropA(hwnd, kSelfProperty);
        LRESULT result = CallWindowProcA(g_baseButtonProc, hwnd, msg, wParam, lParam);
        self->m_hWnd = nullptr;
        self->m_bHover = self->m_bPressed = false;
        return result;
    }
    return self->OnMessage(msg, wParam, lParam);
}

LRESULT SkinButton::CallBase(UINT msg, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(g_baseButtonProc, m_hWnd, msg, wParam, lParam);
}

void SkinButton::CancelLeaveTracking() {
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_LEAVE | TME_CANCEL;
    track.hwndTrack = m_hWnd;
    _TrackMouseEvent(&track);
}

bool SkinButton::IsUnderCursor(LPARAM clientPoint) const {
    // A real mouse-down carries the point where the mouse was when it was
    // queued; a synthetic one carries whatever its sender chose.
    const DWORD queued = GetMessagePos();
    POINT cursor = {GET_X_LPARAM(queued), GET_Y_LPARAM(queued)};
    ScreenToClient(m_hWnd, &cursor);
    return cursor.x == GET_X_LPARAM(clientPoint) && cursor.y == GET_Y_LPARAM(clientPoint);
}

bool SkinButton::SyncPushedWithCursor() {
    POINT cursor = {};
    GetCursorPos(&cursor);
    bool over = WindowFromPoint(cursor) == m_hWnd;
    bool pushed = (SendMessageA(m_hWnd, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
    if (over == pushed) return false;
    SendMessageA(m_hWnd, BM_SETSTATE, over ? TRUE : FALSE, 0);
    InvalidateRect(m_hWnd, nullptr, FALSE);
    return true;
}

LRESULT SkinButton::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case ORV_OCM_BASE + WM_DRAWITEM:
        if (lParam) DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_ERASEBKGND:
        return 1;  // the picture covers the whole button
    case WM_LBUTTONDOWN:
        if (m_bHover) {
            CancelLeaveTracking();
            m_bHover = false;
        }
        // BM_CLICK (keyboard and accessibility tools) presses the button with
        // a synthetic mouse-down while the real cursor may be elsewhere: only
        // a press under the cursor takes part in the drag-off rule, or the
        // synthetic click would be un-pushed and lost.
        m_bPressed = IsUnderCursor(lParam);
        break;
    case WM_LBUTTONUP:
        m_bPressed = false;
        break;
    case WM_KILLFOCUS:
        if (GetCapture() == m_hWnd) {
            ReleaseCapture();
            m_bPressed = false;
        }
        break;
    case WM_MOUSEMOVE:
        if (m_bPressed && GetCapture() == m_hWnd) {
            SyncPushedWithCursor();
        } else if (!m_bHover) {
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof(track);
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = m_hWnd;
            if (_TrackMouseEvent(&track)) {
                m_bHover = true;
                InvalidateRect(m_hWnd, nullptr, FALSE);
            }
        }
        break;
    case WM_MOUSELEAVE:
        m_bHover = false;
        InvalidateRect(m_hWnd, nullptr, FALSE);
        break;
    default:
        break;
    }
    return CallBase(msg, wParam, lParam);
}

void SkinButton::DrawItem(const DRAWITEMSTRUCT& item) {
    if (m_bPressed && GetCapture() == m_hWnd && SyncPushedWithCursor()) return;
    if (m_picture.IsEmpty()) {
        FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
        return;
    }
    int frame = 0;
    if (item.itemState & ODS_SELECTED)
        frame = 1;
    else if (m_bHover)
        frame = 2;
    m_picture.Draw(item.hDC, item.rcItem, frame);
}
