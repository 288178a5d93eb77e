#include "PipeWireConnection.h"

#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace loomwell
{

namespace
{

std::string lookup (const spa_dict* props, const char* key)
{
    const char* value = props != nullptr ? spa_dict_lookup (props, key) : nullptr;
    return value != nullptr ? value : "";
}

std::map<std::string, std::string> allProperties (const spa_dict* props)
{
    std::map<std::string, std::string> result;
    if (props == nullptr)
        return result;

    const spa_dict_item* item = nullptr;
    spa_dict_for_each (item, props)
        if (item->key != nullptr && item->value != nullptr)
            result.emplace (item->key, item->value);
    return result;
}

uint32_t changeBitFor (const std::string& mediaClass)
{
    if (mediaClass == "Audio/Sink")
        return PipeWireConnection::sinksChanged;
    if (mediaClass.rfind ("Audio/Source", 0) == 0)
        return PipeWireConnection::sourcesChanged;
    if (mediaClass.rfind ("Stream/", 0) == 0)
        return PipeWireConnection::streamsChanged;
    if (mediaClass == "Audio/Duplex")
        return PipeWireConnection::duplexChanged;
    return 0;
}

} // namespace

std::string PipeWireNode::property (const std::string& key) const
{
    const auto it = properties.find (key);
    return it != properties.end() ? it->second : std::string {};
}

std::string PipeWireNode::displayName() const
{
    if (! description.empty())
        return description;
    return nick.empty() ? name : nick;
}

// The event tables live in a member so that they may call the private handlers.
struct PipeWireConnection::Hooks
{
    spa_hook core {};
    spa_hook registry {};

    static PipeWireConnection& self (void* data) { return *static_cast<PipeWireConnection*> (data); }

    static pw_core_events makeCoreEvents()
    {
        pw_core_events events {};
        events.version = PW_VERSION_CORE_EVENTS;
        events.info = [] (void* data, const pw_core_info* info) { self (data).coreInfo (info->props); };
        events.done = [] (void* data, uint32_t id, int seq) { self (data).coreDone (id, seq); };
        events.error = [] (void* data, uint32_t id, int, int res, const char*)
        {
            // The daemon went away (or threw us out): everything it told us is void.
            if (id == PW_ID_CORE && res == -EPIPE)
                self (data).lostConnection();
        };
        return events;
    }

    static pw_registry_events makeRegistryEvents()
    {
        pw_registry_events events {};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = [] (void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props)
        { self (data).globalAdded (id, type, props); };
        events.global_remove = [] (void* data, uint32_t id) { self (data).globalRemoved (id); };
        return events;
    }

    inline static const pw_core_events coreEvents = makeCoreEvents();
    inline static const pw_registry_events registryEvents = makeRegistryEvents();
};

// The registry announces only a few properties of a node or client; the
// application's own (its binary, process id, ...) come with the object's info.
// Stream nodes and clients are therefore bound for their info, which is merged
// into the cached properties.
struct PipeWireConnection::Bound
{
    PipeWireConnection* owner = nullptr;
    uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook hook {};

    static void nodeInfo (void* data, const pw_node_info* info)
    {
        auto& self = *static_cast<Bound*> (data);
        if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0)
            self.owner->infoProperties (self.id, false, info->props);
    }

    static void clientInfo (void* data, const pw_client_info* info)
    {
        auto& self = *static_cast<Bound*> (data);
        if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) != 0)
            self.owner->infoProperties (self.id, true, info->props);
    }

    inline static const pw_node_events nodeEvents = [] {
        pw_node_events events {};
        events.version = PW_VERSION_NODE_EVENTS;
        events.info = nodeInfo;
        return events;
    }();

    inline static const pw_client_events clientEvents = [] {
        pw_client_events events {};
        events.version = PW_VERSION_CLIENT_EVENTS;
        events.info = clientInfo;
        return events;
    }();
};

