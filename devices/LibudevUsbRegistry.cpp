#include "LibudevUsbRegistry.h"

#include <libudev.h>

#include <cstring>
#include <memory>

namespace loomwell
{

namespace
{
struct UdevUnref
{
    void operator() (udev* context) const { udev_unref (context); }
    void operator() (udev_enumerate* enumerate) const { udev_enumerate_unref (enumerate); }
    void operator() (udev_device* device) const { udev_device_unref (device); }
};

template <typename T>
using UdevPtr = std::unique_ptr<T, UdevUnref>;

std::optional<std::string> sysattr (udev_device* device, const char* name)
{
    if (const char* value = udev_device_get_sysattr_value (device, name))
        return std::string (value);
    return std::nullopt;
}
} // namespace

std::optional<std::vector<UsbDeviceAttributes>> LibudevUsbRegistry::listDevices()
{
    const UdevPtr<udev> context (udev_new());
    if (context == nullptr)
        return std::nullopt;

    const UdevPtr<udev_enumerate> enumerate (udev_enumerate_new (context.get()));
    if (enumerate == nullptr
        || udev_enumerate_add_match_subsystem (enumerate.get(), "usb") < 0
        || udev_enumerate_add_match_property (enumerate.get(), "DEVTYPE", "usb_device") < 0
        || udev_enumerate_scan_devices (enumerate.get()) < 0)
        return std::nullopt;

    std::vector<UsbDeviceAttributes> devices;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach (entry, udev_enumerate_get_list_entry (enumerate.get()))
    {
        // A device unplugged since the scan has no syspath left to open.
        const UdevPtr<udev_device> device (
            udev_device_new_from_syspath (context.get(), udev_list_entry_get_name (entry)));
        if (device == nullptr)
            continue;

        const char* devtype = udev_device_get_devtype (device.get());
        if (devtype == nullptr || std::strcmp (devtype, "usb_device") != 0)
            continue;

        devices.push_back ({ sysattr (device.get(), "idVendor"),
                             sysattr (device.get(), "idProduct"),
                             sysattr (device.get(), "serial"),
                             sysattr (device.get(), "bcdDevice"),
                             sysattr (device.get(), "product") });
    }
    return devices;
}

} // namespace loomwell
