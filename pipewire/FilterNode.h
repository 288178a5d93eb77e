#pragma once

#include <memory>

struct pw_filter;
struct pw_filter_events;
struct pw_properties;

namespace loomwell
{

class PipeWireConnection;

// A pw_filter on the connection's core, with its events hooked, that keeps
// the core while it lives (see PipeWireConnection::retainCore) and is gone
// with it: the one way Loomwell makes a node of its own. Made and destroyed
// with the connection's lock held.
class FilterNode
{
public:
    // Takes the properties. Null when the core is gone or the filter cannot be made.
    static std::unique_ptr<FilterNode> create (PipeWireConnection&, const char* name, pw_properties* props,
                                               const pw_filter_events& events, void* data);
    ~FilterNode();

    FilterNode (const FilterNode&) = delete;
    FilterNode& operator= (const FilterNode&) = delete;

    pw_filter* get() const noexcept { return filter; }

private:
    struct Hook;
    FilterNode (PipeWireConnection&, pw_filter*);

    PipeWireConnection& connection;
    pw_filter* const filter;
    std::unique_ptr<Hook> hook;
};

} // namespace loomwell
