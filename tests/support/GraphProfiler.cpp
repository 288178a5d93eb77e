#include "GraphProfiler.h"

#include <pipewire/extensions/profiler.h>
#include <pipewire/impl.h>
#include <pipewire/pipewire.h>
#include <spa/param/profiler.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

namespace loomwell::testing
{

namespace
{
// A node has finished its cycle when its activation reached this state.
constexpr int32_t activationFinished = 3;

struct Block
{
    int32_t id = 0;
    std::string name;
    int32_t status = 0;
};

// (Int id, String name, Long prev_signal, Long signal, Long awake, Long finish, Int status, ...)
bool parseBlock (const spa_pod* pod, Block& out)
{
    spa_pod_parser parser;
    spa_pod_frame frame;
    spa_pod_parser_pod (&parser, pod);
    if (spa_pod_parser_push_struct (&parser, &frame) < 0)
        return false;
    const char* name = nullptr;
    int64_t ignored = 0;
    if (spa_pod_parser_get_int (&parser, &out.id) < 0 || spa_pod_parser_get_string (&parser, &name) < 0)
        return false;
    for (int i = 0; i < 4; ++i)
        if (spa_pod_parser_get_long (&parser, &ignored) < 0)
            return false;
    if (spa_pod_parser_get_int (&parser, &out.status) < 0)
        return false;
    out.name = name != nullptr ? name : "";
    return true;
}

// (Long counter, Float load fast, Float load medium, Float load slow, Int xrun count)
bool parseInfo (const spa_pod* pod, float& slowLoad, int32_t& xrunCount)
{
    spa_pod_parser parser;
    spa_pod_frame frame;
    spa_pod_parser_pod (&parser, pod);
    if (spa_pod_parser_push_struct (&parser, &frame) < 0)
        return false;
    int64_t counter = 0;
    float fast = 0, medium = 0;
    return spa_pod_parser_get_long (&parser, &counter) >= 0 && spa_pod_parser_get_float (&parser, &fast) >= 0
        && spa_pod_parser_get_float (&parser, &medium) >= 0 && spa_pod_parser_get_float (&parser, &slowLoad) >= 0
        && spa_pod_parser_get_int (&parser, &xrunCount) >= 0;
}
} // namespace

GraphHealth GraphHealth::since (const GraphHealth& earlier) const
{
    GraphHealth d = *this;
    d.cycles -= earlier.cycles;
    d.xruns -= earlier.xruns;
    d.unfinished -= earlier.unfinished;
    for (auto& [name, n] : d.unfinishedByNode)
        if (auto it = earlier.unfinishedByNode.find (name); it != earlier.unfinishedByNode.end())
            n -= it->second;
    for (auto& [name, n] : d.xrunsByDriver)
        if (auto it = earlier.xrunsByDriver.find (name); it != earlier.xrunsByDriver.end())
            n -= it->second;
    std::erase_if (d.unfinishedByNode, [] (const auto& e) { return e.second == 0; });
    std::erase_if (d.xrunsByDriver, [] (const auto& e) { return e.second == 0; });
    return d;
}

std::string GraphHealth::describe() const
{
    std::ostringstream out;
    out << cycles << " cycles, " << xruns << " xruns, " << unfinished << " unfinished node cycles";
    for (const auto& [name, n] : xrunsByDriver)
        out << "\n  xruns of " << name << ": " << n;
    for (const auto& [name, n] : unfinishedByNode)
        out << "\n  unfinished " << name << ": " << n;
    for (const auto& [name, load] : slowLoadByDriver)
        out << "\n  load of " << name << ": " << load;
    return out.str();
}

struct GraphProfiler::State
{
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_proxy* profiler = nullptr;
    spa_hook registryListener {};
    spa_hook profilerListener {};

    mutable std::mutex lock;
    GraphHealth health;
    std::map<int32_t, int32_t> lastXrunCount; // by driver id

    static void onGlobal (void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict*)
    {
        auto* self = static_cast<State*> (data);
        if (std::strcmp (type, PW_TYPE_INTERFACE_Profiler) != 0 || self->profiler != nullptr)
            return;
        self->profiler = static_cast<pw_proxy*> (pw_registry_bind (self->registry, id, type, PW_VERSION_PROFILER, 0));
        if (self->profiler == nullptr)
            return;
        static const pw_profiler_events events = { PW_VERSION_PROFILER_EVENTS, onProfile };
        pw_proxy_add_object_listener (self->profiler, &self->profilerListener, &events, self);
    }

