// Built once per Windows version that Wine is asked to report (see CMakeLists).
#include "utils/system/System.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

TEST(GetOSVersionText, NamesTheReportedVersion) {
    OSVERSIONINFOA info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&info));
#pragma GCC diagnostic pop
    // Guards against Wine not applying the requested version.
    ASSERT_EQ(info.dwMajorVersion, static_cast<DWORD>(EXPECTED_MAJOR));
    ASSERT_EQ(info.dwMinorVersion, static_cast<DWORD>(EXPECTED_MINOR));

    const std::string name = EXPECTED_NAME;
    std::printf("reported: %s\n", Utils::System::GetOSVersionText(true).c_str());
    EXPECT_EQ(Utils::System::GetOSVersionText(false), name);
    if (name == "???") {
        EXPECT_EQ(Utils::System::GetOSVersionText(true), "???");
    } else {
        std::string details =
            " SP='" + std::string(info.szCSDVersion) + "' Build=" + std::to_string(static_cast<int>(info.dwBuildNumber));
        EXPECT_EQ(Utils::System::GetOSVersionText(true), name + details);
    }
}
