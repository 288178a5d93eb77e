#pragma once

#include "PipeWireConnection.h"

#include <functional>
#include <memory>

namespace loomwell
{

// Watches the sound server's list of audio devices: sinks, sources and
// duplex nodes, and the device objects behind them (a sound card, a USB
// interface). It only tells; whoever installs it decides what to run.
class DeviceListListener final : private PipeWireConnection::Listener
{
public:
    static constexpr uint32_t watchedChanges = PipeWireConnection::sinksChanged | PipeWireConnection::sourcesChanged
                                             | PipeWireConnection::duplexChanged | PipeWireConnection::audioDevicesChanged;

    // Main thread. Connects to the sound server and registers; when the
    // server does not answer yet, it is waited for (see keepReconnecting).
    // nullptr only when PipeWire cannot be used at all in this process. onChange runs on the message thread, once for each
    // burst of changes the connection delivers together.
    static std::unique_ptr<DeviceListListener> install (PipeWireConnection&, std::function<void()> onChange);

    ~DeviceListListener() override;

    DeviceListListener (const DeviceListListener&) = delete;
    DeviceListListener& operator= (const DeviceListListener&) = delete;

private:
    DeviceListListener (PipeWireConnection&, std::function<void()> onChange);
    void pipeWireNodesChanged (uint32_t changeBits) override;

    PipeWireConnection& connection;
    std::function<void()> onChange;
};

} // namespace loomwell