    // One message holds several cycles, each an object with the driver's
    // info, clock and block followed by its followers' blocks.
    static void onProfile (void* data, const spa_pod* pod)
    {
        auto* self = static_cast<State*> (data);
        const std::lock_guard guard (self->lock);
        auto& h = self->health;

        if (! spa_pod_is_struct (pod))
            return;
        const auto* body = SPA_POD_BODY_CONST (pod);
        const auto size = SPA_POD_BODY_SIZE (pod);
        for (auto* object = static_cast<const spa_pod*> (body); spa_pod_is_inside (body, size, object);
             object = static_cast<const spa_pod*> (spa_pod_next (object)))
        {
            if (! spa_pod_is_object_type (object, SPA_TYPE_OBJECT_Profiler))
                continue;

            float slowLoad = 0.0f;
            int32_t xrunCount = -1;
            const auto* obj = reinterpret_cast<const spa_pod_object*> (object);
            for (auto* prop = spa_pod_prop_first (&obj->body); spa_pod_prop_is_inside (&obj->body, obj->pod.size, prop);
                 prop = spa_pod_prop_next (prop))
            {
                Block block;
                switch (prop->key)
                {
                    case SPA_PROFILER_info:
                        if (! parseInfo (&prop->value, slowLoad, xrunCount))
                            xrunCount = -1;
                        break;
                    case SPA_PROFILER_driverBlock:
                        if (! parseBlock (&prop->value, block))
                            break;
                        ++h.cycles;
                        h.slowLoadByDriver[block.name] = slowLoad;
                        if (xrunCount >= 0)
                        {
                            const auto [it, first] = self->lastXrunCount.try_emplace (block.id, xrunCount);
                            if (! first && xrunCount > it->second)
                            {
                                const auto more = static_cast<uint64_t> (xrunCount - it->second);
                                h.xruns += more;
                                h.xrunsByDriver[block.name] += more;
                            }
                            it->second = xrunCount;
                        }
                        [[fallthrough]];
                    case SPA_PROFILER_followerBlock:
                        if ((prop->key == SPA_PROFILER_driverBlock || parseBlock (&prop->value, block))
                            && block.status != activationFinished)
                        {
                            ++h.unfinished;
                            ++h.unfinishedByNode[block.name];
                        }
                        break;
                    default:
                        break;
                }
            }
        }
    }
};

GraphProfiler::GraphProfiler() : state (std::make_unique<State>()) {}

GraphProfiler::~GraphProfiler()
{
    if (state->loop == nullptr)
        return;
    pw_thread_loop_lock (state->loop);
    if (state->profiler != nullptr)
    {
        spa_hook_remove (&state->profilerListener);
        pw_proxy_destroy (state->profiler);
    }
    if (state->registry != nullptr)
    {
        spa_hook_remove (&state->registryListener);
        pw_proxy_destroy (reinterpret_cast<pw_proxy*> (state->registry));
    }
    if (state->core != nullptr)
        pw_core_disconnect (state->core);
    pw_thread_loop_unlock (state->loop);
    pw_thread_loop_stop (state->loop);
    if (state->context != nullptr)
        pw_context_destroy (state->context);
    pw_thread_loop_destroy (state->loop);
}

bool GraphProfiler::start()
{
    pw_init (nullptr, nullptr);
    state->loop = pw_thread_loop_new ("graph-profiler", nullptr);
    if (state->loop == nullptr)
        return false;
    state->context = pw_context_new (pw_thread_loop_get_loop (state->loop), nullptr, 0);
    if (state->context == nullptr || pw_thread_loop_start (state->loop) < 0)
        return false;

    pw_thread_loop_lock (state->loop);
    // The client side of the profiler's protocol.
    pw_context_load_module (state->context, PW_EXTENSION_MODULE_PROFILER, nullptr, nullptr);
    state->core = pw_context_connect (state->context, nullptr, 0);
    if (state->core != nullptr)
    {
        state->registry = pw_core_get_registry (state->core, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events events = { PW_VERSION_REGISTRY_EVENTS, State::onGlobal, nullptr };
        pw_registry_add_listener (state->registry, &state->registryListener, &events, state.get());
    }
    pw_thread_loop_unlock (state->loop);

    for (int i = 0; i < 100; ++i)
    {
        pw_thread_loop_lock (state->loop);
        const bool bound = state->profiler != nullptr;
        pw_thread_loop_unlock (state->loop);
        if (bound)
            return true;
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
    }
    return false;
}

GraphHealth GraphProfiler::totals() const
{
    const std::lock_guard guard (state->lock);
    return state->health;
}

} // namespace loomwell::testing
