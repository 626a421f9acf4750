#include "utils/Exception.h"

#include <windows.h>
#include <gtest/gtest.h>

TEST(Exception, CarriesTheCreatingThreadLine) {
    Utils::Exception e("Error in CVLogger::LOG_CHANNEL_2_INDEX", "channel not in range", 0);
    EXPECT_EQ(e.Message(), "channel not in range\nThreadId=" + std::to_string(GetCurrentThreadId()));
    EXPECT_EQ(e.Place(), "Error in CVLogger::LOG_CHANNEL_2_INDEX");
    EXPECT_EQ(e.Code(), 0);
}

TEST(Exception, ThreadLineNamesTheThreadThatCreatedIt) {
    struct Result { Utils::Exception* e; DWORD id; } result{};
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        auto* r = static_cast<Result*>(p);
        r->id = GetCurrentThreadId();
        r->e = new Utils::Exception("place", "text", 7);
        return 0;
    }, &result, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_NE(result.id, GetCurrentThreadId());
    EXPECT_EQ(result.e->Message(), "text\nThreadId=" + std::to_string(result.id));
    delete result.e;
}