void PipeWireConnection::bindForInfo (uint32_t id, const char* type)
{
    const bool isClient = std::strcmp (type, PW_TYPE_INTERFACE_Client) == 0;
    auto* proxy = static_cast<pw_proxy*> (pw_registry_bind (registry, id, type,
                                                            isClient ? PW_VERSION_CLIENT : PW_VERSION_NODE, 0));
    if (proxy == nullptr)
        return;
    auto bound = std::make_unique<Bound>();
    bound->owner = this;
    bound->id = id;
    bound->proxy = proxy;
    if (isClient)
        pw_client_add_listener (reinterpret_cast<pw_client*> (proxy), &bound->hook, &Bound::clientEvents, bound.get());
    else
        pw_node_add_listener (reinterpret_cast<pw_node*> (proxy), &bound->hook, &Bound::nodeEvents, bound.get());
    unbind (id);
    boundGlobals.emplace (id, std::move (bound));
}

void PipeWireConnection::unbind (uint32_t id)
{
    const auto it = boundGlobals.find (id);
    if (it == boundGlobals.end())
        return;
    spa_hook_remove (&it->second->hook);
    pw_proxy_destroy (it->second->proxy);
    boundGlobals.erase (it);
}

void PipeWireConnection::infoProperties (uint32_t id, bool isClient, const spa_dict* props)
{
    if (isClient)
    {
        if (const auto it = clientMap.find (id); it != clientMap.end())
            for (auto& [key, value] : allProperties (props))
                it->second[key] = value;
        postChange (clientsChanged);
        return;
    }
    const auto it = std::find_if (nodeList.begin(), nodeList.end(), [id] (const auto& n) { return n.id == id; });
    if (it != nodeList.end())
    {
        for (auto& [key, value] : allProperties (props))
            it->properties[key] = value;
        postChange (changeBitFor (it->mediaClass));
    }
}

struct PipeWireConnection::Reconnector final : juce::Timer
{
    explicit Reconnector (PipeWireConnection& c) : connection (c) {}
    PipeWireConnection& connection;

    void timerCallback() override
    {
        if (connection.listeners.empty() || connection.refresh())
            stopTimer();
    }
};

void PipeWireConnection::keepReconnecting()
{
    if (loop == nullptr)
        return;
    if (reconnector == nullptr)
        reconnector = std::make_unique<Reconnector> (*this);
    if (! reconnector->isTimerRunning())
        reconnector->startTimer (reconnectIntervalMs);
}

// JUCE deletes its DeletedAtShutdown objects first when it shuts down, before
// the message manager and its queue go. From then on the loop thread must not
// post: a post racing with the queue's destruction would write to a closed,
// perhaps reused, descriptor (consoles closed just before the shut-down make
// the daemon announce their streams' removal at that very moment). The
// registry's callbacks, which post, run with the loop's lock held, so taking
// it here also waits for a post under way.
struct PipeWireConnection::MessageLoopWatch final : juce::DeletedAtShutdown
{
    explicit MessageLoopWatch (PipeWireConnection& c) : connection (c) {}
    PipeWireConnection& connection;

    ~MessageLoopWatch() override
    {
        Lock lock (connection);
        connection.messageLoopGone = true;
        connection.messageLoopWatch = nullptr;
    }
};

struct PipeWireConnection::Delivery
{
    std::atomic<bool> posted { false };
    PipeWireConnection* connection = nullptr; // message thread
};

