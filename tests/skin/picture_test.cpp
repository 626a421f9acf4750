// SkinPicture: loading, pixel size and drawing one band of a strip.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/skin/SkinPicture.h"
#include "resources/resource.h"
#include "skin_test_util.h"

namespace {

const uint32_t kRed = 0xd02020, kGreen = 0x20b040, kBlue = 0x2040d0;

// A 24-bit Windows bitmap file, width x (3 * band), with three solid bands:
// red on top, green in the middle, blue at the bottom.
std::vector<uint8_t> ThreeBandBitmap(int width, int band) {
    int height = 3 * band;
    int stride = (width * 3 + 3) & ~3;
    std::vector<uint8_t> file(54 + static_cast<size_t>(stride) * height, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));  // bottom-up rows
    file[26] = 1;
    file[28] = 24;
    put32(34, static_cast<uint32_t>(stride * height));
    for (int row = 0; row < height; ++row) {
        int fromTop = height - 1 - row;
        uint32_t colour = fromTop < band ? kRed : fromTop < 2 * band ? kGreen : kBlue;
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &file[54 + static_cast<size_t>(row) * stride + x * 3];
            p[0] = colour & 0xff;
            p[1] = (colour >> 8) & 0xff;
            p[2] = (colour >> 16) & 0xff;
        }
    }
    return file;
}

} // namespace

TEST(SkinPicture, DrawsTheRequestedBandCountedFromTheTop) {
    std::vector<uint8_t> file = ThreeBandBitmap(30, 10);
    SkinPicture picture;
    ASSERT_TRUE(picture.LoadFromMemory(file.data(), file.size()));
    picture.m_nFrameCount = 3;
    struct Case {
        int frame;
        uint32_t colour;
    } cases[] = {{0, kRed}, {1, kGreen}, {2, kBlue}, {-1, kRed}, {3, kBlue}, {7, kBlue}};
    for (const Case& c : cases) {
        Capture drawn = RenderFrame(picture, 30, 10, c.frame);
        // Away from the band edges, where scaling may blend a row.
        for (int y = 2; y <= 7; ++y)
            EXPECT_EQ(drawn.At(15, y), c.colour) << "frame " << c.frame << " row " << y;
    }
}

TEST(SkinPicture, OneFrameShowsTheWholePictureAndAnEmptyRectGetsItsSize) {
    std::vector<uint8_t> file = ThreeBandBitmap(30, 10);
    SkinPicture picture;
    ASSERT_TRUE(picture.LoadFromMemory(file.data(), file.size()));
    SIZE size = picture.GetSize();
    EXPECT_EQ(size.cx, 30);
    EXPECT_EQ(size.cy, 30);

    Capture stretched = RenderFrame(picture, 40, 40, 0);  // whole picture, stretched
    EXPECT_EQ(stretched.At(20, 5), kRed);
    EXPECT_EQ(stretched.At(20, 20), kGreen);
    EXPECT_EQ(stretched.At(20, 35), kBlue);

    // An empty rectangle at (4, 6) is drawn at the picture's own size.
    RECT empty = {4, 6, 4, 6};
    Capture drawn = RenderFrame(picture, 50, 50, 0, &empty, WHITE_BRUSH);
    EXPECT_EQ(drawn.At(3, 10), 0xffffffu);   // left of the picture
    EXPECT_EQ(drawn.At(4, 6), kRed);         // its top-left pixel
    EXPECT_EQ(drawn.At(33, 35), kBlue);      // its bottom-right pixel
    EXPECT_EQ(drawn.At(34, 35), 0xffffffu);  // right of it
    EXPECT_EQ(drawn.At(20, 36), 0xffffffu);  // below it
}

TEST(SkinPicture, MissingOrBrokenDataLeavesItEmpty) {
    SkinPicture picture;
    EXPECT_FALSE(picture.Load(nullptr, 4242));
    EXPECT_TRUE(picture.IsEmpty());
    EXPECT_EQ(picture.GetSize().cx, 0);
    EXPECT_EQ(picture.GetSize().cy, 0);
    const char garbage[] = "this is neither a GIF nor a bitmap";
    EXPECT_FALSE(picture.LoadFromMemory(garbage, sizeof(garbage)));
    EXPECT_TRUE(picture.IsEmpty());
    EXPECT_FALSE(picture.LoadFromMemory(nullptr, 10));

    // A good picture is dropped when a later load fails.
    std::vector<uint8_t> file = ThreeBandBitmap(6, 2);
    ASSERT_TRUE(picture.LoadFromMemory(file.data(), file.size()));
    EXPECT_FALSE(picture.Load(nullptr, 4242));
    EXPECT_TRUE(picture.IsEmpty());

    // A control given a missing picture is sized 0 x 0.
    HWND control = CreateWindowExA(0, "STATIC", "", WS_POPUP, 10, 10, 50, 50, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(control);
    EXPECT_FALSE(picture.LoadIntoControl(control, nullptr, 4242, 3));
    RECT rect;
    GetWindowRect(control, &rect);
    EXPECT_EQ(rect.right - rect.left, 0);
    EXPECT_EQ(rect.bottom - rect.top, 0);
    EXPECT_EQ(rect.left, 10);  // not moved
    DestroyWindow(control);
}

TEST(SkinPicture, HimetricConversionFollowsTheMappingMode) {
    Utils::MemoryDC memory(CreateCompatibleDC(nullptr));
    HDC dc = memory.Get();
    int dpiX = GetDeviceCaps(dc, LOGPIXELSX), dpiY = GetDeviceCaps(dc, LOGPIXELSY);
    SIZE pixels = HimetricToPixels(dc, SIZE{2540, 5080});  // one inch by two
    EXPECT_EQ(pixels.cx, dpiX);
    EXPECT_EQ(pixels.cy, 2 * dpiY);

    // In a metric mode the result is in that mode's logical units again.
    SetMapMode(dc, MM_LOMETRIC);  // 0.1 mm, y upwards
    SIZE metric = HimetricToPixels(dc, SIZE{2540, 5080});
    EXPECT_NEAR(metric.cx, 254, 3);
    EXPECT_NEAR(std::abs(metric.cy), 508, 3);
    EXPECT_EQ(GetMapMode(dc), MM_LOMETRIC);  // restored
}
