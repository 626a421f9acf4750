// The language page as the player sees it: template 129 with the banner, the
// stretched background and the grid of language buttons. Saves a screenshot
// for people to look at, and checks what the background shows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Window.h"
#include "app/skin/SkinButton.h"
#include "resources/DialogLayout.h"
#include "resources/resource.h"
#include "skin_test_util.h"

namespace {

const int kLanguageImages[] = {271, 273, 276, 275, 280, 274, 277, 279, 285,
                               272, 270, 278, 308, 303, 296, 295, 294, 315};

class LanguagePage : public DialogWindow {
public:
    explicit LanguagePage(int bannerId) : DialogWindow(IDD_ORVANTA_DIALOG), m_bannerId(bannerId) {}
    SkinButton banner;
    std::vector<std::unique_ptr<SkinButton>> buttons;

protected:
    bool HandleMessage(UINT msg, WPARAM, LPARAM, LRESULT& result) override {
        if (msg != WM_INITDIALOG) return false;
        HWND hwnd = Handle();
        RECT client;
        GetClientRect(hwnd, &client);
        using namespace DialogLayout;
        int left = (client.right - kContentWidth) / 2;
        RECT none = {0, 0, 0, 0};
        banner.Create(hwnd, none);
        SetWindowLongPtrA(banner.Handle(), GWLP_USERDATA, kBannerUserData);
        banner.LoadPicture(nullptr, m_bannerId, 1);
        SetWindowPos(banner.Handle(), nullptr, left, kBannerTop, kContentWidth, kBannerHeight, SWP_NOZORDER);
        ShowWindow(banner.Handle(), SW_SHOW);
        HWND background = GetDlgItem(hwnd, IDC_BACKGROUND);
        SetWindowPos(background, HWND_BOTTOM, left, kBackdropTop, kContentWidth, kBackdropHeight, 0);
        ShowWindow(background, SW_SHOW);
        int cell = 0;
        for (int id : kLanguageImages) {
            auto button = std::make_unique<SkinButton>();
            button->Create(hwnd, none, 600 + cell);
            button->LoadPicture(nullptr, id, 3);
            SetWindowPos(button->Handle(), HWND_TOP, 15 + left + 156 * (cell % 3), 104 + 34 * (cell / 3), 0, 0,
                         SWP_NOSIZE);
            ShowWindow(button->Handle(), SW_SHOW);
            buttons.push_back(std::move(button));
            ++cell;
        }
        result = TRUE;
        return true;
    }

private:
    int m_bannerId;
};

void ShowPage(int bannerId, const char* name) {
    LanguagePage page(bannerId);
    ASSERT_TRUE(page.Create(nullptr)) << "error " << GetLastError();
    SetWindowPos(page.Handle(), HWND_TOP, 30, 30, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    // Hover one button so the picture shows a live state too.
    POINT center = CenterOf(page.buttons[4]->Handle());
    MoveMouseTo(center.x, center.y);
    EXPECT_TRUE(PumpUntil([&] { return page.buttons[4]->IsHover(); }));
    RedrawWindow(page.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpFor(100);

    Capture client = CaptureWindow(page.Handle());
    // Between the buttons the stretched page colour shows: a light paper tone,
    // not the dialog's face colour and not black.
    RECT cell;
    GetWindowRect(page.buttons[0]->Handle(), &cell);
    MapWindowPoints(nullptr, page.Handle(), reinterpret_cast<POINT*>(&cell), 2);
    for (POINT probe : {POINT{cell.right + 8, cell.top + 11}, POINT{cell.left + 70, cell.bottom + 5}}) {
        uint32_t pixel = client.At(probe.x, probe.y);
        int r = (pixel >> 16) & 0xff, g = (pixel >> 8) & 0xff, b = pixel & 0xff;
        EXPECT_GT(r, 200);
        EXPECT_GT(b, r);  // the page colour is a cool paper
        COLORREF face = GetSysColor(COLOR_BTNFACE);
        EXPECT_FALSE(r == GetRValue(face) && g == GetGValue(face) && b == GetBValue(face));
    }
    Capture whole = CaptureWindow(page.Handle(), true);
    std::string path = std::string(ORVANTA_SCREENS_DIR) + "\\" + name;
    EXPECT_TRUE(SaveBitmap(whole, path)) << path;
    MoveMouseTo(0, 0);
    PumpFor(50);
    page.EndDialog(0);
}

} // namespace

TEST(Screen, LanguagePageWithBannerAndGrid) {
    ShowPage(IDR_BANNER_TINDERMOOR, "language_page_tindermoor.bmp");
    ShowPage(IDR_BANNER_CORVANTIS, "language_page_corvantis.bmp");
}
