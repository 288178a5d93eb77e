// The USB probe over up to 16 devices whose sysfs attributes are arbitrary
// bytes or absent; the input's format is in README.md. One attached console:
//   3a7d\|7401\|VT0001\|0102\|Mixora Vantor Main\|

#include "FuzzChecks.h"
#include "ListedUsbRegistry.h"

#include "ConsoleModels.h"
#include "UsbProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

using namespace loomwell;
using loomwell::fuzz::check;

namespace
{

std::optional<std::string> attribute (fuzz::InputReader& input)
{
    auto text = input.text();
    return text == std::string (1, '\0') ? std::nullopt : std::optional (std::move (text));
}

std::string_view trimmedSysfsText (std::string_view text)
{
    const auto first = text.find_first_not_of (" \t\n\r");
    return first == std::string_view::npos ? std::string_view() : text.substr (first, text.find_last_not_of (" \t\n\r") - first + 1);
}

// The number a sysfs attribute holds when it is plain hexadecimal that
// fits four digits after leading zeros, which covers every real idVendor,
// idProduct and bcdDevice; -1 for anything else, where the probe's answer
// is only checked for its shape.
long plainHexValue (const std::optional<std::string>& text)
{
    const auto digits = text ? trimmedSysfsText (*text) : std::string_view();
    if (digits.empty() || digits.find_first_not_of ("0123456789abcdefABCDEF") != std::string_view::npos)
        return -1;
    const auto significant = digits.substr (std::min (digits.find_first_not_of ('0'), digits.size()));
    if (significant.size() > 4)
        return -1;
    return std::strtol (std::string (digits).c_str(), nullptr, 16);
}

// Firmware is "major.minor" from the BCD release number, or empty.
void checkFirmwareShape (const std::string& firmware)
{
    check (firmware.size() <= 8, "firmware text too long");
    if (firmware.empty())
        return;
    const auto dot = firmware.find ('.');
    check (dot != std::string::npos && dot > 0 && dot <= 3 && firmware.size() - dot - 1 >= 2
               && firmware.find_first_not_of ("0123456789", dot + 1) == std::string::npos
               && firmware.find_first_not_of ("0123456789") == dot,
           "firmware is not major.minor digits");
}

// Whether the firmware text is the one of this bcdDevice, where the
// attribute is plain enough to tell.
bool firmwareFits (const std::string& firmware, const std::optional<std::string>& bcdDevice)
{
    if (const auto bcd = plainHexValue (bcdDevice); bcd >= 0)
    {
        char expected[32];
        std::snprintf (expected, sizeof expected, "%ld.%ld%ld", (bcd >> 8) & 0xFF, (bcd >> 4) & 0xF, bcd & 0xF);
        return firmware == expected;
    }
    if (! bcdDevice || trimmedSysfsText (*bcdDevice).empty())
        return firmware.empty();
    return true;
}

// Shorter than the registry's buffer, UTF-8 without control characters.
bool isCleanSerial (const std::string& serial)
{
    return serial.size() < 128 && fuzz::isCleanUtf8 (serial);
}

// The probe logs a line per console; the fuzzer's own output stays readable.
struct QuietStderr
{
    QuietStderr() : saved (dup (STDERR_FILENO))
    {
        static const int devNull = open ("/dev/null", O_WRONLY | O_CLOEXEC);
        std::fflush (stderr);
        dup2 (devNull, STDERR_FILENO);
    }
    ~QuietStderr()
    {
        std::fflush (stderr);
        dup2 (saved, STDERR_FILENO);
        close (saved);
    }
    const int saved;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    fuzz::InputReader input (data, size);

    std::vector<UsbDeviceAttributes> devices;
    while (! input.empty() && devices.size() < 16)
    {
        auto& device = devices.emplace_back();
        for (const auto attributeOf : { &UsbDeviceAttributes::idVendor, &UsbDeviceAttributes::idProduct, &UsbDeviceAttributes::serial,
                                   &UsbDeviceAttributes::bcdDevice, &UsbDeviceAttributes::product })
            device.*attributeOf = attribute (input);
    }

    testing::ListedUsbRegistry registry (devices);

    std::vector<UsbConsoleRecord> records;
    std::optional<UsbIdentity> trel, vantor;
    {
        const QuietStderr quiet;
        records = probeUsbConsoles (registry);
        trel = lookupUsbIdentityByProductName (registry, usbProductKey (consoleKindTrel));
        vantor = lookupUsbIdentityByProductName (registry, usbProductKey (consoleKindVantor));
    }

    // Every record is one of the listed consoles, in the registry's order,
    // with its serial as the registry gave it.
    size_t next = 0;
    for (const auto& record : records)
    {
        check (! record.serial.empty() && isCleanSerial (record.serial), "a record's serial is empty, too long or not clean UTF-8");
        check (isConsoleProductId (record.productId), "a record for a product that is no console");
        checkFirmwareShape (record.firmware);

        // Serials may repeat: the record's device is the next one with its
        // serial that the plainly written attributes do not rule out.
        const auto couldBeRecorded = [&record] (const UsbDeviceAttributes& device)
        {
            const auto vendor = plainHexValue (device.idVendor);
            const auto product = plainHexValue (device.idProduct);
            return device.serial == record.serial && (vendor < 0 || vendor == consoleVendorId)
                && (product < 0 || product == record.productId) && firmwareFits (record.firmware, device.bcdDevice);
        };
        while (next < devices.size() && ! couldBeRecorded (devices[next]))
            ++next;
        check (next < devices.size(), "a record that matches no listed console (ids, serial, firmware), or out of order");
        ++next;
    }

    // A plainly written console with a clean serial is never missed.
    size_t plainConsoles = 0;
    for (const auto& device : devices)
        if (plainHexValue (device.idVendor) == consoleVendorId
            && isConsoleProductId (static_cast<uint16_t> (std::max (plainHexValue (device.idProduct), 0L)))
            && device.serial && ! device.serial->empty() && isCleanSerial (*device.serial))
            ++plainConsoles;
    check (records.size() >= plainConsoles, "a plainly written console was not found");

    for (const auto* identity : { &trel, &vantor })
    {
        check (identity->has_value(), "the registry could be asked but the lookup says it could not");
        check (isCleanSerial ((*identity)->serial), "an identity's serial is too long or not clean UTF-8");
        checkFirmwareShape ((*identity)->firmware);
    }
    return 0;
}
