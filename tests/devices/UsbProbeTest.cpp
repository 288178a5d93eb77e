#include "ConsoleModels.h"
#include "UsbProbe.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace loomwell;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{
class FakeUsbRegistry final : public UsbRegistry
{
public:
    // std::nullopt: the registry cannot be asked.
    std::optional<std::vector<UsbDeviceAttributes>> devices = std::vector<UsbDeviceAttributes> {};

    std::optional<std::vector<UsbDeviceAttributes>> listDevices() override { return devices; }
};

using Text = std::optional<std::string>;

// A device of the console maker, attributes as sysfs prints them.
UsbDeviceAttributes makersDevice (Text productId, Text serial, Text bcdDevice, Text product = std::nullopt)
{
    return { "3a7d\n", std::move (productId), std::move (serial), std::move (bcdDevice), std::move (product) };
}

struct ProbeResult
{
    std::vector<UsbConsoleRecord> records;
    std::string log;
};

ProbeResult probe (std::vector<UsbDeviceAttributes> devices)
{
    FakeUsbRegistry registry;
    registry.devices = std::move (devices);
    CaptureStderr();
    auto records = probeUsbConsoles (registry);
    return { std::move (records), GetCapturedStderr() };
}

std::string firmwareFor (const std::string& bcdDevice)
{
    const auto result = probe ({ makersDevice ("7401", "S", bcdDevice) });
    return result.records.size() == 1 ? result.records[0].firmware : "<dropped>";
}

// The serial the probe keeps for a Trel with this serial text; "" when dropped.
std::string keptSerial (Text serial)
{
    const auto result = probe ({ makersDevice ("7301", std::move (serial), "0100") });
    return result.records.empty() ? "" : result.records[0].serial;
}
} // namespace

TEST (UsbProbe, NothingAttachedOrRegistryFailureLogsOnlyTheCount)
{
    EXPECT_EQ (probe ({}).log, "LMW: found 0 Vesko multitrack USB devices\n");

    FakeUsbRegistry failing;
    failing.devices = std::nullopt;
    CaptureStderr();
    EXPECT_TRUE (probeUsbConsoles (failing).empty());
    EXPECT_EQ (GetCapturedStderr(), "LMW: found 0 Vesko multitrack USB devices\n");
}

TEST (UsbProbe, ListsConsolesInRegistryOrderAndSkipsTheRestSilently)
{
    const auto result = probe ({
        makersDevice ("7405", "VN-1", "0105"),
        { "7e57", "7401", "OTHER-VENDOR", "0100", "Mixora Vantor" },
        makersDevice ("7500", "MAKER-OTHER", "0100"),
        makersDevice ("7301", "TR-1", std::nullopt),
        makersDevice ("7302", std::nullopt, "0100"),
        makersDevice ("7303", "", "0100"),
        makersDevice ("7302", "VN-1", "1A0F"),
    });

    ASSERT_EQ (result.records.size(), 3u);
    EXPECT_EQ (result.records[0].serial, "VN-1");
    EXPECT_EQ (result.records[0].productId, 0x7405);
    EXPECT_EQ (result.records[0].firmware, "1.05");
    EXPECT_EQ (result.records[1].serial, "TR-1");
    EXPECT_EQ (result.records[1].firmware, "");
    // The same serial twice stays twice: the scan decides which one counts.
    EXPECT_EQ (result.records[2].serial, "VN-1");
    EXPECT_EQ (result.records[2].productId, 0x7302);
    EXPECT_EQ (result.log,
               "LMW:   USB device: serial=VN-1 pid=0x7405 fw=1.05\n"
               "LMW:   USB device: serial=TR-1 pid=0x7301 fw=\n"
               "LMW:   USB device: serial=VN-1 pid=0x7302 fw=26.015\n"
               "LMW: found 3 Vesko multitrack USB devices\n");
}

TEST (UsbProbe, FirmwarePrintsEachBcdFieldInDecimal)
{
    EXPECT_EQ (firmwareFor ("0105"), "1.05");
    EXPECT_EQ (firmwareFor ("0123"), "1.23");
    EXPECT_EQ (firmwareFor ("1A0F"), "26.015");
    EXPECT_EQ (firmwareFor ("1a0f\n"), "26.015");
    EXPECT_EQ (firmwareFor ("0000"), "0.00");
    EXPECT_EQ (firmwareFor ("ffff"), "255.1515");
    // Bits above 15 take no part.
    EXPECT_EQ (firmwareFor ("30105"), "1.05");
}

TEST (UsbProbe, NumbersThatAreNotSysfsHexCountAsMissing)
{
    // Not a number: vendor and product read as 0 (device skipped), firmware empty.
    for (const Text& vendor : { Text {}, Text { "" }, Text { "0x3a7d" }, Text { "3a7d h" }, Text { "-3a7d" },
                                Text { "13a7d" }, Text { "100000000003a7d" } })
        EXPECT_TRUE (probe ({ { vendor, "7401", "S", "0100", std::nullopt } }).records.empty()) << vendor.value_or ("<none>");

    for (const Text& product : { Text {}, Text { "7401 7402" }, Text { "7g01" }, Text { "\n" } })
        EXPECT_TRUE (probe ({ makersDevice (product, "S", "0100") }).records.empty()) << product.value_or ("<none>");

    for (const char* bcd : { "", "1.05", "0x0105", "01 05", "180000000" })
        EXPECT_EQ (firmwareFor (bcd), "") << bcd;

    // Surrounding white space is how sysfs ends its values.
    EXPECT_EQ (probe ({ { " 3A7D\n", "\t7401\r\n", "S", "0100", std::nullopt } }).records.size(), 1u);

    // Only the low 16 bits of the product id count.
    const auto wide = probe ({ makersDevice ("17401", "S", "0100") });
    ASSERT_EQ (wide.records.size(), 1u);
    EXPECT_EQ (wide.records[0].productId, 0x7401);
}

