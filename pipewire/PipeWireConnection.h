#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct spa_dict;

namespace loomwell
{

// A node of the PipeWire graph as its registry global describes it.
struct PipeWireNode
{
    uint32_t id = 0;
    uint64_t serial = 0;
    std::string mediaClass;
    std::string name;
    std::string description;
    std::string nick;
    uint32_t clientId = 0; // the client that made the node; 0 when unknown
    // Every property of the global, as another process announced it (for
    // stream nodes also those of the node's info, which carry the
    // application's own): any length, any bytes. Whoever shows or keys on one must clean it first.
    std::map<std::string, std::string> properties;
    // audio.channel of the node's input ports in port order: a sink's channels.
    std::vector<std::string> inputChannels;
    // audio.channel of the node's output ports in port order: what a source
    // or a playback stream delivers.
    std::vector<std::string> outputChannels;

    // A property, or "" when the node has none.
    std::string property (const std::string& key) const;

    // What a person is shown: the description, else the nick, else the name.
    std::string displayName() const;
};

// A port of a node, for linking ports one by one.
struct PipeWirePort
{
    uint32_t id = 0;
    uint32_t nodeId = 0;
    uint32_t index = 0;
    bool input = false;
    std::string channel;
    bool monitor = false;
};

// A connection to the PipeWire daemon: a thread loop running the context and
// core, and a cache of the registry's nodes and ports kept current by that
// loop. The program makes one in main and hands it to whoever needs the
// graph; it must outlive them all. Callbacks of the registry and of streams made on this
// core run on the loop thread with the loop lock held; every pw_* call from
// any other thread must hold Lock.
class PipeWireConnection
{
public:
    enum ChangeBits : uint32_t
    {
        sinksChanged = 1,
        sourcesChanged = 2,
        streamsChanged = 4,
        portsChanged = 8,
        clientsChanged = 16,
        // Device objects (media.class "Audio/Device": a sound card, a USB
        // audio interface) appeared or vanished.
        audioDevicesChanged = 32,
        duplexChanged = 64, // nodes of media.class "Audio/Duplex"
    };

    // Told on the message thread that nodes appeared or vanished; changes
    // that come in bursts are delivered together.
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void pipeWireNodesChanged (uint32_t changeBits) = 0;
    };

    // Message thread; connects on the first refresh.
    PipeWireConnection();
    ~PipeWireConnection();
    PipeWireConnection (const PipeWireConnection&) = delete;
    PipeWireConnection& operator= (const PipeWireConnection&) = delete;

    // Connects (again, after the daemon went away) and waits until the cache
    // holds everything the server had announced when this was called. Any
    // thread that does not hold the lock. False when no daemon answers.
    bool refresh();

    // Snapshots of the cache, in registry order.
    std::vector<PipeWireNode> nodes (const std::string& mediaClass) const;
    std::optional<PipeWireNode> node (uint32_t id) const;
    std::vector<PipeWireNode> allNodes() const;
    std::vector<PipeWirePort> ports (uint32_t nodeId) const;
    // The properties of a client global; empty when there is no such client.
    std::map<std::string, std::string> clientProperties (uint32_t clientId) const;

    // The graph's defaults as the daemon announces them.
    double defaultSampleRate() const;
    int defaultQuantum() const;

    class Lock
    {
    public:
        explicit Lock (const PipeWireConnection&);
        ~Lock();
        Lock (const Lock&) = delete;
        Lock& operator= (const Lock&) = delete;

    private:
        pw_thread_loop* const loop;
    };

    // Null until the first connection; the core is null while disconnected.
    pw_thread_loop* threadLoop() const noexcept { return loop; }
    pw_core* core() const noexcept { return pwCore; }

    // With the lock held: waits until ready() is true, the loop being
    // signalled by anything that may change it (signalWaiters on the loop
    // thread). False when the timeout passed first.
    bool waitLocked (const std::function<bool()>& ready, std::chrono::milliseconds timeout);
    void signalWaiters();

    // With the lock held: onRemoved runs on the loop thread, lock held, when
    // the global goes away or the connection to the daemon is lost.
    int watchRemoval (uint32_t globalId, std::function<void()> onRemoved);
    void unwatchRemoval (int watchId);

    // A stream made on the core keeps it alive: a lost connection is only
    // replaced once nothing uses the old core. Lock held.
    void retainCore() noexcept { ++coreUsers; }
    void releaseCore() noexcept { --coreUsers; }

    // Message thread.
    void addListener (Listener*);
    void removeListener (Listener*);

    // Message thread. While the daemon is gone (a restart, a crash, or not
    // started yet) and anyone listens, tries to connect again once a second
    // until it answers; the nodes it then announces reach the listeners as
    // changes. A broken connection is replaced only once no stream uses it.
    void keepReconnecting();
    static constexpr int reconnectIntervalMs = 1000;

private:
    bool connectLocked();
    void disconnectLocked();
    void postChange (uint32_t bits);
    void deliverChanges();

    struct Hooks;
    struct Bound;
    struct Reconnector;

    void coreInfo (const spa_dict* props);
    void coreDone (uint32_t id, int seq);
    void globalAdded (uint32_t id, const char* type, const spa_dict* props);
    void globalRemoved (uint32_t id);
    void lostConnection();
    PipeWireNode withChannels (const PipeWireNode&) const;
    void bindForInfo (uint32_t id, const char* type);
    void infoProperties (uint32_t id, bool isClient, const spa_dict* props);
    void unbind (uint32_t id);

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* pwCore = nullptr;
    pw_registry* registry = nullptr;
    std::unique_ptr<Hooks> hooks;
    std::unique_ptr<Reconnector> reconnector;
    bool broken = false;
    int coreUsers = 0;
    int lastDoneSeq = 0;

    std::vector<PipeWireNode> nodeList;
    std::map<uint32_t, PipeWirePort> portMap;
    std::map<uint32_t, std::map<std::string, std::string>> clientMap;
    std::set<uint32_t> audioDeviceIds; // only to tell their removal
    std::map<int, std::pair<uint32_t, std::function<void()>>> removalWatches;
    std::map<uint32_t, std::unique_ptr<Bound>> boundGlobals;
    int nextWatchId = 1;
    double sampleRate = 48000.0;
    int quantum = 1024;

    std::atomic<uint32_t> pendingChanges { 0 };
    // What a posted delivery reaches: it may run, or be thrown away, after
    // the connection is gone.
    struct Delivery;
    std::shared_ptr<Delivery> delivery;
    std::vector<Listener*> listeners;

    // Changes are posted to the message thread only while its message loop
    // exists: see MessageLoopWatch. Lock held.
    bool messageLoopGone = false;
    struct MessageLoopWatch;
    MessageLoopWatch* messageLoopWatch = nullptr; // message thread
    void watchMessageLoop();
};

} // namespace loomwell
