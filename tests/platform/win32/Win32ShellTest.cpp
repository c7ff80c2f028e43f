// The shell layer. Only the failure report is tested: opening a real address
// would start a browser and reach out to the network.

#include <gtest/gtest.h>

#include "platform/Shell.h"

namespace {

TEST(Win32Shell, TargetThatDoesNotExistIsReportedAsFailure)
{
    EXPECT_FALSE(ShellOpen("C:\\no\\such\\folder\\card image.tvk"));
    EXPECT_FALSE(ShellOpen("Z:\\no-such-dir-for-torvik\\missing.exe"));
}

}  // namespace
