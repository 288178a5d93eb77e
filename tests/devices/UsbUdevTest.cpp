#include "ConsoleModels.h"
#include "LibudevUsbRegistry.h"
#include "UsbProbe.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace loomwell;

namespace
{
class LibudevUnderUmockdev : public testing::Test
{
protected:
    void SetUp() override
    {
        if (std::getenv ("UMOCKDEV_DIR") == nullptr)
            GTEST_SKIP() << "run through umockdev-run with usb-consoles.umockdev";
    }

    LibudevUsbRegistry registry;
};
} // namespace

TEST_F (LibudevUnderUmockdev, ListsUsbDevicesButNotTheirInterfaces)
{
    const auto devices = registry.listDevices();
    ASSERT_TRUE (devices);
    ASSERT_EQ (devices->size(), 5u);

    const auto& vantor = (*devices)[1];
    EXPECT_EQ (vantor.idVendor, "3a7d");
    EXPECT_EQ (vantor.idProduct, "7403");
    EXPECT_EQ (vantor.serial, "VN-2411-0042");
    EXPECT_EQ (vantor.bcdDevice, "0123");
    EXPECT_EQ (vantor.product, "Mixora Vantor");
    EXPECT_FALSE ((*devices)[2].bcdDevice);
    EXPECT_FALSE ((*devices)[4].serial);
}

TEST_F (LibudevUnderUmockdev, ProbeFindsTheTwoConsoles)
{
    testing::internal::CaptureStderr();
    const auto records = probeUsbConsoles (registry);
    EXPECT_EQ (testing::internal::GetCapturedStderr(),
               "LMW:   USB device: serial=VN-2411-0042 pid=0x7403 fw=1.23\n"
               "LMW:   USB device: serial=TR-0007 pid=0x7301 fw=\n"
               "LMW: found 2 Vesko multitrack USB devices\n");

    ASSERT_EQ (records.size(), 2u);
    EXPECT_EQ (modelForProductId (records[0].productId).displayName, "Mixora Vantor");
    EXPECT_EQ (modelForProductId (records[1].productId).displayName, "Mixora Trel");
}

TEST_F (LibudevUnderUmockdev, IdentityByProductName)
{
    const auto vantor = lookupUsbIdentityByProductName (registry, usbProductKey (consoleKindVantor));
    ASSERT_TRUE (vantor);
    EXPECT_EQ (vantor->serial, "VN-2411-0042");
    EXPECT_EQ (vantor->firmware, "1.23");

    const auto trel = lookupUsbIdentityByProductName (registry, usbProductKey (consoleKindTrel));
    ASSERT_TRUE (trel);
    EXPECT_EQ (trel->serial, "TR-0007");
    EXPECT_EQ (trel->firmware, "");
}
