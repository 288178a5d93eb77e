#include "FilterNode.h"

#include "PipeWireConnection.h"

#include <pipewire/filter.h>

namespace loomwell
{

struct FilterNode::Hook
{
    spa_hook hook {};
};

std::unique_ptr<FilterNode> FilterNode::create (PipeWireConnection& connection, const char* name, pw_properties* props,
                                                const pw_filter_events& events, void* data)
{
    if (connection.core() == nullptr)
    {
        pw_properties_free (props);
        return nullptr;
    }
    auto* filter = pw_filter_new (connection.core(), name, props);
    if (filter == nullptr)
        return nullptr;
    std::unique_ptr<FilterNode> node (new FilterNode (connection, filter));
    pw_filter_add_listener (filter, &node->hook->hook, &events, data);
    return node;
}

FilterNode::FilterNode (PipeWireConnection& c, pw_filter* f) : connection (c), filter (f), hook (std::make_unique<Hook>())
{
    connection.retainCore();
}

FilterNode::~FilterNode()
{
    pw_filter_destroy (filter);
    connection.releaseCore();
}

} // namespace loomwell
