#pragma once

// What a real-time callback must never do, counted: allocate or free, lock,
// wait, read, write, poll or sleep. A call counts while its thread is in a
// RealtimeScope and counting is on (`steady`); the first call's stack goes to
// standard error unless the scope is "quiet".
// Include in one source file of a test program and export its symbols
// (ENABLE_EXPORTS), so that PipeWire's plugins reach the replacements too. A
// sanitizer owns these functions: LOOMWELL_COUNT_REALTIME_CALLS=0 there.

#include "RealtimeScope.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <linux/futex.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <string_view>

namespace loomwell::testing::realtime
{
inline thread_local bool noting = false;
inline std::atomic<bool> steady { false };
inline std::atomic<long> calls { 0 };
inline std::atomic<const char*> firstCall { nullptr }, firstScope { nullptr };

// Never allocates: it runs inside the allocator.
[[maybe_unused]] inline void note (const char* function) noexcept
{
    const char* scope = RealtimeScope::current;
    if (scope == nullptr || noting || ! steady.load (std::memory_order_relaxed))
        return;
    noting = true;
    if (calls.fetch_add (1) == 0)
    {
        firstCall = function;
        firstScope = scope;
        void* frames[32];
        if (std::string_view (scope) != "quiet")
            backtrace_symbols_fd (frames, backtrace (frames, 32), 2);
    }
    noting = false;
}
} // namespace loomwell::testing::realtime

#if LOOMWELL_COUNT_REALTIME_CALLS
// Each replacement notes the call and calls glibc's own: the allocator by the
// names glibc also exports it under, the rest as the next definition.
using loomwell::testing::realtime::note;
extern "C" void *__libc_malloc (size_t), *__libc_calloc (size_t, size_t), *__libc_realloc (void*, size_t), *__libc_memalign (size_t, size_t);
extern "C" void __libc_free (void*);
extern "C" void* malloc (size_t n) noexcept { note ("malloc"); return __libc_malloc (n); }
extern "C" void* calloc (size_t c, size_t n) noexcept { note ("calloc"); return __libc_calloc (c, n); }
extern "C" void* realloc (void* p, size_t n) noexcept { note ("realloc"); return __libc_realloc (p, n); }
extern "C" void* aligned_alloc (size_t a, size_t n) noexcept { note ("aligned_alloc"); return __libc_memalign (a, n); }
extern "C" int posix_memalign (void** p, size_t a, size_t n) noexcept { note ("posix_memalign"); return (*p = __libc_memalign (a, n)) ? 0 : ENOMEM; }
extern "C" void free (void* p) noexcept { p != nullptr ? note ("free") : void(), __libc_free (p); }

inline void* nextDefinition (std::atomic<void*>& slot, const char* name, const char* version = nullptr)
{
    if (slot.load (std::memory_order_relaxed) == nullptr)
        slot = version != nullptr ? dlvsym (RTLD_NEXT, name, version) : dlsym (RTLD_NEXT, name);
    return slot.load (std::memory_order_relaxed);
}

#define LOOMWELL_INTERPOSE(result, name, params, args, except, ...)                                                          \
    static std::atomic<void*> next_##name;                                                                                 \
    extern "C" result name params except                                                                                  \
    {                                                                                                                     \
        note (#name);                                                                                                     \
        return reinterpret_cast<result (*) params> (nextDefinition (next_##name, #name __VA_OPT__ (, ) __VA_ARGS__)) args; \
    }
LOOMWELL_INTERPOSE (int, pthread_mutex_lock, (pthread_mutex_t* m), (m), noexcept)
LOOMWELL_INTERPOSE (int, pthread_mutex_trylock, (pthread_mutex_t* m), (m), noexcept)
LOOMWELL_INTERPOSE (int, pthread_cond_wait, (pthread_cond_t* c, pthread_mutex_t* m), (c, m), , "GLIBC_2.3.2")
LOOMWELL_INTERPOSE (int, pthread_cond_timedwait, (pthread_cond_t* c, pthread_mutex_t* m, const timespec* t), (c, m, t), , "GLIBC_2.3.2")
LOOMWELL_INTERPOSE (int, sem_wait, (sem_t* s), (s), )
LOOMWELL_INTERPOSE (int, sem_timedwait, (sem_t* s, const timespec* t), (s, t), )
LOOMWELL_INTERPOSE (ssize_t, read, (int fd, void* b, size_t n), (fd, b, n), )
LOOMWELL_INTERPOSE (ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n), )
LOOMWELL_INTERPOSE (int, poll, (pollfd* f, nfds_t n, int t), (f, n, t), )
LOOMWELL_INTERPOSE (int, epoll_wait, (int fd, epoll_event* e, int n, int t), (fd, e, n, t), )
LOOMWELL_INTERPOSE (int, nanosleep, (const timespec* r, timespec* left), (r, left), )

static std::atomic<void*> next_syscall;
extern "C" long syscall (long number, ...) noexcept
{
    va_list list;
    va_start (list, number);
    long a[6] = { va_arg (list, long), va_arg (list, long), va_arg (list, long), va_arg (list, long), va_arg (list, long), va_arg (list, long) };
    va_end (list);
    if (number == SYS_futex && ((a[1] & FUTEX_CMD_MASK) == FUTEX_WAIT || (a[1] & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET))
        note ("futex wait");
    return reinterpret_cast<long (*) (long, ...)> (nextDefinition (next_syscall, "syscall")) (number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
#endif
