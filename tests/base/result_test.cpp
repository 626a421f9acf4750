#include "utils/Result.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

using Utils::Reason;
using Utils::Result;

// Reason names travel in logs and reports: every reason has its own.
TEST(Reason, EveryReasonHasItsOwnName) {
    std::set<std::string> names;
    for (int i = static_cast<int>(Reason::None); i <= static_cast<int>(Reason::ClientNotStarted); ++i) {
        const std::string name = Utils::ReasonName(static_cast<Reason>(i));
        EXPECT_NE("unknown", name) << i;
        EXPECT_EQ(std::string::npos, name.find_first_not_of("abcdefghijklmnopqrstuvwxyz-")) << name;
        EXPECT_TRUE(names.insert(name).second) << name;
    }
}

TEST(Reason, SystemErrorsOfWrites) {
    const struct {
        unsigned long error;
        Reason reason;
    } cases[] = {
        {ERROR_DISK_FULL, Reason::DiskFull},      {ERROR_HANDLE_DISK_FULL, Reason::DiskFull},
        {ERROR_ACCESS_DENIED, Reason::AccessDenied}, {ERROR_SHARING_VIOLATION, Reason::AccessDenied},
        {ERROR_PATH_NOT_FOUND, Reason::WriteFailed},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reason, Utils::ReasonForSystemError(c.error)) << c.error;
    EXPECT_EQ(Reason::DecoderFailed, Utils::ReasonForSystemError(ERROR_FILE_NOT_FOUND, Reason::DecoderFailed));
}

// The failure part of a log record: the system's text for a system code, the
// bare number for an HTTP status.
TEST(Result, DescribedWithReasonCodeAndText) {
    EXPECT_TRUE(Result::Success());
    const Result full = Result::Failure(Reason::DiskFull, ERROR_DISK_FULL, "Bin\\big.dat");
    EXPECT_FALSE(full);
    const std::string text = Utils::DescribeFailure(full);
    EXPECT_EQ(0u, text.find("reason=disk-full error=112 (")) << text;
    EXPECT_NE('.', text[text.find(')') - 1]) << text;
    EXPECT_NE(std::string::npos, text.find(") Bin\\big.dat")) << text;
    EXPECT_EQ("reason=http-status error=404 big.dat",
              Utils::DescribeFailure(Result::Failure(Reason::HttpStatus, 404, "big.dat")));
}
