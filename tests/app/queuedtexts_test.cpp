// Texts and progress bars set on another thread wait for nothing: they are
// applied once the window's own thread handles the posted message, the latest
// one of each control winning; on the window's thread texts are set at once.
#include <gtest/gtest.h>

#include <commctrl.h>

#include <string>
#include <utility>
#include <vector>

#include "app/ops/QueuedBars.h"
#include "app/ops/QueuedTexts.h"
#include "support/TestThreads.h"

namespace {

const UINT kApplyMessage = WM_APP + 9, kApplyBarsMessage = WM_APP + 10;
const int kStatus = 11, kAmount = 12, kFileBar = 13, kOverallBar = 14;

QueuedTexts* g_texts = nullptr;
QueuedBars* g_bars = nullptr;
int g_barMessages = 0;

LRESULT CALLBACK ParentProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kApplyMessage) {
        g_texts->Apply();
        return 0;
    }
    if (msg == kApplyBarsMessage) {
        ++g_barMessages;
        g_bars->Apply();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

std::string TextOf(HWND window) {
    char text[64] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

class QueuedTextsTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = ParentProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "QueuedTextsTest";
        RegisterClassA(&windowClass);
        parent = CreateWindowA("QueuedTextsTest", "title 0", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(parent);
        for (int id : {kStatus, kAmount}) {
            CreateWindowA("STATIC", "text 0", WS_CHILD | WS_VISIBLE, 0, 0, 50, 10, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
        }
        InitCommonControls();
        for (int id : {kFileBar, kOverallBar}) {
            CreateWindowA(PROGRESS_CLASSA, "", WS_CHILD, 0, 20, 80, 10, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
        }
        g_texts = &texts;
        texts.Attach(parent, kApplyMessage);
        g_bars = &bars;
        bars.Attach(parent, kApplyBarsMessage, kFileBar, kOverallBar);
        g_barMessages = 0;
    }
    void TearDown() override {
        DestroyWindow(parent);
        g_texts = nullptr;
        g_bars = nullptr;
    }
    int Position(int id) const { return static_cast<int>(SendMessageA(Item(id), PBM_GETPOS, 0, 0)); }
    int Upper(int id) const { return static_cast<int>(SendMessageA(Item(id), PBM_GETRANGE, FALSE, 0)); }
    void Pump() {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    HWND Item(int id) const { return GetDlgItem(parent, id); }

    QueuedTexts texts;
    QueuedBars bars;
    HWND parent = nullptr;
};

TEST_F(QueuedTextsTest, AnotherThreadNeverWaitsAndTheLatestTextWins) {
    const std::vector<std::pair<int, std::string>> sets = {
        {kStatus, "first"}, {QueuedTexts::kTitleSlot, "title 1"}, {kStatus, "second"}, {kAmount, ""}};
    // This thread handles no message until the other one has ended: had a Set
    // waited for it, the join would never return (the test times out).
    TestSupport::Thread other([&] {
        for (const auto& set : sets) texts.Set(set.first, set.second);
    });
    other.Join();
    EXPECT_EQ(TextOf(Item(kStatus)), "text 0") << "applied on the window's thread only";
    EXPECT_EQ(TextOf(parent), "title 0");

    Pump();
    EXPECT_EQ(TextOf(Item(kStatus)), "second");
    EXPECT_TRUE(GetWindowLongA(Item(kStatus), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(TextOf(parent), "title 1");
    EXPECT_EQ(TextOf(Item(kAmount)), "");
    EXPECT_FALSE(GetWindowLongA(Item(kAmount), GWL_STYLE) & WS_VISIBLE) << "an empty text hides its control";
}

TEST_F(QueuedTextsTest, OnTheWindowsThreadTextsAreSetAtOnceOverAnyStillWaiting) {
    TestSupport::Thread other([&] { texts.Set(kStatus, "from the worker"); });
    other.Join();
    texts.Set(kStatus, "from the window's thread");
    EXPECT_EQ(TextOf(Item(kStatus)), "from the window's thread");
    Pump();
    EXPECT_EQ(TextOf(Item(kStatus)), "from the window's thread") << "the older text does not come back";
}

TEST_F(QueuedTextsTest, BarsFromAnotherThreadPostOneMessageAndShowTheLatestRangeAndPosition) {
    // Thousands of steps while this thread handles nothing: one message waits.
    TestSupport::Thread other([&] {
        bars.Show(kFileBar, 1000);
        for (int position = 0; position <= 1000; ++position) bars.SetPosition(kFileBar, position);
        bars.Show(kOverallBar, 50);
        bars.SetPosition(kOverallBar, 20);
    });
    other.Join();
    EXPECT_EQ(Position(kFileBar), 0) << "applied on the window's thread only";
    Pump();
    EXPECT_EQ(g_barMessages, 1);
    EXPECT_TRUE(GetWindowLongA(Item(kFileBar), GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(Upper(kFileBar), 1000);
    EXPECT_EQ(Position(kFileBar), 1000);
    EXPECT_EQ(Upper(kOverallBar), 50);
    EXPECT_EQ(Position(kOverallBar), 20);

    // A new range and a position in it, both waiting: the range comes first,
    // so the position is not cut to the old range.
    TestSupport::Thread next([&] {
        bars.Show(kFileBar, 10);
        bars.Show(kFileBar, 5000);
        bars.SetPosition(kFileBar, 3000);
    });
    next.Join();
    Pump();
    EXPECT_EQ(g_barMessages, 2);
    EXPECT_EQ(Upper(kFileBar), 5000);
    EXPECT_EQ(Position(kFileBar), 3000);
}

} // namespace

