#include "skin_test_util.h"

#include <cstdlib>
#include <cstdio>

#include "app/skin/SkinPicture.h"

namespace {

// A 32-bit top-down DIB section selected into a memory DC.
class Canvas {
public:
    Canvas(int width, int height) : m_width(width), m_height(height) {
        m_dc.Reset(CreateCompatibleDC(nullptr));
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        m_bitmap = CreateDIBSection(m_dc.Get(), &info, DIB_RGB_COLORS, &m_bits, nullptr, 0);
        m_old = SelectObject(m_dc.Get(), m_bitmap);
    }
    ~Canvas() {
        SelectObject(m_dc.Get(), m_old);
        DeleteObject(m_bitmap);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    HDC Dc() const { return m_dc.Get(); }
    Capture Read() const {
        GdiFlush();
        Capture capture;
        capture.width = m_width;
        capture.height = m_height;
        const uint32_t* bits = static_cast<const uint32_t*>(m_bits);
        capture.pixels.assign(bits, bits + static_cast<size_t>(m_width) * m_height);
        for (auto& p : capture.pixels) p &= 0x00ffffff;
        return capture;
    }

private:
    int m_width, m_height;
    Utils::MemoryDC m_dc;  // deleted after the bitmap is selected out and deleted
    HBITMAP m_bitmap;
    HGDIOBJ m_old;
    void* m_bits = nullptr;
};

} // namespace

Capture CaptureWindow(HWND hwnd, bool wholeWindow) {
    RECT rect;
    if (wholeWindow) {
        GetWindowRect(hwnd, &rect);
        OffsetRect(&rect, -rect.left, -rect.top);
    } else {
        GetClientRect(hwnd, &rect);
    }
    Canvas canvas(rect.right, rect.bottom);
    HDC source = wholeWindow ? GetWindowDC(hwnd) : GetDC(hwnd);
    BitBlt(canvas.Dc(), 0, 0, rect.right, rect.bottom, source, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, source);
    return canvas.Read();
}

Capture RenderFrame(const SkinPicture& picture, int width, int height, int frame, const RECT* target,
                    int background) {
    Canvas canvas(width, height);
    RECT rect = {0, 0, width, height};
    FillRect(canvas.Dc(), &rect, static_cast<HBRUSH>(GetStockObject(background)));
    picture.Draw(canvas.Dc(), target ? *target : rect, frame);
    return canvas.Read();
}

double Similarity(const Capture& a, const Capture& b, int tolerance) {
    if (a.width != b.width || a.height != b.height || a.pixels.empty()) return 0.0;
    size_t same = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) {
        bool close = true;
        for (int shift = 0; shift < 24; shift += 8) {
            int ca = (a.pixels[i] >> shift) & 0xff, cb = (b.pixels[i] >> shift) & 0xff;
            if (std::abs(ca - cb) > tolerance) close = false;
        }
        if (close) ++same;
    }
    return static_cast<double>(same) / a.pixels.size();
}

int MatchingReference(const Capture& capture, const std::vector<Capture>& references) {
    int best = -1;
    double bestScore = 0.95;
    for (size_t i = 0; i < references.size(); ++i) {
        double score = Similarity(capture, references[i]);
        if (score >= bestScore) {
            bestScore = score;
            best = static_cast<int>(i);
        }
    }
    return best;
}

bool SaveBitmap(const Capture& capture, const std::string& path) {
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = capture.width;
    info.biHeight = -capture.height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    DWORD bytes = static_cast<DWORD>(capture.pixels.size() * 4);
    file.bfType = 0x4d42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + bytes;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = std::fwrite(&file, sizeof(file), 1, out) == 1 && std::fwrite(&info, sizeof(info), 1, out) == 1 &&
              std::fwrite(capture.pixels.data(), 1, bytes, out) == bytes;
    return std::fclose(out) == 0 && ok;
}

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done()) return true;
        if (GetTickCount() - start > limitMs) return done();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    PumpUntil([&] { return GetTickCount() - start >= ms; }, ms + 1000);
}

void MoveMouseTo(int screenX, int screenY) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    input.mi.dx = MulDiv(screenX, 65535, w - 1);
    input.mi.dy = MulDiv(screenY, 65535, h - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof(input));
}

void MouseLeft(bool down) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    SendInput(1, &input, sizeof(input));
}

POINT CenterOf(HWND hwnd) {
    RECT rect;
    GetWindowRect(hwnd, &rect);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

MessageBoxWatcher::MessageBoxWatcher(DWORD threadId)
    : m_threadId(threadId), m_stop(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&m_lock);
    m_thread.Reset(CreateThread(nullptr, 0, &MessageBoxWatcher::Run, this, 0, nullptr));
}

MessageBoxWatcher::~MessageBoxWatcher() {
    SetEvent(m_stop.Get());
    WaitForSingleObject(m_thread.Get(), INFINITE);
    DeleteCriticalSection(&m_lock);
}

std::vector<MessageBoxWatcher::Box> MessageBoxWatcher::Boxes() {
    EnterCriticalSection(&m_lock);
    std::vector<Box> copy = m_boxes;
    LeaveCriticalSection(&m_lock);
    return copy;
}

DWORD WINAPI MessageBoxWatcher::Run(void* param) {
    auto* self = static_cast<MessageBoxWatcher*>(param);
    while (WaitForSingleObject(self->m_stop.Get(), 30) == WAIT_TIMEOUT) {
        std::vector<HWND> boxes;
        EnumThreadWindows(
            self->m_threadId,
            [](HWND hwnd, LPARAM list) -> BOOL {
                char cls[32] = {};
                GetClassNameA(hwnd, cls, sizeof(cls));
                // A message box: a dialog showing its text in static 0xFFFF.
                HWND text = GetDlgItem(hwnd, 0xFFFF);
                if (std::string(cls) == "#32770" && IsWindowVisible(hwnd) && text && IsWindowVisible(text))
                    reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&boxes));
        for (HWND box : boxes) {
            Box seen;
            char text[512] = {}, caption[256] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
            GetWindowTextA(box, caption, sizeof(caption));
            seen.text = text;
            seen.caption = caption;
            seen.owner = GetWindow(box, GW_OWNER);
            EnterCriticalSection(&self->m_lock);
            self->m_boxes.push_back(seen);
            LeaveCriticalSection(&self->m_lock);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            // Do not see the same box twice while it closes.
            for (int i = 0; i < 200 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(10);
        }
    }
    return 0;
}
