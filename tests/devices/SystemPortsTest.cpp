// How the channel's Windows device names become devices on this machine,
// and the simulated readers behind "sim:" (one per port number).

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "devices/SystemPorts.h"
#include "serial/Scom.h"

namespace {

// Sets (or, with nullptr, removes) an environment variable for the lifetime
// of the object and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name.c_str())) saved_ = old;
        Set(value);
    }
    ~ScopedEnv() { Set(saved_ ? saved_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Set(const char* value)
    {
#ifdef _WIN32
        _putenv_s(name_.c_str(), value ? value : "");
#else
        if (value)
            setenv(name_.c_str(), value, 1);
        else
            unsetenv(name_.c_str());
#endif
    }
    std::string name_;
    std::optional<std::string> saved_;
};

std::string DefaultDevice(uint32_t port, const std::string& name)
{
#ifdef _WIN32
    (void)port;
    return name;
#else
    (void)name;
    return "/dev/ttyUSB" + std::to_string(port - 1);
#endif
}

TEST(SystemPorts, DefaultDevicesFollowThePortNumber)
{
    for (uint32_t port : {1u, 3u, 9u, 10u, 16u}) {
        const std::string name = TSerialChannel::DeviceName(port);
        SCOPED_TRACE(name);
        ScopedEnv unset("TORVIK_COM" + std::to_string(port), nullptr);
        EXPECT_EQ(ResolveDeviceName(name), DefaultDevice(port, name));
    }
}

TEST(SystemPorts, TheEnvironmentOverridesOnePort)
{
    ScopedEnv com3("TORVIK_COM3", "/dev/pts/7");
    ScopedEnv com13("TORVIK_COM13", "sim:card=none");
    ScopedEnv com4("TORVIK_COM4", nullptr);
    EXPECT_EQ(ResolveDeviceName(".\\COM3"), "/dev/pts/7");
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM13"), "sim:card=none");
    EXPECT_EQ(ResolveDeviceName(".\\COM4"), DefaultDevice(4, ".\\COM4"));
    {
        // An empty value sets nothing.
        ScopedEnv empty("TORVIK_COM4", "");
        EXPECT_EQ(ResolveDeviceName(".\\COM4"), DefaultDevice(4, ".\\COM4"));
    }
}

TEST(SystemPorts, PortZeroNamesNothingAndOtherNamesPassThrough)
{
    ScopedEnv com0("TORVIK_COM0", "/dev/pts/0");
    EXPECT_EQ(ResolveDeviceName(".\\COM0"), "");
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM0"), "");
    VirtualClock clock;
    SystemPorts ports(clock);
    EXPECT_EQ(ports.Open(".\\COM0"), nullptr);
    EXPECT_EQ(ports.OpenResolved("", 0), nullptr);

    for (const char* name : {"/dev/ttyACM0", "sim", "sim:card=none", "rfc2217://127.0.0.1:7000", "COM3"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ResolveDeviceName(name), name);
    }
}

TEST(SystemPorts, SimDevicesPersistPerPortAndRefuseBadOptions)
{
    VirtualClock clock;
    SystemPorts devices(clock);
    const auto OpenSimulatedDevice = [&devices](uint32_t port, const std::string& options) {
        return devices.OpenSimulated(port, options);
    };
    // Bad options open nothing.
    EXPECT_EQ(OpenSimulatedDevice(201, "card=sideways"), nullptr);

    auto first = OpenSimulatedDevice(202, "card=out");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(OpenSimulatedDevice(202, "card=out"), nullptr);  // exclusive
    uint32_t status = 0;
    ASSERT_TRUE(first->GetModemStatus(status));
    EXPECT_NE(status & kMsRlsdOn, 0u);
    first.reset();

    // The same reader comes back: the options of later opens do not matter.
    auto again = OpenSimulatedDevice(202, "card=in");
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(again->GetModemStatus(status));
    EXPECT_NE(status & kMsRlsdOn, 0u);

    // Another port number is another reader.
    auto other = OpenSimulatedDevice(203, "card=in");
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(other->GetModemStatus(status));
    EXPECT_EQ(status & kMsRlsdOn, 0u);
}

}  // namespace
