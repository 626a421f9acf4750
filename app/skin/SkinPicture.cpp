#include "app/skin/SkinPicture.h"

#include <cstring>

SIZE HimetricToPixels(HDC dc, SIZE himetric) {
    Utils::WindowDC screen;  // only when the caller gives no DC
    if (!dc) screen = Utils::WindowDC(nullptr);
    HDC hdc = dc ? dc : screen.Get();
    SIZE pixels = himetric;
    if (!hdc) return SIZE{0, 0};
    int mode = GetMapMode(hdc);
    if (mode == MM_TEXT || mode == MM_ISOTROPIC || mode == MM_ANISOTROPIC) {
        pixels.cx = MulDiv(himetric.cx, GetDeviceCaps(hdc, LOGPIXELSX), 2540);
        pixels.cy = MulDiv(himetric.cy, GetDeviceCaps(hdc, LOGPIXELSY), 2540);
    } else {
        SetMapMode(hdc, MM_HIMETRIC);
        POINT pt = {himetric.cx, himetric.cy};
        LPtoDP(hdc, &pt, 1);
        SetMapMode(hdc, mode);
        pixels.cx = pt.x;
        pixels.cy = pt.y;
    }
    POINT pt = {pixels.cx, pixels.cy};
    DPtoLP(hdc, &pt, 1);
    return SIZE{pt.x, pt.y};
}

bool SkinPicture::Load(HMODULE module, int resourceId) {
    Clear();
    HMODULE source = module ? module : GetModuleHandleA(nullptr);
    HRSRC info = FindResourceA(source, MAKEINTRESOURCEA(resourceId), "GIF");
    if (!info) return false;
    DWORD size = SizeofResource(source, info);
    HGLOBAL loaded = LoadResource(source, info);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return false;
    return LoadFromMemory(bytes, size);
}

bool SkinPicture::LoadFromMemory(const void* data, size_t size) {
    Clear();
    if (!data || size == 0 || size > 0x7fffffff) return false;
    Utils::GlobalMemory block(GlobalAlloc(GMEM_MOVEABLE | GMEM_NODISCARD, size));
    if (!block) return false;
    void* target = GlobalLock(block.Get());
    if (!target) return false;
    std::memcpy(target, data, size);
    GlobalUnlock(block.Get());

    Utils::ComPtr<IStream> stream;
    // The stream frees the block when it is released.
    if (FAILED(CreateStreamOnHGlobal(block.Get(), TRUE, stream.Receive()))) return false;
    block.Release();
    Utils::ComPtr<IPicture> picture;
    HRESULT hr = OleLoadPicture(stream.Get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                                picture.ReceiveVoid());
    if (FAILED(hr) || !picture) return false;
    m_picture = std::move(picture);
    return true;
}

SIZE SkinPicture::GetSize(HDC dc) const {
    if (!m_picture) return SIZE{0, 0};
    SIZE himetric = {0, 0};
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    m_picture->get_Width(&width);
    m_picture->get_Height(&height);
    himetric.cx = width;
    himetric.cy = height;
    return HimetricToPixels(dc, himetric);
}

void SkinPicture::Draw(HDC dc, RECT rect, int frame) const {
    if (!m_picture || !dc) return;
    if (rect.right == rect.left && rect.bottom == rect.top) {
        SIZE size = GetSize(dc);
        rect.right = rect.left + size.cx;
        rect.bottom = rect.top + size.cy;
    }
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    m_picture->get_Width(&width);
    m_picture->get_Height(&height);
    int frames = m_nFrameCount > 0 ? m_nFrameCount : 1;
    if (frame < 0) frame = 0;
    if (frame >= frames) frame = frames - 1;
    LONG band = height / frames;
    // HIMETRIC runs upwards: the source origin is the band's top edge counted
    // from the bottom, and the extent is negative.
    LONG top = height - frame * band;
    m_picture->Render(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, 0, top,
                      width, -band, nullptr);
}

bool SkinPicture::LoadIntoControl(HWND control, HMODULE module, int resourceId, int frames) {
    bool loaded = Load(module, resourceId);
    m_nFrameCount = frames > 0 ? frames : 1;
    SIZE size = GetSize(nullptr);
    if (control)
        SetWindowPos(control, nullptr, 0, 0, size.cx, size.cy / m_nFrameCount,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
    return loaded;
}
