#pragma once
// Helpers of the skin tests: pixel captures, message pumping with generous
// limits, real mouse input and a watcher that answers message boxes.
#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "utils/Handles.h"

class SkinPicture;

struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// What the window shows on screen (client area, or whole window when asked).
Capture CaptureWindow(HWND hwnd, bool wholeWindow = false);
// picture drawn as frame into a width x height bitmap filled with background,
// into target (the whole bitmap when null).
Capture RenderFrame(const SkinPicture& picture, int width, int height, int frame, const RECT* target = nullptr,
                    int background = BLACK_BRUSH);
// Share of pixels (0..1) whose channels differ by at most tolerance.
double Similarity(const Capture& a, const Capture& b, int tolerance = 6);
// Index of the reference the capture matches best, or -1 when none matches
// at least 95% of the pixels.
int MatchingReference(const Capture& capture, const std::vector<Capture>& references);
bool SaveBitmap(const Capture& capture, const std::string& path);

// Dispatches messages until done() holds or the limit passes; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs = 10000);
void PumpFor(DWORD ms);

// Real input through the system's input queue.
void MoveMouseTo(int screenX, int screenY);
void MouseLeft(bool down);
POINT CenterOf(HWND hwnd);

// Answers (with OK) every message box that a thread shows, remembering them.
class MessageBoxWatcher {
public:
    struct Box {
        std::string text;
        std::string caption;
        HWND owner;
    };
    explicit MessageBoxWatcher(DWORD threadId);
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;
    std::vector<Box> Boxes();

private:
    static DWORD WINAPI Run(void* self);
    DWORD m_threadId;
    Utils::KernelHandle m_stop;
    Utils::KernelHandle m_thread;
    CRITICAL_SECTION m_lock;
    std::vector<Box> m_boxes;
};
