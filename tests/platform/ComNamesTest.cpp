// The port numbers of the channel's Windows device names (".\COM3",
// "\\.\COM12").

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/ComNames.h"
#include "serial/Scom.h"

namespace {

TEST(ComNames, PortNumbersOfComNames)
{
    struct Case {
        const char* name;
        std::optional<uint32_t> port;
    };
    const Case cases[] = {
        {".\\COM9", 9u},
        {"\\\\.\\COM10", 10u},
        {".\\COM0", 0u},
        {"\\\\.\\COM4294967295", 4294967295u},
        {"\\\\.\\COM4294967296", std::nullopt},  // beyond 32 bits
        {".\\COM", std::nullopt},
        {".\\COM3a", std::nullopt},
        {".\\COM-3", std::nullopt},
        {"COM3", std::nullopt},
        {"\\\\?\\COM3", std::nullopt},
        {"/dev/ttyUSB0", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PortNumberFromDeviceName(c.name), c.port);
    }
}

TEST(ComNames, EveryNameTheChannelBuildsCarriesItsPort)
{
    for (uint32_t port : {1u, 9u, 10u, 16u, 255u, 4294967295u}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(PortNumberFromDeviceName(TSerialChannel::DeviceName(port)), port);
    }
}

}  // namespace
