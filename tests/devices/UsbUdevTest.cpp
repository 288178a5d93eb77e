// The libudev registry and the console probe on the mocked sysfs of
// usb-consoles.umockdev: in udev's order, another vendor's device with a
// console's product id, a Vantor, an interface of it with a console's
// attributes, a Trel without bcdDevice, another product of the console maker
// and a Vantor without serial. Skipped outside umockdev-run, so that it never
// reads the real bus.

#include "ConsoleModels.h"
#include "LibudevUsbRegistry.h"
#include "UsbProbe.h"

#include <gtest/gtest.h>

using namespace loomwell;

TEST (LibudevUnderUmockdev, ListsDevicesButNotInterfacesAndFindsTheTwoConsolesThatCanBeKeyed)
{
    if (std::getenv ("UMOCKDEV_DIR") == nullptr)
        GTEST_SKIP() << "run through umockdev-run with usb-consoles.umockdev";
    LibudevUsbRegistry registry;
    const auto devices = registry.listDevices();
    ASSERT_TRUE (devices && devices->size() == 5u);
    EXPECT_EQ ((*devices)[1].bcdDevice, "0123");
    EXPECT_FALSE ((*devices)[2].bcdDevice);
    EXPECT_FALSE ((*devices)[4].serial);
    testing::internal::CaptureStderr();
    const auto records = probeUsbConsoles (registry);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ (records.size(), 2u);
    EXPECT_EQ (records[0].serial, "VN-2411-0042");
    EXPECT_EQ (records[0].firmware, "1.23");
    EXPECT_EQ (modelForProductId (records[1].productId).displayName, "Mixora Trel");
    EXPECT_EQ (records[1].firmware, "");
    EXPECT_EQ (lookupUsbIdentityByProductName (registry, usbProductKey (consoleKindTrel)).value_or (UsbIdentity {}).serial, "TR-0007");
}