TEST (UsbProbe, SerialsThatCannotServeAsKeysDropTheDevice)
{
    EXPECT_EQ (keptSerial (std::string (127, 'x')), std::string (127, 'x'));
    EXPECT_EQ (keptSerial ("S/N \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\x9B"), "S/N \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\x9B");

    for (const Text& serial : { Text {}, Text { "" }, Text { std::string (128, 'x') },
                                Text { "AB\nCD" }, Text { "AB\tCD" }, Text { std::string ("AB\0CD", 5) },
                                Text { "AB\x7F" }, Text { "AB\xC2\x85" },       // DEL, C1 control
                                Text { "AB\xFF" }, Text { "AB\xC3" },           // not UTF-8, truncated
                                Text { "AB\xC0\xAF" }, Text { "AB\xED\xA0\x80" }, // overlong, surrogate
                                Text { "AB\xF4\x90\x80\x80" } })                // beyond U+10FFFF
    {
        const auto result = probe ({ makersDevice ("7301", serial, "0100") });
        EXPECT_TRUE (result.records.empty());
        EXPECT_EQ (result.log, "LMW: found 0 Vesko multitrack USB devices\n");
    }
}

TEST (ConsoleModels, ProductIdAloneChoosesTheModel)
{
    for (auto id : trelProductIds)
    {
        const auto model = modelForProductId (id);
        EXPECT_EQ (model.kind, 0);
        EXPECT_EQ (model.multitrackDeviceName, "Mixora Trel Main Multitrack");
        EXPECT_EQ (model.displayName, "Mixora Trel");
        EXPECT_EQ (model.channelCount, 10);
        EXPECT_EQ (usbProductKey (model.kind), "Mixora Trel");
    }
    for (auto id : vantorProductIds)
    {
        const auto model = modelForProductId (id);
        EXPECT_EQ (model.kind, 1);
        EXPECT_EQ (model.multitrackDeviceName, "Mixora Vantor Main Multitrack");
        EXPECT_EQ (model.displayName, "Mixora Vantor");
        EXPECT_EQ (model.channelCount, 10);
        EXPECT_EQ (usbProductKey (model.kind), "Mixora Vantor");
    }
    EXPECT_EQ (usbProductKey (7), "Mixora Vantor");

    // Every id is accepted exactly once: the two sets are distinct and the
    // probe lists each of them.
    std::vector<UsbDeviceAttributes> all;
    for (auto ids : { trelProductIds, vantorProductIds })
        for (auto id : ids)
        {
            char pid[8];
            std::snprintf (pid, sizeof pid, "%04x", id);
            all.push_back (makersDevice (pid, "S", "0100"));
        }
    EXPECT_EQ (probe (all).records.size(), 10u);
}

TEST (UsbIdentityLookup, FirstDeviceOfTheMakerWhoseProductNameHoldsTheKey)
{
    FakeUsbRegistry registry;
    registry.devices = std::vector<UsbDeviceAttributes> {
        { "7e57", "7301", "FOREIGN", "0100", "Mixora Trel" },
        makersDevice ("7401", "VN-1", "0105", "Mixora Vantor"),
        makersDevice ("7301", "TR-NONAME", "0100", std::nullopt),
        makersDevice ("7301", "TR-LONG", "0100", "Mixora Trel" + std::string (245, ' ')),
        makersDevice ("7301", "TR-LOWER", "0100", "mixora trel"),
        // Product ids take no part: another product of the maker matches too.
        makersDevice ("7500", std::string (128, 'x'), "1A0F", "Mixora Trel (rev 2)"),
        makersDevice ("7302", "TR-2", "0200", "Mixora Trel"),
    };

    CaptureStderr();
    const auto trel = lookupUsbIdentityByProductName (registry, "Mixora Trel");
    const auto vantor = lookupUsbIdentityByProductName (registry, "Mixora Vantor");
    const auto none = lookupUsbIdentityByProductName (registry, "Mixora Quill");
    EXPECT_EQ (GetCapturedStderr(), "");

    ASSERT_TRUE (trel && vantor && none);
    // The first match ends the walk even though its serial is unusable.
    EXPECT_EQ (trel->serial, "");
    EXPECT_EQ (trel->firmware, "26.015");
    EXPECT_EQ (vantor->serial, "VN-1");
    EXPECT_EQ (vantor->firmware, "1.05");
    EXPECT_EQ (none->serial, "");
    EXPECT_EQ (none->firmware, "");

    // A product name of 255 bytes still fits the buffer.
    registry.devices = std::vector<UsbDeviceAttributes> {
        makersDevice ("7301", "TR-LONG", std::nullopt, "Mixora Trel" + std::string (244, ' ')) };
    const auto longName = lookupUsbIdentityByProductName (registry, "Mixora Trel");
    ASSERT_TRUE (longName);
    EXPECT_EQ (longName->serial, "TR-LONG");
    EXPECT_EQ (longName->firmware, "");

    registry.devices = std::nullopt;
    EXPECT_FALSE (lookupUsbIdentityByProductName (registry, "Mixora Trel"));
}
