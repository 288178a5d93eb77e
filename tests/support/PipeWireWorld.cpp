#include "PipeWireWorld.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace loomwell::testing
{

using Clock = std::chrono::steady_clock;

// The test's own client of the world: a plain loop iterated only while the
// test waits for something, and the registry's globals with their properties.
struct PipeWireWorld::Session
{
    struct CreatedNode
    {
        pw_proxy* proxy = nullptr;
        spa_hook hook {};
        uint32_t boundId = SPA_ID_INVALID;
    };

    pw_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook registryHook {};
    std::map<uint32_t, std::pair<std::string, std::map<std::string, std::string>>> globals;
    std::vector<std::unique_ptr<CreatedNode>> created;

    static std::unique_ptr<Session> connect()
    {
        pw_init (nullptr, nullptr);
        auto session = std::make_unique<Session>();
        session->loop = pw_loop_new (nullptr);
        session->context = pw_context_new (session->loop, nullptr, 0);
        session->core = pw_context_connect (session->context, nullptr, 0);
        if (session->core == nullptr)
            return nullptr;

        static const pw_registry_events events = [] {
            pw_registry_events e {};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = [] (void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props)
            {
                auto& entry = static_cast<Session*> (data)->globals[id];
                entry.first = type;
                const spa_dict_item* item;
                spa_dict_for_each (item, props)
                    entry.second[item->key] = item->value;
            };
            e.global_remove = [] (void* data, uint32_t id) { static_cast<Session*> (data)->globals.erase (id); };
            return e;
        }();
        session->registry = pw_core_get_registry (session->core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener (session->registry, &session->registryHook, &events, session.get());
        return session;
    }

    ~Session()
    {
        if (core != nullptr)
        {
            // Nodes linger on the server; their proxies, also those whose
            // node is gone already, are still ours to free.
            for (auto& node : created)
            {
                spa_hook_remove (&node->hook);
                pw_proxy_destroy (node->proxy);
            }
            spa_hook_remove (&registryHook);
            pw_proxy_destroy (reinterpret_cast<pw_proxy*> (registry));
            pw_core_disconnect (core);
        }
        if (context != nullptr)
            pw_context_destroy (context);
        if (loop != nullptr)
            pw_loop_destroy (loop);
    }

    bool waitFor (const std::function<bool()>& ready, std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        pw_loop_enter (loop);
        bool result = ready();
        while (! result && Clock::now() < deadline)
        {
            pw_loop_iterate (loop, 10);
            result = ready();
        }
        pw_loop_leave (loop);
        return result;
    }

    int count (const char* type, const std::function<bool (const std::map<std::string, std::string>&)>& matches) const
    {
        return static_cast<int> (std::count_if (globals.begin(), globals.end(), [&] (const auto& g) {
            return g.second.first == type && matches (g.second.second);
        }));
    }
};

float Recording::peak (int channel) const
{
    float result = 0.0f;
    for (size_t i = static_cast<size_t> (channel); i < samples.size(); i += static_cast<size_t> (channels))
        result = std::max (result, std::abs (samples[i]));
    return result;
}

std::optional<Recording> readFloatWav (const std::string& path)
{
    std::ifstream in (path, std::ios::binary);
    const std::vector<char> bytes { std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>() };
    const auto u16 = [&] (size_t at) { return static_cast<uint32_t> (static_cast<uint8_t> (bytes[at]) | static_cast<uint8_t> (bytes[at + 1]) << 8); };
    const auto u32 = [&] (size_t at) { return u16 (at) | u16 (at + 2) << 16; };

    if (bytes.size() < 12 || std::memcmp (bytes.data(), "RIFF", 4) != 0 || std::memcmp (bytes.data() + 8, "WAVE", 4) != 0)
        return std::nullopt;

    Recording recording;
    uint32_t format = 0, bits = 0;
    for (size_t at = 12; at + 8 <= bytes.size();)
    {
        const uint32_t size = u32 (at + 4);
        const size_t body = at + 8;
        if (std::memcmp (bytes.data() + at, "fmt ", 4) == 0 && body + 16 <= bytes.size())
        {
            format = u16 (body);
            recording.channels = static_cast<int> (u16 (body + 2));
            recording.sampleRate = static_cast<int> (u32 (body + 4));
            bits = u16 (body + 14);
            if (format == 0xFFFE && body + 26 <= bytes.size())
                format = u16 (body + 24); // the sub-format's leading tag
        }
        else if (std::memcmp (bytes.data() + at, "data", 4) == 0)
        {
            // A recorder that was killed leaves the size unwritten.
            const size_t end = std::min (bytes.size(), size == 0xFFFFFFFFu || size == 0 ? bytes.size() : body + size);
            if (format != 3 || bits != 32 || recording.channels <= 0)
                return std::nullopt;
            recording.samples.resize ((end - body) / sizeof (float));
            std::memcpy (recording.samples.data(), bytes.data() + body, recording.samples.size() * sizeof (float));
            return recording;
        }
        at = body + size + (size & 1u);
    }
    return std::nullopt;
}

PipeWireWorld::PipeWireWorld() = default;

PipeWireWorld::~PipeWireWorld()
{
    stop();
}

bool PipeWireWorld::isRunning() const
{
    return ! dir.empty();
}

void PipeWireWorld::setEnv (const char* name, const std::string& value)
{
    const char* old = std::getenv (name);
    savedEnv.emplace_back (name, old != nullptr ? std::optional<std::string> (old) : std::nullopt);
    setenv (name, value.c_str(), 1);
}

void PipeWireWorld::restoreEnv()
{
    for (auto it = savedEnv.rbegin(); it != savedEnv.rend(); ++it)
    {
        if (it->second)
            setenv (it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv (it->first.c_str());
    }
    savedEnv.clear();
}

pid_t PipeWireWorld::spawn (const std::string& logName, const std::vector<std::string>& argv) const
{
    const auto logPath = dir + "/" + logName + ".log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen (&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2 (&actions, 1, 2);

    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back (const_cast<char*> (a.c_str()));
    args.push_back (nullptr);

    pid_t pid = -1;
    if (posix_spawnp (&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy (&actions);
    return pid;
}

bool PipeWireWorld::start (bool withDaemons)
{
    if (isRunning())
        return false;

    // On a heavily loaded machine a daemon has been seen not to come up in
    // time; a second try in a fresh directory gets past that, and what the
    // first try's daemons said is printed so the cause is not lost.
    for (int attempt = 1; attempt <= 2; ++attempt)
    {
        if (startOnce (withDaemons))
            return true;

        std::cerr << "PipeWireWorld: start attempt " << attempt << " failed\n" << logs();
        stop();
    }
    return false;
}

bool PipeWireWorld::startOnce (bool withDaemons)
{
    char pattern[] = "/tmp/loomwell-pw-XXXXXX";
    if (mkdtemp (pattern) == nullptr)
        return false;
    dir = pattern;
    chmod (dir.c_str(), 0700);

    // This process and every daemon see only this world.
    setEnv ("XDG_RUNTIME_DIR", dir);
    setEnv ("PIPEWIRE_RUNTIME_DIR", dir);
    setEnv ("PIPEWIRE_REMOTE", "pipewire-0");
    setEnv ("XDG_STATE_HOME", dir + "/state");
    setEnv ("XDG_CONFIG_HOME", dir + "/config");
    setEnv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus");

    if (! withDaemons)
        return true;

    const auto bus = spawn ("dbus", { "dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork", "--nopidfile" });
    if (bus <= 0)
        return false;
    daemons.push_back (bus);
    for (auto deadline = Clock::now() + std::chrono::seconds (5); ! std::filesystem::exists (dir + "/bus") && Clock::now() < deadline;)
        std::this_thread::sleep_for (std::chrono::milliseconds (10));

    return startSoundServer();
}

bool PipeWireWorld::startSoundServer()
{
    if (dir.empty() || ! soundServer.empty())
        return false;

    // A world made without daemons gets its session bus now.
    if (daemons.empty())
    {
        const auto bus = spawn ("dbus", { "dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork", "--nopidfile" });
        if (bus <= 0)
            return false;
        daemons.push_back (bus);
        for (auto deadline = Clock::now() + std::chrono::seconds (5); ! std::filesystem::exists (dir + "/bus") && Clock::now() < deadline;)
            std::this_thread::sleep_for (std::chrono::milliseconds (10));
    }

    // As in start(): on a loaded machine the daemons have been seen not to
    // come up in time once; a second try gets past that.
    for (int attempt = 1;; ++attempt)
    {
        for (const char* daemon : { "pipewire", "wireplumber" })
        {
            const auto pid = spawn (daemon, { daemon });
            if (pid <= 0)
                return false;
            soundServer.push_back (pid);
        }
        if (waitUntilReady (std::chrono::seconds (20)))
            break;
        std::cerr << "PipeWireWorld: sound server start attempt " << attempt << " failed\n" << logs();
        stopSoundServer (true);
        if (attempt == 2)
            return false;
    }

    return createNullSink ({ "speakers", "Speakers", 2, { "FL", "FR" }, 2000 }).has_value();
}

bool PipeWireWorld::stopSoundServer (bool crash)
{
    session.reset();
    bool clean = true;
    for (auto it = soundServer.rbegin(); it != soundServer.rend(); ++it)
    {
        if (crash)
            ::kill (*it, SIGKILL);
        clean = stopProcess (*it) && clean;
    }
    soundServer.clear();
    return clean || crash;
}

bool PipeWireWorld::waitUntilReady (std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (session == nullptr && Clock::now() < deadline)
    {
        session = Session::connect();
        if (session == nullptr)
            std::this_thread::sleep_for (std::chrono::milliseconds (50));
    }
    if (session == nullptr)
        return false;

    // The session manager announces itself with the "default" metadata.
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - Clock::now());
    return session->waitFor ([this] {
        return session->count (PW_TYPE_INTERFACE_Metadata, [] (const auto& p) {
            const auto it = p.find (PW_KEY_METADATA_NAME);
            return it != p.end() && it->second == "default";
        }) > 0;
    }, std::max (remaining, std::chrono::milliseconds (0)));
}

std::optional<uint32_t> PipeWireWorld::createNullSink (const NullSinkOptions& options)
{
    if (session == nullptr)
        return std::nullopt;

    std::string positions;
    for (int ch = 0; ch < options.channels; ++ch)
        positions += (ch > 0 ? " " : "")
                   + (static_cast<size_t> (ch) < options.positions.size() ? options.positions[static_cast<size_t> (ch)]
                                                                          : "AUX" + std::to_string (ch));

    auto* props = pw_properties_new ("factory.name", "support.null-audio-sink",
                                     PW_KEY_NODE_NAME, options.name.c_str(),
                                     PW_KEY_NODE_DESCRIPTION, options.description.c_str(),
                                     PW_KEY_MEDIA_CLASS, "Audio/Sink",
                                     PW_KEY_OBJECT_LINGER, "true",
                                     nullptr);
    pw_properties_setf (props, "audio.channels", "%d", options.channels);
    pw_properties_setf (props, "audio.position", "[ %s ]", positions.c_str());
    if (options.prioritySession != 0)
        pw_properties_setf (props, PW_KEY_PRIORITY_SESSION, "%d", options.prioritySession);
    if (options.rate != 0)
        pw_properties_setf (props, "audio.rate", "%d", options.rate);

    auto node = std::make_unique<Session::CreatedNode>();
    node->proxy = static_cast<pw_proxy*> (pw_core_create_object (session->core, "adapter", PW_TYPE_INTERFACE_Node,
                                                                  PW_VERSION_NODE, &props->dict, 0));
    pw_properties_free (props);
    if (node->proxy == nullptr)
        return std::nullopt;

    static const pw_proxy_events events = [] {
        pw_proxy_events e {};
        e.version = PW_VERSION_PROXY_EVENTS;
        e.bound = [] (void* data, uint32_t id) { static_cast<Session::CreatedNode*> (data)->boundId = id; };
        return e;
    }();
    pw_proxy_add_listener (node->proxy, &node->hook, &events, node.get());
    auto* created = node.get();
    session->created.push_back (std::move (node));

    const auto inputPorts = [this, created] {
        const auto id = std::to_string (created->boundId);
        return session->count (PW_TYPE_INTERFACE_Port, [&id] (const auto& p) {
            const auto owner = p.find (PW_KEY_NODE_ID), direction = p.find (PW_KEY_PORT_DIRECTION);
            return owner != p.end() && owner->second == id && direction != p.end() && direction->second == "in";
        });
    };
    if (! session->waitFor ([&] { return created->boundId != SPA_ID_INVALID && inputPorts() == options.channels; },
                            std::chrono::seconds (10)))
        return std::nullopt;
    return created->boundId;
}

bool PipeWireWorld::destroyNode (uint32_t nodeId)
{
    if (session == nullptr)
        return false;
    // Ids are reused at once: the node is gone when its id is free or names
    // another object (object serials are never reused).
    const auto serialOf = [this] (uint32_t id) -> std::optional<std::string> {
        const auto it = session->globals.find (id);
        if (it == session->globals.end())
            return std::nullopt;
        const auto serial = it->second.second.find (PW_KEY_OBJECT_SERIAL);
        return serial != it->second.second.end() ? serial->second : std::string();
    };
    const auto serial = serialOf (nodeId);
    pw_registry_destroy (session->registry, nodeId);
    return session->waitFor ([&] { return ! serialOf (nodeId) || serialOf (nodeId) != serial; }, std::chrono::seconds (10));
}

std::optional<pid_t> PipeWireWorld::startRecording (uint32_t sinkId, int channels, const std::string& path)
{
    if (session == nullptr || session->globals.count (sinkId) == 0)
        return std::nullopt;

    const auto serial = session->globals[sinkId].second[PW_KEY_OBJECT_SERIAL];
    const auto pid = spawn ("pw-record-" + std::to_string (recorders.size()),
                            { "pw-record", "--target", serial, "--channels", std::to_string (channels),
                              "--format", "f32", "--rate", "48000", "-P", "{ stream.capture.sink=true }", path });
    if (pid <= 0)
        return std::nullopt;
    recorders.push_back (pid);

    // Recording starts once the sink's monitor ports are linked to it.
    const auto sink = std::to_string (sinkId);
    const bool linked = session->waitFor ([&] {
        return session->count (PW_TYPE_INTERFACE_Link, [&sink] (const auto& p) {
            const auto it = p.find (PW_KEY_LINK_OUTPUT_NODE);
            return it != p.end() && it->second == sink;
        }) >= channels;
    }, std::chrono::seconds (10));

    if (! linked)
    {
        stopRecording (pid);
        return std::nullopt;
    }
    return pid;
}

bool PipeWireWorld::stopRecording (pid_t pid)
{
    const auto it = std::find (recorders.begin(), recorders.end(), pid);
    if (it == recorders.end())
        return false;
    recorders.erase (it);
    return stopProcess (pid);
}

bool PipeWireWorld::stopProcess (pid_t pid, std::chrono::milliseconds deadline)
{
    if (pid <= 0)
        return false;

    kill (pid, SIGTERM);
    for (const auto end = Clock::now() + deadline; Clock::now() < end;)
    {
        if (waitpid (pid, nullptr, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for (std::chrono::milliseconds (10));
    }
    kill (pid, SIGKILL);
    waitpid (pid, nullptr, 0);
    return false;
}

std::string PipeWireWorld::logs() const
{
    std::ostringstream out;
    if (! dir.empty())
        for (const auto& entry : std::filesystem::directory_iterator (dir))
            if (entry.path().extension() == ".log")
                out << "== " << entry.path().filename().string() << '\n' << std::ifstream (entry.path()).rdbuf();
    return out.str();
}

void PipeWireWorld::stop()
{
    while (! recorders.empty())
        stopRecording (recorders.back());

    stopSoundServer (false);
    for (auto it = daemons.rbegin(); it != daemons.rend(); ++it)
        stopProcess (*it);
    daemons.clear();

    restoreEnv();
    if (! dir.empty())
    {
        std::error_code ignored;
        std::filesystem::remove_all (dir, ignored);
        dir.clear();
    }
}

} // namespace loomwell::testing
