#include "UsbProbe.h"

#include "ConsoleModels.h"

#include <cstdio>
#include <string_view>
#include <utility>

namespace loomwell
{

namespace
{
// The registry's text conversions write into fixed buffers of these sizes;
// text that does not fit with its terminator fails the conversion.
constexpr size_t serialBufferSize = 128;
constexpr size_t productNameBufferSize = 256;

bool isSysfsSpace (char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// sysfs prints USB numbers as bare hexadecimal ("3a7d\n"). Anything else,
// or a value beyond a plain int, counts as an absent property.
std::optional<int32_t> parseHexNumber (const std::optional<std::string>& text)
{
    if (! text)
        return std::nullopt;

    std::string_view digits = *text;
    while (! digits.empty() && isSysfsSpace (digits.front()))
        digits.remove_prefix (1);
    while (! digits.empty() && isSysfsSpace (digits.back()))
        digits.remove_suffix (1);
    if (digits.empty())
        return std::nullopt;

    int64_t value = 0;
    for (char c : digits)
    {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;

        value = value * 16 + digit;
        if (value > INT32_MAX)
            return std::nullopt;
    }
    return static_cast<int32_t> (value);
}

// Well-formed UTF-8 without C0/C1 control characters or DEL.
bool isPrintableUtf8 (std::string_view text)
{
    static constexpr uint32_t shortestForLength[] = { 0, 0, 0x80, 0x800, 0x10000 };

    for (size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<unsigned char> (text[i]);
        uint32_t codePoint = lead;
        size_t length = 1;
        if (lead >= 0x80)
        {
            if ((lead & 0xE0) == 0xC0)
                length = 2;
            else if ((lead & 0xF0) == 0xE0)
                length = 3;
            else if ((lead & 0xF8) == 0xF0)
                length = 4;
            else
                return false;
            codePoint = lead & (0x7Fu >> length);

            if (i + length > text.size())
                return false;
            for (size_t k = 1; k < length; ++k)
            {
                const auto next = static_cast<unsigned char> (text[i + k]);
                if ((next & 0xC0) != 0x80)
                    return false;
                codePoint = (codePoint << 6) | (next & 0x3Fu);
            }
            if (codePoint < shortestForLength[length] || codePoint > 0x10FFFF
                || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
                return false;
        }
        if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F))
            return false;
        i += length;
    }
    return true;
}

// The serial is printed in log lines and is the key under which consoles
// and their slot assignments are kept, so doubtful text is refused rather
// than repaired: "" (which drops the device) when it is absent, too long
// for the buffer, not UTF-8 or holds control characters.
std::string usableSerial (const std::optional<std::string>& text)
{
    if (! text || text->size() >= serialBufferSize || ! isPrintableUtf8 (*text))
        return {};
    return *text;
}

std::string formatFirmware (const std::optional<std::string>& bcdDevice)
{
    const auto bcd = parseHexNumber (bcdDevice);
    if (! bcd)
        return {};

    // Each field prints in decimal, so a nibble above 9 takes two digits.
    char text[32];
    std::snprintf (text, sizeof text, "%d.%d%d", (*bcd >> 8) & 0xFF, (*bcd >> 4) & 0xF, *bcd & 0xF);
    return text;
}

bool isConsoleMakersDevice (const UsbDeviceAttributes& device)
{
    return parseHexNumber (device.idVendor).value_or (0) == consoleVendorId;
}
} // namespace

std::vector<UsbConsoleRecord> probeUsbConsoles (UsbRegistry& registry)
{
    std::vector<UsbConsoleRecord> records;

    if (const auto devices = registry.listDevices())
    {
        for (const auto& device : *devices)
        {
            if (! isConsoleMakersDevice (device))
                continue;

            const auto productId = static_cast<uint16_t> (parseHexNumber (device.idProduct).value_or (0) & 0xFFFF);
            if (! isConsoleProductId (productId))
                continue;

            auto serial = usableSerial (device.serial);
            if (serial.empty())
                continue;

            const auto& record = records.emplace_back (
                UsbConsoleRecord { std::move (serial), productId, formatFirmware (device.bcdDevice) });
            std::fprintf (stderr, "LMW:   USB device: serial=%s pid=0x%04X fw=%s\n",
                          record.serial.c_str(), static_cast<unsigned> (record.productId), record.firmware.c_str());
        }
    }

    std::fprintf (stderr, "LMW: found %d Vesko multitrack USB devices\n", static_cast<int> (records.size()));
    return records;
}

std::optional<UsbIdentity> lookupUsbIdentityByProductName (UsbRegistry& registry, const std::string& key)
{
    const auto devices = registry.listDevices();
    if (! devices)
        return std::nullopt;

    for (const auto& device : *devices)
    {
        if (! isConsoleMakersDevice (device) || ! device.product
            || device.product->size() >= productNameBufferSize
            || device.product->find (key) == std::string::npos)
            continue;

        return UsbIdentity { usableSerial (device.serial), formatFirmware (device.bcdDevice) };
    }
    return UsbIdentity {};
}

} // namespace loomwell
