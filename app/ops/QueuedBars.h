#pragma once
// Progress bars moved from any thread without flooding the window's queue.
// From another thread only the latest range and position of each bar are
// kept, and one message for both bars is on its way at a time; its handler
// calls Apply on the window's own thread, which sets what is latest then. A
// message per step, as a fast download makes them, would cost the posting
// thread and the window's thread a call to the system each, and a repaint.
// On the window's own thread range and position are posted to the bar as
// they come, in order.
#include <windows.h>

#include <atomic>

class QueuedBars {
public:
    // window: the dialog holding the bars; message: posted to it when a bar
    // has something to apply; ids: the bars' control ids.
    void Attach(HWND window, UINT message, int firstId, int secondId);
    // Shows (range > 0) or hides (0) the bar and sets its range.
    void Show(int controlId, int range);
    // A position within the range; dropped when it moves the bar by less than
    // a pixel.
    void SetPosition(int controlId, int position);
    // Sets the waiting ranges and positions; on the window's thread.
    void Apply();

private:
    struct Bar {
        int id = 0;
        std::atomic<int> range{0};
        std::atomic<int> lastPixel{-1};
        std::atomic<int> widthPixels{0};
        std::atomic<int> latest{0};
        std::atomic<bool> rangeChanged{false};
        std::atomic<bool> changed{false};
    };
    Bar* Find(int controlId);
    bool OnWindowThread(HWND item) const;
    void Request(Bar& bar);

    HWND m_window = nullptr;
    UINT m_message = 0;
    Bar m_bars[2];
    std::atomic<bool> m_waiting{false};  // an apply message is on its way
};
