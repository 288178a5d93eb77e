#include "PortLinks.h"

#include <pipewire/pipewire.h>

#include <algorithm>

namespace loomwell
{

std::vector<std::pair<uint32_t, uint32_t>> stereoLinkPlan (const std::vector<PipeWirePort>& outputs, uint32_t left, uint32_t right)
{
    std::vector<std::pair<uint32_t, uint32_t>> plan;
    for (const auto& port : outputs)
    {
        if (port.channel == "FL" || port.channel == "MONO")
            plan.emplace_back (port.id, left);
        if (port.channel == "FR" || port.channel == "MONO")
            plan.emplace_back (port.id, right);
    }
    if (plan.empty() && ! outputs.empty())
    {
        plan.emplace_back (outputs[0].id, left);
        plan.emplace_back (outputs[outputs.size() > 1 ? 1 : 0].id, right);
    }
    return plan;
}

struct PortLinks::Link
{
    pw_proxy* proxy = nullptr;
    spa_hook hook {};
    bool dead = false; // loop thread, lock held

    ~Link()
    {
        spa_hook_remove (&hook);
        pw_proxy_destroy (proxy);
    }
};

PortLinks::PortLinks() = default;

PortLinks::~PortLinks()
{
    clear();
}

void PortLinks::clear()
{
    links.clear();
}

size_t PortLinks::live() const
{
    return static_cast<size_t> (std::count_if (links.begin(), links.end(), [] (const auto& l) { return ! l.second->dead; }));
}

void PortLinks::follow (pw_core* core, const std::vector<std::pair<uint32_t, uint32_t>>& wanted, const std::map<uint32_t, uint32_t>& nodeOf)
{
    std::erase_if (links, [&] (const auto& entry) {
        return core == nullptr || entry.second->dead || std::find (wanted.begin(), wanted.end(), entry.first) == wanted.end();
    });
    if (core == nullptr)
        return;

    static const pw_proxy_events events = [] {
        pw_proxy_events e {};
        e.version = PW_VERSION_PROXY_EVENTS;
        e.removed = [] (void* data) { static_cast<Link*> (data)->dead = true; };
        e.error = [] (void* data, int, int, const char*) { static_cast<Link*> (data)->dead = true; };
        return e;
    }();
    for (const auto& pair : wanted)
    {
        const auto out = nodeOf.find (pair.first), in = nodeOf.find (pair.second);
        if (links.contains (pair) || out == nodeOf.end() || in == nodeOf.end())
            continue;
        // Not lingering: the link goes with us, also when we crash.
        auto* props = pw_properties_new (PW_KEY_OBJECT_LINGER, "false", nullptr);
        pw_properties_setf (props, PW_KEY_LINK_OUTPUT_NODE, "%u", out->second);
        pw_properties_setf (props, PW_KEY_LINK_OUTPUT_PORT, "%u", pair.first);
        pw_properties_setf (props, PW_KEY_LINK_INPUT_NODE, "%u", in->second);
        pw_properties_setf (props, PW_KEY_LINK_INPUT_PORT, "%u", pair.second);
        auto* proxy = static_cast<pw_proxy*> (pw_core_create_object (core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free (props);
        if (proxy == nullptr)
            continue;
        auto link = std::make_unique<Link>();
        link->proxy = proxy;
        pw_proxy_add_listener (proxy, &link->hook, &events, link.get());
        links.emplace (pair, std::move (link));
    }
}

} // namespace loomwell
