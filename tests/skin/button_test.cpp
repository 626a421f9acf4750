// SkinButton driven by real mouse input: which band of its picture it shows,
// and when it clicks.
#include <gtest/gtest.h>

#include <vector>

#include "app/Window.h"
#include "app/skin/SkinButton.h"
#include "resources/resource.h"
#include "skin_test_util.h"

namespace {

const int kButtonId = 500;

class ButtonPage : public DialogWindow {
public:
    ButtonPage() : DialogWindow(IDD_ORVANTA_DIALOG) {}
    int clicks = 0;

protected:
    bool HandleMessage(UINT msg, WPARAM wParam, LPARAM, LRESULT& result) override {
        if (msg == WM_COMMAND && LOWORD(wParam) == kButtonId && HIWORD(wParam) == BN_CLICKED) {
            ++clicks;
            result = 0;
            return true;
        }
        return false;
    }
};

class SkinButtonTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(page.Create(nullptr));
        SetWindowPos(page.Handle(), HWND_TOP, 60, 60, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
        RECT rect = {40, 40, 60, 50};
        ASSERT_TRUE(button.Create(page.Handle(), rect, kButtonId));
        ASSERT_TRUE(button.LoadPicture(nullptr, IDR_LANG_EN, 3));
        ShowWindow(button.Handle(), SW_SHOW);
        UpdateWindow(page.Handle());
        for (int frame = 0; frame < 3; ++frame) frames.push_back(RenderFrame(button.Picture(), 140, 23, frame));
        RECT pageRect;
        GetWindowRect(page.Handle(), &pageRect);
        away = POINT{pageRect.left + 20, pageRect.bottom - 20};  // on the dialog, off the button
        MoveMouseTo(away.x, away.y);
        ASSERT_TRUE(PumpUntil([&] { return Shown() == 0; }));
    }
    void TearDown() override {
        MouseLeft(false);
        MoveMouseTo(0, 0);
        PumpFor(50);
        button.Destroy();
        page.EndDialog(0);
    }
    int Shown() {
        UpdateWindow(button.Handle());
        return MatchingReference(CaptureWindow(button.Handle()), frames);
    }
    bool Pushed() { return (SendMessageA(button.Handle(), BM_GETSTATE, 0, 0) & BST_PUSHED) != 0; }

    ButtonPage page;
    SkinButton button;
    std::vector<Capture> frames;
    POINT away = {};
};

} // namespace

TEST_F(SkinButtonTest, IsOneFrameOfItsStripLarge) {
    RECT rect;
    GetWindowRect(button.Handle(), &rect);
    EXPECT_EQ(rect.right - rect.left, 140);
    EXPECT_EQ(rect.bottom - rect.top, 23);
    POINT origin = {rect.left, rect.top};
    ScreenToClient(page.Handle(), &origin);
    EXPECT_EQ(origin.x, 40);  // loading the picture does not move it
    EXPECT_EQ(origin.y, 40);
    char cls[64] = {};
    GetClassNameA(button.Handle(), cls, sizeof(cls));
    EXPECT_STREQ(cls, SkinButton::ClassName());
    LONG style = GetWindowLongA(button.Handle(), GWL_STYLE);
    EXPECT_EQ(style & 0xF, BS_OWNERDRAW);
    EXPECT_TRUE(style & BS_NOTIFY);
}

TEST_F(SkinButtonTest, HoverShowsThirdBandPressSecondLeaveFirst) {
    POINT center = CenterOf(button.Handle());
    MoveMouseTo(center.x, center.y);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 2 && button.IsHover(); })) << Shown();
    MouseLeft(true);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 1 && button.IsPressed(); })) << Shown();
    MouseLeft(false);
    EXPECT_TRUE(PumpUntil([&] { return page.clicks == 1; }));
    EXPECT_FALSE(button.IsPressed());
    MoveMouseTo(center.x + 3, center.y);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 2; })) << Shown();
    MoveMouseTo(away.x, away.y);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 0 && !button.IsHover(); })) << Shown();
    EXPECT_EQ(page.clicks, 1);
}

TEST_F(SkinButtonTest, DraggingOffBeforeReleaseDoesNotClick) {
    POINT center = CenterOf(button.Handle());
    MoveMouseTo(center.x, center.y);
    ASSERT_TRUE(PumpUntil([&] { return Shown() == 2; }));
    MouseLeft(true);
    ASSERT_TRUE(PumpUntil([&] { return Shown() == 1; }));
    MoveMouseTo(away.x, away.y);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 0 && !Pushed(); })) << Shown();
    MoveMouseTo(center.x, center.y);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 1 && Pushed(); })) << Shown();
    MoveMouseTo(away.x, away.y);
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 0; })) << Shown();
    MouseLeft(false);
    EXPECT_TRUE(PumpUntil([&] { return !button.IsPressed() && GetCapture() == nullptr; }));
    PumpFor(200);  // let any late notification arrive
    EXPECT_EQ(page.clicks, 0);
}

