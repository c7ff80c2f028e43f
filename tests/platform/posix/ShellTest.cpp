// Opening the link on a POSIX desktop: ShellOpen hands the address to
// xdg-open without waiting for it to finish.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/Shell.h"

#ifndef _WIN32
#ifndef __APPLE__

namespace {

class PathOverride {
public:
    explicit PathOverride(const std::string& path) : saved_(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        setenv("PATH", path.c_str(), 1);
    }
    ~PathOverride() { setenv("PATH", saved_.c_str(), 1); }

private:
    std::string saved_;
};

}  // namespace

TEST(ShellOpen, HandsTheAddressToXdgOpenWithoutWaiting)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() /
                         ("shell-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    const fs::path out = dir / "opened.txt";
    {
        // A stand-in opener that takes its time, then records its argument.
        std::ofstream script(dir / "xdg-open");
        script << "#!/bin/sh\nsleep 1\nprintf '%s' \"$1\" > '" << out.string() << ".part'\nmv '" << out.string()
               << ".part' '" << out.string() << "'\n";
    }
    fs::permissions(dir / "xdg-open", fs::perms::owner_all);

    {
        PathOverride path(dir.string() + ":/usr/bin:/bin");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(ShellOpen("https://example.com/a b?c=\"d\""));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << "must not wait";
    }
    for (int i = 0; i < 500 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(out);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, "https://example.com/a b?c=\"d\"") << "passed as one argument, unchanged";

    {
        // No opener on the path: reported as false, nothing else happens.
        PathOverride path((dir / "empty").string());
        EXPECT_FALSE(ShellOpen("https://example.com/"));
    }
    EXPECT_FALSE(ShellOpen(""));
    fs::remove_all(dir);
}

#endif
#endif