PipeWireConnection::PipeWireConnection()
    : hooks (std::make_unique<Hooks>()), delivery (std::make_shared<Delivery>())
{
    delivery->connection = this;
    pw_init (nullptr, nullptr);
    loop = pw_thread_loop_new ("loomwell-pw", nullptr);
    if (loop == nullptr)
        return;

    // client-rt.conf gives the stream data thread real-time priority.
    context = pw_context_new (pw_thread_loop_get_loop (loop),
                              pw_properties_new (PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (context == nullptr || pw_thread_loop_start (loop) < 0)
    {
        if (context != nullptr)
            pw_context_destroy (context);
        pw_thread_loop_destroy (loop);
        context = nullptr;
        loop = nullptr;
    }
}

PipeWireConnection::~PipeWireConnection()
{
    // Deliveries still queued find nobody; the watch of the message loop
    // must not outlive what it watches for.
    delivery->connection = nullptr;
    delete messageLoopWatch;
    reconnector.reset();
    if (loop == nullptr)
        return;

    pw_thread_loop_lock (loop);
    disconnectLocked();
    pw_thread_loop_unlock (loop);
    pw_thread_loop_stop (loop);
    pw_context_destroy (context);
    pw_thread_loop_destroy (loop);
}

PipeWireConnection::Lock::Lock (const PipeWireConnection& connection) : loop (connection.loop)
{
    if (loop != nullptr)
        pw_thread_loop_lock (loop);
}

PipeWireConnection::Lock::~Lock()
{
    if (loop != nullptr)
        pw_thread_loop_unlock (loop);
}

bool PipeWireConnection::connectLocked()
{
    if (context == nullptr)
        return false;

    pwCore = pw_context_connect (context, pw_properties_new (PW_KEY_APP_NAME, "Loomwell", nullptr), 0);
    if (pwCore == nullptr)
        return false;

    broken = false;
    lastDoneSeq = 0;
    pw_core_add_listener (pwCore, &hooks->core, &Hooks::coreEvents, this);
    registry = pw_core_get_registry (pwCore, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener (registry, &hooks->registry, &Hooks::registryEvents, this);
    return true;
}

void PipeWireConnection::disconnectLocked()
{
    if (pwCore == nullptr)
        return;

    while (! boundGlobals.empty())
        unbind (boundGlobals.begin()->first);
    spa_hook_remove (&hooks->registry);
    spa_hook_remove (&hooks->core);
    pw_proxy_destroy (reinterpret_cast<pw_proxy*> (registry));
    pw_core_disconnect (pwCore);
    registry = nullptr;
    pwCore = nullptr;
    nodeList.clear();
    portMap.clear();
    clientMap.clear();
    audioDeviceIds.clear();
}

bool PipeWireConnection::refresh()
{
    if (loop == nullptr)
        return false;

    Lock lock (*this);

    if (pwCore != nullptr && broken && coreUsers == 0)
        disconnectLocked();

    if (pwCore == nullptr && ! connectLocked())
        return false;

    if (broken)
        return false;

    // Two rounds: the info of the objects bound while the first one's
    // globals came in has arrived when the second round is done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (3);
    for (int round = 0; round < 2; ++round)
    {
        const int seq = pw_core_sync (pwCore, PW_ID_CORE, 0);
        if (seq < 0)
            return false;
        const auto done = [this, seq] { return broken || SPA_RESULT_ASYNC_SEQ (lastDoneSeq) >= SPA_RESULT_ASYNC_SEQ (seq); };
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - std::chrono::steady_clock::now());
        if (! waitLocked (done, left) || broken)
            return false;
    }
    return true;
}

bool PipeWireConnection::waitLocked (const std::function<bool()>& ready, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (! ready())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        // Woken by signalWaiters; the one-second bound only limits how late
        // the deadline is noticed.
        pw_thread_loop_timed_wait (loop, 1);
    }
    return true;
}

void PipeWireConnection::signalWaiters()
{
    pw_thread_loop_signal (loop, false);
}

void PipeWireConnection::coreInfo (const spa_dict* props)
{
    if (const auto rate = lookup (props, "default.clock.rate"); ! rate.empty())
        sampleRate = std::atof (rate.c_str());
    if (const auto size = lookup (props, "default.clock.quantum"); ! size.empty())
        quantum = std::atoi (size.c_str());
}

void PipeWireConnection::coreDone (uint32_t id, int seq)
{
    if (id == PW_ID_CORE)
    {
        lastDoneSeq = seq;
        signalWaiters();
    }
}

void PipeWireConnection::globalAdded (uint32_t id, const char* type, const spa_dict* props)
{
    if (std::strcmp (type, PW_TYPE_INTERFACE_Node) == 0)
    {
        PipeWireNode n;
        n.id = id;
        n.serial = std::strtoull (lookup (props, PW_KEY_OBJECT_SERIAL).c_str(), nullptr, 10);
        n.mediaClass = lookup (props, PW_KEY_MEDIA_CLASS);
        n.name = lookup (props, PW_KEY_NODE_NAME);
        n.description = lookup (props, PW_KEY_NODE_DESCRIPTION);
        n.nick = lookup (props, PW_KEY_NODE_NICK);
        n.clientId = static_cast<uint32_t> (std::strtoul (lookup (props, PW_KEY_CLIENT_ID).c_str(), nullptr, 10));
        n.properties = allProperties (props);
        const auto bit = changeBitFor (n.mediaClass);
        nodeList.push_back (std::move (n));
        if (bit == streamsChanged)
            bindForInfo (id, type);
        postChange (bit);
    }
    else if (std::strcmp (type, PW_TYPE_INTERFACE_Port) == 0)
    {
        PipeWirePort port;
        port.id = id;
        port.nodeId = static_cast<uint32_t> (std::strtoul (lookup (props, PW_KEY_NODE_ID).c_str(), nullptr, 10));
        port.index = static_cast<uint32_t> (std::strtoul (lookup (props, PW_KEY_PORT_ID).c_str(), nullptr, 10));
        port.input = lookup (props, PW_KEY_PORT_DIRECTION) == "in";
        port.channel = lookup (props, PW_KEY_AUDIO_CHANNEL);
        port.monitor = lookup (props, PW_KEY_PORT_MONITOR) == "true";
        portMap[id] = std::move (port);
        postChange (portsChanged);
    }
    else if (std::strcmp (type, PW_TYPE_INTERFACE_Device) == 0)
    {
        if (lookup (props, PW_KEY_MEDIA_CLASS) == "Audio/Device")
        {
            audioDeviceIds.insert (id);
            postChange (audioDevicesChanged);
        }
    }
    else if (std::strcmp (type, PW_TYPE_INTERFACE_Client) == 0)
    {
        clientMap[id] = allProperties (props);
        bindForInfo (id, type);
        postChange (clientsChanged);
    }
}

void PipeWireConnection::globalRemoved (uint32_t id)
{
    unbind (id);
    const auto it = std::find_if (nodeList.begin(), nodeList.end(), [id] (const auto& n) { return n.id == id; });
    if (it != nodeList.end())
    {
        const auto bit = changeBitFor (it->mediaClass);
        nodeList.erase (it);
        postChange (bit);
    }
    if (portMap.erase (id) > 0)
        postChange (portsChanged);
    if (clientMap.erase (id) > 0)
        postChange (clientsChanged);
    if (audioDeviceIds.erase (id) > 0)
        postChange (audioDevicesChanged);

    for (auto w = removalWatches.begin(); w != removalWatches.end();)
    {
        if (w->second.first == id)
        {
            auto onRemoved = std::move (w->second.second);
            w = removalWatches.erase (w);
            onRemoved();
        }
        else
        {
            ++w;
        }
    }
}

void PipeWireConnection::lostConnection()
{
    broken = true;
    uint32_t bits = 0;
    for (const auto& n : nodeList)
        bits |= changeBitFor (n.mediaClass);
    if (! audioDeviceIds.empty())
        bits |= audioDevicesChanged;
    nodeList.clear();
    portMap.clear();
    clientMap.clear();
    audioDeviceIds.clear();

    auto watches = std::move (removalWatches);
    removalWatches.clear();
    for (auto& w : watches)
        w.second.second();

    postChange (bits);
    signalWaiters();
}

int PipeWireConnection::watchRemoval (uint32_t globalId, std::function<void()> onRemoved)
{
    const int watchId = nextWatchId++;
    removalWatches.emplace (watchId, std::make_pair (globalId, std::move (onRemoved)));
    return watchId;
}

void PipeWireConnection::unwatchRemoval (int watchId)
{
    removalWatches.erase (watchId);
}

PipeWireNode PipeWireConnection::withChannels (const PipeWireNode& n) const
{
    std::vector<const PipeWirePort*> own;
    for (const auto& [id, port] : portMap)
        if (port.nodeId == n.id && ! port.monitor)
            own.push_back (&port);
    std::sort (own.begin(), own.end(), [] (auto* a, auto* b) { return a->index < b->index; });

    PipeWireNode result = n;
    for (const auto* port : own)
        (port->input ? result.inputChannels : result.outputChannels).push_back (port->channel);
    return result;
}

std::vector<PipeWireNode> PipeWireConnection::nodes (const std::string& mediaClass) const
{
    Lock lock (*this);
    std::vector<PipeWireNode> result;
    for (const auto& n : nodeList)
        if (n.mediaClass == mediaClass)
            result.push_back (withChannels (n));
    return result;
}

std::optional<PipeWireNode> PipeWireConnection::node (uint32_t id) const
{
    Lock lock (*this);
    for (const auto& n : nodeList)
        if (n.id == id)
            return withChannels (n);
    return std::nullopt;
}

std::vector<PipeWireNode> PipeWireConnection::allNodes() const
{
    Lock lock (*this);
    std::vector<PipeWireNode> result;
    for (const auto& n : nodeList)
        result.push_back (withChannels (n));
    return result;
}

std::vector<PipeWirePort> PipeWireConnection::ports (uint32_t nodeId) const
{
    Lock lock (*this);
    std::vector<PipeWirePort> result;
    for (const auto& [id, port] : portMap)
        if (port.nodeId == nodeId)
            result.push_back (port);
    std::sort (result.begin(), result.end(), [] (const auto& a, const auto& b)
    {
        return a.input != b.input ? a.input : a.index < b.index;
    });
    return result;
}

std::map<std::string, std::string> PipeWireConnection::clientProperties (uint32_t clientId) const
{
    Lock lock (*this);
    const auto it = clientMap.find (clientId);
    return it != clientMap.end() ? it->second : std::map<std::string, std::string> {};
}

double PipeWireConnection::defaultSampleRate() const
{
    Lock lock (*this);
    return sampleRate;
}

int PipeWireConnection::defaultQuantum() const
{
    Lock lock (*this);
    return quantum;
}

// Message thread. A message loop that started again after a shut-down (as
// tests do) gets the changes held back meanwhile.
void PipeWireConnection::watchMessageLoop()
{
    if (messageLoopWatch != nullptr)
        return;
    messageLoopWatch = new MessageLoopWatch (*this);
    Lock lock (*this);
    messageLoopGone = false;
    if (const auto pending = pendingChanges.exchange (0))
        postChange (pending);
}

// Loop thread (or any thread), lock held.
void PipeWireConnection::postChange (uint32_t bits)
{
    if (bits == 0)
        return;
    pendingChanges.fetch_or (bits);
    if (messageLoopGone || delivery->posted.exchange (true))
        return;

    // The flag falls when the message is delivered, and also when it is thrown
    // away unread (no message loop, or one that ended), so that a later
    // change is never left waiting for a message that will not come.
    struct Posted
    {
        std::shared_ptr<Delivery> delivery;
        ~Posted() { delivery->posted.store (false); }
    };
    juce::MessageManager::callAsync ([posted = std::make_shared<Posted> (Posted { delivery })] {
        posted->delivery->posted.store (false);
        if (auto* connection = posted->delivery->connection)
            connection->deliverChanges();
    });
}

void PipeWireConnection::deliverChanges()
{
    const auto bits = pendingChanges.exchange (0);
    if (bits == 0)
        return;

    // A listener may remove itself or others while being told.
    const auto snapshot = listeners;
    for (auto* l : snapshot)
        if (std::find (listeners.begin(), listeners.end(), l) != listeners.end())
            l->pipeWireNodesChanged (bits);

    bool down = false;
    {
        Lock lock (*this);
        down = broken || pwCore == nullptr;
    }
    if (down && ! listeners.empty())
        keepReconnecting();
}

void PipeWireConnection::addListener (Listener* l)
{
    watchMessageLoop();
    if (std::find (listeners.begin(), listeners.end(), l) == listeners.end())
        listeners.push_back (l);
}

void PipeWireConnection::removeListener (Listener* l)
{
    listeners.erase (std::remove (listeners.begin(), listeners.end(), l), listeners.end());
    if (listeners.empty() && reconnector != nullptr)
        reconnector->stopTimer();
}

} // namespace loomwell
