// The program's resources: artwork sizes and states, icon images, dialog
// template 129 and the version data.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <cstring>
#include <map>
#include <string>

#include "app/Window.h"
#include "app/skin/SkinButton.h"
#include "app/skin/SkinPicture.h"
#include "resources/resource.h"
#include "skin_test_util.h"

namespace {

const int kLanguageImages[] = {271, 273, 276, 275, 280, 274, 277, 279, 285,
                               272, 270, 278, 308, 303, 296, 295, 294, 315};

// The parts of an extended dialog template the tests look at.
struct TemplateInfo {
    DWORD style = 0;
    int cx = 0, cy = 0, points = 0;
    std::string face;
    std::map<int, DWORD> itemStyles;  // by control id
};

TemplateInfo ReadTemplate(int id) {
    TemplateInfo info;
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (!found) return info;
    const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    const BYTE* start = p;
    auto word = [&] { WORD v; memcpy(&v, p, 2); p += 2; return v; };
    auto dword = [&] { DWORD v; memcpy(&v, p, 4); p += 4; return v; };
    auto text = [&] {
        std::string out;
        WORD first;
        memcpy(&first, p, 2);
        if (first == 0xFFFF) { p += 4; return out; }  // an ordinal
        for (WORD c = word(); c; c = word()) out += static_cast<char>(c);
        return out;
    };
    if (word() != 1 || word() != 0xFFFF) return info;  // DLGTEMPLATEEX only
    dword();  // help id
    dword();  // extended style
    info.style = dword();
    int items = word();
    word();
    word();
    info.cx = static_cast<short>(word());
    info.cy = static_cast<short>(word());
    text();  // menu
    text();  // class
    text();  // caption
    if (info.style & DS_SETFONT) {
        info.points = word();
        word();
        p += 2;
        info.face = text();
    }
    for (int i = 0; i < items; ++i) {
        p = start + ((p - start + 3) & ~3);
        dword();
        dword();
        DWORD style = dword();
        p += 8;
        int control = static_cast<int>(dword());
        text();
        text();
        p += word();
        info.itemStyles[control] = style;
    }
    return info;
}

std::string ResourceSignature(int id) {
    HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "GIF");
    if (!info) return "";
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, info)));
    return std::string(bytes, 2);
}

} // namespace

TEST(Resources, LanguageButtonsAreThreeDistinctStatesOf140x23) {
    for (int id : kLanguageImages) {
        SCOPED_TRACE(id);
        bool bitmap = id == 285 || id == 308 || id == 303 || id == 315;
        EXPECT_EQ(ResourceSignature(id), bitmap ? "BM" : "GI");
        SkinPicture picture;
        ASSERT_TRUE(picture.Load(nullptr, id));
        SIZE size = picture.GetSize();
        EXPECT_EQ(size.cx, 140);
        EXPECT_EQ(size.cy, 69);
        picture.m_nFrameCount = 3;
        Capture normal = RenderFrame(picture, 140, 23, 0);
        Capture pressed = RenderFrame(picture, 140, 23, 1);
        Capture hover = RenderFrame(picture, 140, 23, 2);
        // The states must be told apart at a glance, not by a pixel or two.
        EXPECT_LT(Similarity(normal, pressed), 0.5);
        EXPECT_LT(Similarity(normal, hover), 0.5);
        EXPECT_LT(Similarity(pressed, hover), 0.5);
    }
}

TEST(Resources, BannersAre490x80AndDiffer) {
    SkinPicture first, second;
    ASSERT_TRUE(first.Load(nullptr, IDR_BANNER_CORVANTIS));
    ASSERT_TRUE(second.Load(nullptr, IDR_BANNER_TINDERMOOR));
    for (SkinPicture* picture : {&first, &second}) {
        EXPECT_EQ(picture->GetSize().cx, 490);
        EXPECT_EQ(picture->GetSize().cy, 80);
    }
    EXPECT_LT(Similarity(RenderFrame(first, 490, 80, 0), RenderFrame(second, 490, 80, 0)), 0.5);
}

TEST(Resources, IconImagesOneAndTwoAre32And16Pixels) {
    struct Case {
        int id;
        int size;
    } cases[] = {{IDI_IMAGE_LARGE, 32}, {IDI_IMAGE_SMALL, 16}, {IDI_IMAGE_EXTRA, 48}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(c.id), MAKEINTRESOURCEA(3));  // RT_ICON
        ASSERT_TRUE(info);
        auto* bits = static_cast<BYTE*>(LockResource(LoadResource(nullptr, info)));
        HICON icon = CreateIconFromResourceEx(bits, SizeofResource(nullptr, info), TRUE, 0x00030000, 0, 0,
                                              LR_DEFAULTCOLOR);
        ASSERT_TRUE(icon);
        ICONINFO iconInfo = {};
        ASSERT_TRUE(GetIconInfo(icon, &iconInfo));
        BITMAP bitmap = {};
        GetObjectA(iconInfo.hbmColor ? iconInfo.hbmColor : iconInfo.hbmMask, sizeof(bitmap), &bitmap);
        EXPECT_EQ(bitmap.bmWidth, c.size);
        if (iconInfo.hbmColor) DeleteObject(iconInfo.hbmColor);
        if (iconInfo.hbmMask) DeleteObject(iconInfo.hbmMask);
        DestroyIcon(icon);
    }
    EXPECT_TRUE(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_ORVANTA)));
}