TEST(SkinButton, BannerWithOneFrameShowsTheWholePicture) {
    class Page : public DialogWindow {
    public:
        Page() : DialogWindow(IDD_ORVANTA_DIALOG) {}
    } page;
    ASSERT_TRUE(page.Create(nullptr));
    SetWindowPos(page.Handle(), HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    SkinButton banner;
    RECT rect = {5, 10, 5, 10};
    ASSERT_TRUE(banner.Create(page.Handle(), rect));
    ASSERT_TRUE(banner.LoadPicture(nullptr, IDR_BANNER_TINDERMOOR, 1));
    ShowWindow(banner.Handle(), SW_SHOW);
    GetWindowRect(banner.Handle(), &rect);
    ASSERT_EQ(rect.right - rect.left, 490);
    ASSERT_EQ(rect.bottom - rect.top, 80);

    Capture whole = RenderFrame(banner.Picture(), 490, 80, 0);
    banner.Picture().m_nFrameCount = 2;
    Capture upperHalf = RenderFrame(banner.Picture(), 490, 80, 0);
    banner.Picture().m_nFrameCount = 1;
    EXPECT_LT(Similarity(whole, upperHalf), 0.9);  // the check below can tell them apart

    UpdateWindow(banner.Handle());
    EXPECT_GE(Similarity(CaptureWindow(banner.Handle()), whole), 0.95);
    // Hovering a one-frame picture keeps showing the picture.
    POINT center = CenterOf(banner.Handle());
    MoveMouseTo(center.x, center.y);
    EXPECT_TRUE(PumpUntil([&] { return banner.IsHover(); }));
    UpdateWindow(banner.Handle());
    EXPECT_GE(Similarity(CaptureWindow(banner.Handle()), whole), 0.95);
    MoveMouseTo(0, 0);
    PumpFor(50);
    banner.Destroy();
    page.EndDialog(0);
}

TEST(SkinButton, WithoutPictureDrawsButtonFace) {
    class Page : public DialogWindow {
    public:
        Page() : DialogWindow(IDD_ORVANTA_DIALOG) {}
    } page;
    ASSERT_TRUE(page.Create(nullptr));
    SetWindowPos(page.Handle(), HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    SkinButton button;
    RECT rect = {20, 20, 80, 50};
    ASSERT_TRUE(button.Create(page.Handle(), rect));
    EXPECT_FALSE(button.LoadPicture(nullptr, 4242, 3));
    GetWindowRect(button.Handle(), &rect);
    EXPECT_EQ(rect.right - rect.left, 0);
    SetWindowPos(button.Handle(), nullptr, 0, 0, 30, 20, SWP_NOMOVE | SWP_NOZORDER);
    ShowWindow(button.Handle(), SW_SHOW);
    UpdateWindow(page.Handle());
    // Paint it red behind its back; only its own drawing can bring the face back.
    HDC dc = GetDC(button.Handle());
    RECT all = {0, 0, 30, 20};
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    FillRect(dc, &all, red);
    DeleteObject(red);
    ReleaseDC(button.Handle(), dc);
    ASSERT_EQ(CaptureWindow(button.Handle()).At(5, 5), 0xff0000u);
    RedrawWindow(button.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    Capture shown = CaptureWindow(button.Handle());
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    uint32_t faceRgb = (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
    ASSERT_EQ(shown.pixels.size(), 600u);
    for (uint32_t pixel : shown.pixels) ASSERT_EQ(pixel, faceRgb);
    button.Destroy();
    EXPECT_EQ(button.Handle(), nullptr);
    page.EndDialog(0);
}

TEST_F(SkinButtonTest, KeyboardAndAccessibilityClicksArriveWithTheMouseElsewhere) {
    // BM_CLICK presses with a synthetic mouse-down while the cursor stays off
    // the button: it must not be taken for a drag off the button.
    SendMessageA(button.Handle(), BM_CLICK, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return page.clicks == 1; }));
    EXPECT_FALSE(button.IsPressed());
    EXPECT_TRUE(PumpUntil([&] { return Shown() == 0; })) << Shown();
}
