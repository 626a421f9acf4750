#include "utils/Handles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using Utils::KernelHandle;

static bool IsOpen(HANDLE h) {
    DWORD flags;
    return GetHandleInformation(h, &flags) != FALSE;
}

TEST(ScopedHandle, ClosesOnceAndMoves) {
    HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(IsOpen(raw));
    {
        KernelHandle a(raw);
        KernelHandle b(std::move(a));
        EXPECT_FALSE(a.IsValid());
        EXPECT_EQ(b.Get(), raw);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
}

TEST(ScopedHandle, ResetAndReleaseAndReceive) {
    KernelHandle h(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE first = h.Get();
    h.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(IsOpen(first));
    HANDLE second = h.Release();
    EXPECT_FALSE(h.IsValid());
    EXPECT_TRUE(IsOpen(second));
    CloseHandle(second);

    Utils::RegKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, key.Receive()), ERROR_SUCCESS);
    EXPECT_TRUE(key.IsValid());
}

TEST(ScopedHandle, FileHandleTreatsInvalidValueAsEmpty) {
    Utils::FileHandle file(CreateFileA("Z:\\no\\such\\dir\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file.IsValid());
}

// Each owner closes with its own kind's function when it goes out of scope; a
// moved owner hands the handle on without closing it.
template <typename Owner>
void ExpectOwns(typename Owner::Handle raw, bool (*alive)(typename Owner::Handle)) {
    ASSERT_TRUE(alive(raw));
    {
        Owner first(raw);
        Owner second(std::move(first));
        EXPECT_FALSE(first.IsValid());
        EXPECT_EQ(second.Get(), raw);
        EXPECT_TRUE(alive(raw));
    }
    EXPECT_FALSE(alive(raw));
}

TEST(ScopedHandle, EachKindClosesWithItsOwnFunction) {
    BYTE andMask[32 * 4], xorMask[32 * 4] = {};
    std::memset(andMask, 0xff, sizeof andMask);
    ExpectOwns<Utils::IconHandle>(CreateIcon(nullptr, 32, 32, 1, 1, andMask, xorMask), [](HICON icon) {
        ICONINFO info = {};
        if (!GetIconInfo(icon, &info)) return false;
        if (info.hbmMask) DeleteObject(info.hbmMask);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        return true;
    });
    ExpectOwns<Utils::GlobalMemory>(GlobalAlloc(GMEM_MOVEABLE, 64),
                                    [](HGLOBAL block) { return GlobalFlags(block) != GMEM_INVALID_HANDLE; });
    ExpectOwns<Utils::MemoryDC>(CreateCompatibleDC(nullptr), [](HDC dc) { return GetObjectType(dc) != 0; });
}

TEST(ScopedHandle, BstrFromAnsiKeepsTheWholeText) {
    Utils::Bstr text = Utils::BstrFromAnsi(std::string("http://a/b?c=1\0d", 16));
    ASSERT_TRUE(text);
    EXPECT_EQ(16u, SysStringLen(text.Get()));
    EXPECT_EQ(std::wstring(L"http://a/b?c=1\0d", 16), std::wstring(text.Get(), SysStringLen(text.Get())));
    Utils::Bstr empty = Utils::BstrFromAnsi("");
    ASSERT_TRUE(empty);  // an empty BSTR, not a null one
    EXPECT_EQ(0u, SysStringLen(empty.Get()));
}

TEST(WindowDC, ReleasesTheScreenDcAndMoves) {
    Utils::WindowDC screen(nullptr);
    ASSERT_TRUE(screen);
    EXPECT_GT(GetDeviceCaps(screen.Get(), LOGPIXELSX), 0);
    Utils::WindowDC moved(std::move(screen));
    EXPECT_FALSE(screen);
    EXPECT_TRUE(moved);
    moved.Reset();
    EXPECT_FALSE(moved);
}
