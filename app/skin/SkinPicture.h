#pragma once
// A picture from the program's resources (custom type "GIF"; GIF or Windows
// bitmap data), drawn one state (frame) at a time. The frames are equal bands
// stacked from top to bottom.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <cstddef>

#include "utils/Handles.h"

class SkinPicture {
public:
    SkinPicture() = default;
    SkinPicture(const SkinPicture&) = delete;
    SkinPicture& operator=(const SkinPicture&) = delete;

    // Loads resource id of type "GIF" from module (null: the executable).
    // On failure the picture is left empty. Needs COM on this thread.
    bool Load(HMODULE module, int resourceId);
    // Loads GIF or bitmap file data from memory (copied).
    bool LoadFromMemory(const void* data, size_t size);
    void Clear() { m_picture.Reset(); }
    bool IsEmpty() const { return !m_picture; }

    // Width and height in pixels for dc (null: the screen). Empty: 0 x 0.
    SIZE GetSize(HDC dc = nullptr) const;
    // Renders frame (0-based from the top) into rect. An empty rect is first
    // given the picture's full pixel size. A frame outside 0..frames-1 is drawn
    // as the nearest existing frame.
    void Draw(HDC dc, RECT rect, int frame) const;

    // Loads the picture, sets the frame count and sizes control to one frame
    // (width x height / frames) without moving, redrawing or activating it.
    bool LoadIntoControl(HWND control, HMODULE module, int resourceId, int frames);

    int m_nFrameCount = 1;

private:
    Utils::ComPtr<IPicture> m_picture;
};

// HIMETRIC size to pixels of dc's logical units.
SIZE HimetricToPixels(HDC dc, SIZE himetric);
