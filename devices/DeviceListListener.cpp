#include "DeviceListListener.h"

namespace loomwell
{

std::unique_ptr<DeviceListListener> DeviceListListener::install (std::function<void()> onChange)
{
    auto& connection = PipeWireConnection::instance();
    if (connection.threadLoop() == nullptr || ! connection.refresh())
        return nullptr;

    return std::unique_ptr<DeviceListListener> (new DeviceListListener (std::move (onChange)));
}

DeviceListListener::DeviceListListener (std::function<void()> callback)
    : onChange (std::move (callback))
{
    PipeWireConnection::instance().addListener (this);
}

DeviceListListener::~DeviceListListener()
{
    PipeWireConnection::instance().removeListener (this);
}

void DeviceListListener::pipeWireNodesChanged (uint32_t changeBits)
{
    if ((changeBits & watchedChanges) != 0 && onChange)
        onChange();
}

} // namespace loomwell
