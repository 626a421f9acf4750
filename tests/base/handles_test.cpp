#include "utils/Handles.h"

#include <gtest/gtest.h>

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
