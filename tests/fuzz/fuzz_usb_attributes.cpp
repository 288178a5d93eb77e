// The USB probe over up to 16 devices whose sysfs attributes are arbitrary
// bytes or absent; the input's format is in README.md. One attached console:
//   3a7d\|7401\|VT0001\|0102\|Mixora Vantor Main\|

#include "FuzzChecks.h"
#include "ListedUsbRegistry.h"

#include "ConsoleModels.h"
#include "UsbProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

// The number a sysfs attribute holds when it is nothing but up to four hex
// digits (every real idVendor and idProduct); -1 for anything else.
long plainHexValue (const std::optional<std::string>& text)
{
    return text && ! text->empty() && text->size() <= 4 && text->find_first_not_of ("0123456789abcdefABCDEF") == std::string::npos
               ? std::strtol (text->c_str(), nullptr, 16)
               : -1;
}

// Firmware is "major.minor" from the BCD release number, or empty.
void checkFirmwareShape (const std::string& firmware)
{
    const auto dot = firmware.find ('.');
    check (firmware.empty()
               || (firmware.size() <= 8 && dot != std::string::npos && dot > 0 && dot <= 3 && firmware.size() - dot - 1 >= 2
                   && firmware.find_first_not_of ("0123456789", dot + 1) == std::string::npos && firmware.find_first_not_of ("0123456789") == dot),
           "firmware is not major.minor digits");
}

// Shorter than the registry's buffer, UTF-8 without control characters.
bool isCleanSerial (const std::string& serial)
{
    return serial.size() < 128 && fuzz::isCleanUtf8 (serial);
}

// The probe logs a line per console; the fuzzer's own output stays readable.
struct QuietStderr
{
    QuietStderr() : saved ((std::fflush (stderr), dup (STDERR_FILENO)))
    {
        static const int devNull = open ("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2 (devNull, STDERR_FILENO);
    }
    ~QuietStderr() { std::fflush (stderr), dup2 (saved, STDERR_FILENO), close (saved); }
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

    for (const auto& record : records)
    {
        check (! record.serial.empty() && isCleanSerial (record.serial), "a record's serial is empty, too long or not clean UTF-8");
        check (isConsoleProductId (record.productId), "a record for a product that is no console");
        checkFirmwareShape (record.firmware);
    }

    // A plainly written console with a clean serial is never missed.
    check (records.size() >= static_cast<size_t> (std::count_if (devices.begin(), devices.end(), [] (const UsbDeviceAttributes& d) {
               return plainHexValue (d.idVendor) == consoleVendorId && isConsoleProductId (static_cast<uint16_t> (std::max (plainHexValue (d.idProduct), 0L)))
                   && d.serial && ! d.serial->empty() && isCleanSerial (*d.serial);
           })),
           "a plainly written console was not found");

    for (const auto* identity : { &trel, &vantor })
    {
        check (identity->has_value(), "the registry could be asked but the lookup says it could not");
        check (isCleanSerial ((*identity)->serial), "an identity's serial is too long or not clean UTF-8");
        checkFirmwareShape ((*identity)->firmware);
    }
    return 0;
}
