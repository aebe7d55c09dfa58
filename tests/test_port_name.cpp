#include <gtest/gtest.h>

#include <cstdlib>

#include "links/PortName.h"

using kelvo::ResolvePortName;

TEST(PortName, ComAndLptMapToLinuxDevicesInAnyCase) {
    ::unsetenv("KELVOTOOL_COM1");
    ::unsetenv("KELVOTOOL_LPT2");
    EXPECT_EQ(ResolvePortName("COM1").path, "/dev/ttyS0");
    EXPECT_EQ(ResolvePortName("com10").path, "/dev/ttyS9");
    EXPECT_EQ(ResolvePortName("LPT2").path, "/dev/lp1");
    EXPECT_TRUE(ResolvePortName("COM3").isDevice);
}

TEST(PortName, EnvironmentOverrideWinsAndNormalisesTheNumber) {
    ::setenv("KELVOTOOL_COM3", "/tmp/pty-for-com3", 1);
    EXPECT_EQ(ResolvePortName("COM3").path, "/tmp/pty-for-com3");
    EXPECT_EQ(ResolvePortName("com03").path, "/tmp/pty-for-com3");
    EXPECT_TRUE(ResolvePortName("COM3").isDevice);
    ::setenv("KELVOTOOL_COM3", "", 1);  // empty means no override
    EXPECT_EQ(ResolvePortName("COM3").path, "/dev/ttyS2");
    ::unsetenv("KELVOTOOL_COM3");
}

TEST(PortName, OtherNamesArePathsAsTyped) {
    EXPECT_EQ(ResolvePortName("COM0").path, "COM0");
    EXPECT_FALSE(ResolvePortName("COM0").isDevice);
    EXPECT_EQ(ResolvePortName("COMX").path, "COMX");
    EXPECT_EQ(ResolvePortName("COM").path, "COM");
    EXPECT_EQ(ResolvePortName("").path, "");
    EXPECT_EQ(ResolvePortName("/tmp/out.bin").path, "/tmp/out.bin");
    EXPECT_FALSE(ResolvePortName("/tmp/out.bin").isDevice);
    EXPECT_TRUE(ResolvePortName("/dev/ttyUSB0").isDevice);
    EXPECT_EQ(ResolvePortName("COM99999999999").path, "COM99999999999");
    // Written as port names, numbered as no port is: what a caller that wants a port refuses.
    EXPECT_EQ(kelvo::PortNumber("COM0"), 0u);
    EXPECT_EQ(kelvo::PortNumber("COM99999999999"), 0u);
    EXPECT_EQ(kelvo::PortNumber("lpt2"), 2u);
    EXPECT_EQ(kelvo::PortNumber("COMX"), std::nullopt);
}