TEST(Resources, InstallerTemplateHasItsControls) {
    DialogWindow dialog(IDD_ORVANTA_DIALOG);
    HWND hwnd = dialog.Create(nullptr);
    ASSERT_TRUE(hwnd);
    char text[64] = {};
    GetWindowTextA(hwnd, text, sizeof(text));
    EXPECT_STREQ(text, "Orvanta");
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_FALSE(IsWindowVisible(hwnd));

    RECT expected = {0, 0, 341, 239};
    MapDialogRect(hwnd, &expected);
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);

    struct Control {
        int id;
        const char* className;
        const char* text;
        RECT dlu;  // left, top, width, height
        bool visible;
    } controls[] = {
        {IDOK, "Button", "OK", {284, 7, 50, 14}, false},
        {IDCANCEL, "Button", "Cancel", {284, 24, 50, 14}, false},
        {ID_APP_ABOUT, "Button", "&About...", {323, 218, 11, 14}, false},
        {IDC_NUMBER_EDIT, "Edit", "", {55, 72, 57, 15}, false},
        {IDC_NEXT, "Button", "Next", {114, 72, 50, 14}, false},
        {-1, "Static", "...", {20, 76, 27, 9}, false},
        {IDC_STATUS_TEXT, "Static", "", {16, 182, 215, 8}, false},
        {IDC_FILE_PROGRESS, PROGRESS_CLASSA, "", {30, 218, 288, 14}, false},
        {IDC_OVERALL_PROGRESS, PROGRESS_CLASSA, "", {30, 195, 287, 14}, false},
        {IDC_EMPTY_AREA, "Static", "", {18, 14, 36, 27}, true},
    };
    for (const Control& c : controls) {
        SCOPED_TRACE(c.id);
        HWND control = GetDlgItem(hwnd, c.id);
        ASSERT_TRUE(control);
        char cls[64] = {};
        GetClassNameA(control, cls, sizeof(cls));
        EXPECT_EQ(lstrcmpiA(cls, c.className), 0) << cls;
        GetWindowTextA(control, text, sizeof(text));
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ((GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0, c.visible);
        RECT want = c.dlu;  // position and size are mapped separately
        MapDialogRect(hwnd, &want);
        RECT got;
        GetWindowRect(control, &got);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&got), 2);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        EXPECT_EQ(got.right - got.left, want.right);
        EXPECT_EQ(got.bottom - got.top, want.bottom);
    }
    EXPECT_EQ(GetWindowLongA(GetDlgItem(hwnd, IDOK), GWL_STYLE) & 0xF, BS_DEFPUSHBUTTON);
    EXPECT_EQ(GetWindowLongA(GetDlgItem(hwnd, ID_APP_ABOUT), GWL_STYLE) & 0xF, BS_OWNERDRAW);
    EXPECT_EQ(GetWindowLongA(GetDlgItem(hwnd, IDC_EMPTY_AREA), GWL_STYLE) & SS_TYPEMASK, SS_OWNERDRAW);
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(hwnd, IDC_NUMBER_EDIT), GWL_STYLE) & ES_AUTOHSCROLL);
    // The created progress bars turn their border into an edge: read the
    // template itself for that.
    TemplateInfo info = ReadTemplate(IDD_ORVANTA_DIALOG);
    EXPECT_EQ(info.face, "MS Sans Serif");
    EXPECT_EQ(info.points, 8);
    EXPECT_EQ(info.cx, 341);
    EXPECT_EQ(info.cy, 239);
    EXPECT_FALSE(info.style & WS_VISIBLE);
    EXPECT_EQ(info.itemStyles.size(), 11u);
    for (int id : {IDC_FILE_PROGRESS, IDC_OVERALL_PROGRESS, IDC_NUMBER_EDIT}) {
        ASSERT_TRUE(info.itemStyles.count(id)) << id;
        EXPECT_TRUE(info.itemStyles[id] & WS_BORDER) << id;
    }

    // The background picture shows bitmap 256 (10 x 10) and stretches it.
    HWND background = GetDlgItem(hwnd, IDC_BACKGROUND);
    ASSERT_TRUE(background);
    EXPECT_EQ(GetWindowLongA(background, GWL_STYLE) & SS_TYPEMASK, SS_BITMAP);
    EXPECT_TRUE(GetWindowLongA(background, GWL_STYLE) & SS_REALSIZECONTROL);
    HBITMAP shown = reinterpret_cast<HBITMAP>(SendMessageA(background, STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_TRUE(shown);
    BITMAP bitmap = {};
    GetObjectA(shown, sizeof(bitmap), &bitmap);
    EXPECT_EQ(bitmap.bmWidth, 10);
    EXPECT_EQ(bitmap.bmHeight, 10);
    dialog.EndDialog(0);
}

TEST(Resources, AboutBoxAndVersion) {
    DialogWindow about(IDD_ABOUTBOX);
    HWND hwnd = about.Create(nullptr);
    ASSERT_TRUE(hwnd);
    char text[128] = {};
    GetDlgItemTextA(hwnd, IDC_ABOUT_VERSION, text, sizeof(text));
    EXPECT_STREQ(text, "Version " ORVANTA_VERSION_TEXT);
    EXPECT_TRUE(GetDlgItem(hwnd, IDOK));
    about.EndDialog(0);

    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, &data[0]));
    char* product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(&data[0], "\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&product), &length));
    EXPECT_STREQ(product, "Orvanta");
}
