#pragma once

namespace loomwell
{

// Marks a real-time callback for as long as it runs: `current` names the
// callback running on this thread, or is null outside one. Test programs
// count what must never happen inside one (allocating, locking, waiting);
// the mark itself is two stores to thread-local storage.
struct RealtimeScope
{
    explicit RealtimeScope (const char* name) noexcept { current = name; }
    ~RealtimeScope() { current = nullptr; }
    RealtimeScope (const RealtimeScope&) = delete;
    RealtimeScope& operator= (const RealtimeScope&) = delete;

    static inline thread_local const char* current = nullptr;
};

} // namespace loomwell
