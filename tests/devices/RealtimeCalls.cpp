#include "RealtimeCalls.h"

#include <pipewire/keys.h>
#include <pipewire/properties.h>
#include <pipewire/stream.h>
#include <spa/utils/hook.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#ifndef LOOMWELL_COUNT_REALTIME_CALLS
#define LOOMWELL_COUNT_REALTIME_CALLS 1
#endif

namespace loomwell::testing::realtime
{
namespace
{

// Per thread: whether it ran one of our callbacks (then it is a data-loop
// thread, and stays one), which callback it is in now, and whether a call is
// being counted already (the counting itself may allocate: backtrace).
thread_local bool onRealtimeThread = false;
thread_local int callbackWhere = -1;
thread_local bool counting = false;
thread_local bool threadListed = false;

constexpr int numOrigins = static_cast<int> (Origin::numOrigins);
constexpr int tracesPerKey = 3;
constexpr int maxTraces = 160;
constexpr int maxFrames = 48;

std::atomic<int> currentPhase { 0 };
std::atomic<long> callCounts[numPhases][numWhere][numOrigins][numCalls];
std::atomic<long> callbackCounts[numPhases][numWhere];
std::atomic<int> tracesTakenFor[numPhases][numWhere][numOrigins][numCalls];

struct RawTrace
{
    std::atomic<bool> ready { false };
    int phase = 0, where = 0, origin = 0, call = 0, depth = 0;
    void* frames[maxFrames] {};
};
RawTrace rawTraces[maxTraces];
std::atomic<int> tracesTaken { 0 };

constexpr int maxThreads = 16;
std::atomic<pid_t> threadIds[maxThreads];
std::atomic<int> threadsListed { 0 };

//==============================================================================
enum class Module { runtime, ours, pipewire };

[[maybe_unused]] const void* ownBase()
{
    static const void* const base = [] {
        Dl_info info {};
        return dladdr (reinterpret_cast<void*> (&ownBase), &info) != 0 ? info.dli_fbase : nullptr;
    }();
    return base;
}

// The C and C++ runtimes (libc, libstdc++, libgcc, libm) work for whoever
// called them; a frame there says nothing about whose call it was.
[[maybe_unused]] Module moduleOf (const void* address) noexcept
{
    Dl_info info {};
    if (address == nullptr || dladdr (address, &info) == 0)
        return Module::runtime;
    if (info.dli_fbase == ownBase())
        return Module::ours;
    if (info.dli_fname != nullptr && (std::strstr (info.dli_fname, "pipewire") != nullptr || std::strstr (info.dli_fname, "spa") != nullptr))
        return Module::pipewire;
    return Module::runtime;
}

// Walks outwards from the call's immediate caller to the first frame that is
// not in a runtime library. When that cannot be told, the call is taken to be
// ours, so that an unexplained call fails the test rather than hiding; so is
// a call that a library function makes as its tail call, whose return
// address is its caller's.
[[maybe_unused]] Origin originBeyond (const void* caller, void* const* frames, int depth) noexcept
{
    int i = 0;
    while (i < depth && frames[i] != caller)
        ++i;
    if (i == depth)
        return Origin::ours;
    for (; i < depth; ++i)
    {
        const auto module = moduleOf (frames[i]);
        if (module == Module::pipewire)
            return Origin::pipewire;
        if (module == Module::ours)
            return Origin::ours;
    }
    return Origin::ours;
}

[[maybe_unused]] void note (Call call, const void* caller) noexcept
{
    if (! onRealtimeThread || counting)
        return;
    counting = true;

    const int phase = currentPhase.load (std::memory_order_relaxed);
    const int where = callbackWhere >= 0 ? callbackWhere : static_cast<int> (Where::loop);
    void* frames[maxFrames];
    int depth = -1;
    auto origin = Origin::pipewire;
    if (where != static_cast<int> (Where::loop))
    {
        switch (moduleOf (caller))
        {
            case Module::ours:     origin = Origin::ours; break;
            case Module::pipewire: origin = Origin::pipewire; break;
            case Module::runtime:
                depth = backtrace (frames, maxFrames);
                origin = originBeyond (caller, frames, depth);
                break;
        }
    }

    const auto c = static_cast<int> (call);
    const auto o = static_cast<int> (origin);
    callCounts[phase][where][o][c].fetch_add (1, std::memory_order_relaxed);

    if (tracesTakenFor[phase][where][o][c].fetch_add (1, std::memory_order_relaxed) < tracesPerKey)
    {
        const int slot = tracesTaken.fetch_add (1, std::memory_order_relaxed);
        if (slot < maxTraces)
        {
            auto& trace = rawTraces[slot];
            if (depth < 0)
                depth = backtrace (frames, maxFrames);
            std::copy (frames, frames + depth, trace.frames);
            trace.phase = phase;
            trace.where = where;
            trace.origin = o;
            trace.call = c;
            trace.depth = depth;
            trace.ready.store (true, std::memory_order_release);
        }
    }
    counting = false;
}

//==============================================================================
// For a stream whose process callback runs on the data loop, PipeWire calls
// only the process event of the first listener that has one. That first
// listener is ours: its process marks the thread, opens the callback's scope,
// calls the program's own process and closes the scope. The program's
// listener follows with its other events and without a process event.
struct Marks
{
    Where where = Where::otherStream;
    void (*process) (void*) = nullptr;
    void* data = nullptr;
    pw_stream_events rest {};
    spa_hook hook {};
};

void markedProcess (void* data) noexcept
{
    const auto& marks = *static_cast<Marks*> (data);
    if (! threadListed)
    {
        threadListed = true;
        const int slot = threadsListed.fetch_add (1);
        if (slot < maxThreads)
            threadIds[slot].store (static_cast<pid_t> (::syscall (SYS_gettid)));
    }
    onRealtimeThread = true;
    callbackWhere = static_cast<int> (marks.where);
    callbackCounts[currentPhase.load (std::memory_order_relaxed)][static_cast<int> (marks.where)].fetch_add (1, std::memory_order_relaxed);
    marks.process (marks.data);
    callbackWhere = -1;
}

const pw_stream_events markedEvents = [] {
    pw_stream_events events {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.process = markedProcess;
    return events;
}();

// The program names its streams' nodes.
Where whereOf (pw_stream* stream)
{
    const auto* props = pw_stream_get_properties (stream);
    const char* name = props != nullptr ? pw_properties_get (props, PW_KEY_NODE_NAME) : nullptr;
    const std::string node = name != nullptr ? name : "";
    if (node == "loomwell-output")
        return Where::console;
    if (node == "loomwell-capture")
        return Where::appCapture;
    if (node == "loomwell-input")
        return Where::inputCapture;
    return Where::otherStream;
}

// Kept for the process's life: a stream unhooks its listeners only when it
// is destroyed, which may be at the process's end.
std::deque<Marks>& allMarks()
{
    static auto* marks = new std::deque<Marks>;
    return *marks;
}
std::mutex marksMutex;

} // namespace

//==============================================================================
const char* nameOf (Call call)
{
    static constexpr std::array<const char*, numCalls> names {
        "malloc", "calloc", "realloc", "aligned alloc", "operator new",
        "free", "operator delete",
        "pthread_mutex_lock", "pthread_mutex_trylock", "pthread_mutex_timedlock", "pthread_rwlock lock",
        "pthread_cond_wait", "pthread_cond_timedwait", "sem_wait",
        "read", "write", "recv", "send", "poll", "select", "epoll_wait", "sleep", "futex wait", "sched_yield", "open",
    };
    return names[static_cast<size_t> (call)];
}

const char* nameOf (Where where)
{
    static constexpr std::array<const char*, numWhere> names {
        "console callback", "app capture callback", "input capture callback", "other stream callback", "data loop",
    };
    return names[static_cast<size_t> (where)];
}

const char* nameOf (Origin origin)
{
    return origin == Origin::ours ? "ours" : "PipeWire";
}

Group groupOf (Call call)
{
    if (call <= Call::operatorNew)
        return Group::allocation;
    if (call <= Call::operatorDelete)
        return Group::release;
    if (call <= Call::rwlockLock)
        return Group::lock;
    if (call <= Call::semWait)
        return Group::wait;
    return Group::blockingCall;
}

const char* nameOf (Group group)
{
    switch (group)
    {
        case Group::allocation:   return "allocations";
        case Group::release:      return "releases";
        case Group::lock:         return "locks";
        case Group::wait:         return "waits";
        case Group::blockingCall: return "blocking calls";
    }
    return "";
}

bool callsAreCounted()
{
    return LOOMWELL_COUNT_REALTIME_CALLS != 0;
}

void setPhase (int phase)
{
    currentPhase.store (phase);
}

long calls (int phase, Where where, Origin origin, Call call)
{
    return callCounts[phase][static_cast<int> (where)][static_cast<int> (origin)][static_cast<int> (call)].load();
}

long callbacks (int phase, Where where)
{
    return callbackCounts[phase][static_cast<int> (where)].load();
}

std::vector<Trace> traces()
{
    // addr2line names the static functions that dladdr cannot: the frames
    // are looked up per binary, at their offset in it (a return address
    // less one, to land in the call).
    struct Frame
    {
        std::string module;
        uintptr_t offset = 0;
        bool own = false; // this binary, whose full symbol table addr2line reads
    };
    std::vector<Trace> result;
    std::vector<std::vector<Frame>> frames;
    std::map<std::string, std::vector<uintptr_t>> offsets;

    const int taken = std::min (tracesTaken.load(), maxTraces);
    for (int i = 0; i < taken; ++i)
    {
        const auto& raw = rawTraces[i];
        if (! raw.ready.load (std::memory_order_acquire))
            continue;
        Trace trace;
        trace.phase = raw.phase;
        trace.where = static_cast<Where> (raw.where);
        trace.origin = static_cast<Origin> (raw.origin);
        trace.call = static_cast<Call> (raw.call);
        result.push_back (trace);

        auto& these = frames.emplace_back();
        for (int f = 0; f < raw.depth; ++f)
        {
            Dl_info info {};
            Frame frame;
            if (dladdr (raw.frames[f], &info) != 0 && info.dli_fname != nullptr)
            {
                frame.module = info.dli_fname;
                frame.offset = reinterpret_cast<uintptr_t> (raw.frames[f]) - reinterpret_cast<uintptr_t> (info.dli_fbase) - 1;
                frame.own = info.dli_fbase == ownBase();
                offsets[frame.module].push_back (frame.offset);
            }
            these.push_back (frame);
        }
    }

    std::map<std::pair<std::string, uintptr_t>, std::string> names;
    for (const auto& [module, list] : offsets)
    {
        std::string command = "addr2line -C -f -p -e '" + module + "'";
        for (const auto offset : list)
        {
            char text[32];
            std::snprintf (text, sizeof (text), " 0x%zx", static_cast<size_t> (offset));
            command += text;
        }
        auto* pipe = ::popen ((command + " 2>/dev/null").c_str(), "r");
        if (pipe == nullptr)
            continue;
        char line[2048];
        for (const auto offset : list)
        {
            if (std::fgets (line, sizeof (line), pipe) == nullptr)
                break;
            std::string text = line;
            while (! text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            names[{ module, offset }] = text;
        }
        ::pclose (pipe);
    }

    for (size_t i = 0; i < result.size(); ++i)
        for (const auto& frame : frames[i])
        {
            const auto base = frame.module.substr (frame.module.find_last_of ('/') + 1);
            // In a library without debug information addr2line only knows
            // the nearest exported symbol before the address: said as such.
            auto name = names[{ frame.module, frame.offset }];
            if (name.ends_with (" at ??:?"))
                name.resize (name.size() - 8);
            if (name.empty() || name.starts_with ("??"))
                name = "?";
            else if (! frame.own && names[{ frame.module, frame.offset }].ends_with (" at ??:?"))
                name = "? (after " + name + ")";
            char offset[32];
            std::snprintf (offset, sizeof (offset), "+0x%zx", static_cast<size_t> (frame.offset));
            result[i].frames.push_back (name + "  [" + (base.empty() ? "?" : base) + offset + "]");
        }
    return result;
}

std::vector<std::string> realtimeThreads()
{
    std::vector<std::string> result;
    const int listed = std::min (threadsListed.load(), maxThreads);
    for (int i = 0; i < listed; ++i)
    {
        const auto tid = threadIds[i].load();
        std::string name = "?";
        if (auto* file = std::fopen (("/proc/self/task/" + std::to_string (tid) + "/comm").c_str(), "r"))
        {
            char text[64] = {};
            if (std::fgets (text, sizeof (text), file) != nullptr)
                name = std::string (text).substr (0, std::strcspn (text, "\n"));
            std::fclose (file);
        }
        sched_param param {};
        const int policy = sched_getscheduler (tid) & ~SCHED_RESET_ON_FORK;
        sched_getparam (tid, &param);
        const char* policyName = policy == SCHED_FIFO ? "SCHED_FIFO" : policy == SCHED_RR ? "SCHED_RR" : "SCHED_OTHER";
        result.push_back (std::to_string (tid) + " \"" + name + "\" " + policyName + "/" + std::to_string (param.sched_priority));
    }
    return result;
}

CountingHere::CountingHere (Where where)
{
    onRealtimeThread = true;
    callbackWhere = where == Where::loop ? -1 : static_cast<int> (where);
}

CountingHere::~CountingHere()
{
    onRealtimeThread = false;
    callbackWhere = -1;
}

} // namespace loomwell::testing::realtime

//==============================================================================
// Our streams' listeners. The program's static libraries bind to this
// definition; PipeWire's own is the next one.
extern "C" void pw_stream_add_listener (pw_stream* stream, spa_hook* listener, const pw_stream_events* events, void* data)
{
    using namespace loomwell::testing::realtime;
    using AddListener = void (*) (pw_stream*, spa_hook*, const pw_stream_events*, void*);
    static const auto next = reinterpret_cast<AddListener> (dlsym (RTLD_NEXT, "pw_stream_add_listener"));

    if (events == nullptr || events->process == nullptr)
    {
        next (stream, listener, events, data);
        return;
    }
    Marks* marks = nullptr;
    {
        const std::lock_guard lock (marksMutex);
        marks = &allMarks().emplace_back();
    }
    marks->where = whereOf (stream);
    marks->process = events->process;
    marks->data = data;
    marks->rest = *events;
    marks->rest.process = nullptr;
    next (stream, &marks->hook, &markedEvents, marks);
    next (stream, listener, &marks->rest, data);
}

#if LOOMWELL_COUNT_REALTIME_CALLS
//==============================================================================
// The replacements. Each counts, then calls glibc's own function: the
// allocator and the lock functions under the second names glibc exports them
// by, everything else as the next definition after this binary's.

using loomwell::testing::realtime::Call;
using loomwell::testing::realtime::note;

extern "C"
{
void* __libc_malloc (size_t);
void* __libc_calloc (size_t, size_t);
void* __libc_realloc (void*, size_t);
void* __libc_memalign (size_t, size_t);
void* __libc_valloc (size_t);
void* __libc_pvalloc (size_t);
void __libc_free (void*);
int loomwellRtMutexLock (pthread_mutex_t*);
int loomwellRtMutexTrylock (pthread_mutex_t*);
int loomwellRtRwlockRdlock (pthread_rwlock_t*);
int loomwellRtRwlockWrlock (pthread_rwlock_t*);
}

__asm__ (".symver loomwellRtMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
__asm__ (".symver loomwellRtMutexTrylock, __pthread_mutex_trylock@GLIBC_2.2.5");
__asm__ (".symver loomwellRtRwlockRdlock, __pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__ (".symver loomwellRtRwlockWrlock, __pthread_rwlock_wrlock@GLIBC_2.2.5");

namespace
{
// Looked up once, before any thread but the main one runs, and again on a
// first use that comes earlier (another library's constructor).
void* nextDefinition (std::atomic<void*>& slot, const char* name, const char* version = nullptr) noexcept
{
    auto* function = slot.load (std::memory_order_relaxed);
    if (function == nullptr)
    {
        function = version != nullptr ? dlvsym (RTLD_NEXT, name, version) : dlsym (RTLD_NEXT, name);
        slot.store (function, std::memory_order_relaxed);
    }
    return function;
}

#define LOOMWELL_NEXT(name, ...) \
    reinterpret_cast<decltype (&::name)> (nextDefinition (next_##name, #name __VA_OPT__(,) __VA_ARGS__))
#define LOOMWELL_SLOT(name) std::atomic<void*> next_##name { nullptr }

LOOMWELL_SLOT (pthread_mutex_timedlock);
LOOMWELL_SLOT (pthread_mutex_clocklock);
LOOMWELL_SLOT (pthread_cond_wait);
LOOMWELL_SLOT (pthread_cond_timedwait);
LOOMWELL_SLOT (pthread_cond_clockwait);
LOOMWELL_SLOT (sem_wait);
LOOMWELL_SLOT (sem_timedwait);
LOOMWELL_SLOT (sem_clockwait);
LOOMWELL_SLOT (read);
LOOMWELL_SLOT (readv);
LOOMWELL_SLOT (pread);
LOOMWELL_SLOT (pread64);
LOOMWELL_SLOT (write);
LOOMWELL_SLOT (writev);
LOOMWELL_SLOT (pwrite);
LOOMWELL_SLOT (pwrite64);
LOOMWELL_SLOT (recv);
LOOMWELL_SLOT (recvfrom);
LOOMWELL_SLOT (recvmsg);
LOOMWELL_SLOT (send);
LOOMWELL_SLOT (sendto);
LOOMWELL_SLOT (sendmsg);
LOOMWELL_SLOT (poll);
LOOMWELL_SLOT (ppoll);
LOOMWELL_SLOT (select);
LOOMWELL_SLOT (pselect);
LOOMWELL_SLOT (epoll_wait);
LOOMWELL_SLOT (epoll_pwait);
LOOMWELL_SLOT (nanosleep);
LOOMWELL_SLOT (clock_nanosleep);
LOOMWELL_SLOT (usleep);
LOOMWELL_SLOT (sleep);
LOOMWELL_SLOT (sched_yield);
LOOMWELL_SLOT (open);
LOOMWELL_SLOT (open64);
LOOMWELL_SLOT (openat);
LOOMWELL_SLOT (fopen);
LOOMWELL_SLOT (fopen64);
LOOMWELL_SLOT (syscall);

__attribute__ ((constructor (101))) void lookUpNextDefinitions()
{
    LOOMWELL_NEXT (pthread_mutex_timedlock); LOOMWELL_NEXT (pthread_mutex_clocklock);
    LOOMWELL_NEXT (pthread_cond_wait, "GLIBC_2.3.2"); LOOMWELL_NEXT (pthread_cond_timedwait, "GLIBC_2.3.2");
    LOOMWELL_NEXT (pthread_cond_clockwait);
    LOOMWELL_NEXT (sem_wait); LOOMWELL_NEXT (sem_timedwait); LOOMWELL_NEXT (sem_clockwait);
    LOOMWELL_NEXT (read); LOOMWELL_NEXT (readv); LOOMWELL_NEXT (pread); LOOMWELL_NEXT (pread64);
    LOOMWELL_NEXT (write); LOOMWELL_NEXT (writev); LOOMWELL_NEXT (pwrite); LOOMWELL_NEXT (pwrite64);
    LOOMWELL_NEXT (recv); LOOMWELL_NEXT (recvfrom); LOOMWELL_NEXT (recvmsg);
    LOOMWELL_NEXT (send); LOOMWELL_NEXT (sendto); LOOMWELL_NEXT (sendmsg);
    LOOMWELL_NEXT (poll); LOOMWELL_NEXT (ppoll); LOOMWELL_NEXT (select); LOOMWELL_NEXT (pselect);
    LOOMWELL_NEXT (epoll_wait); LOOMWELL_NEXT (epoll_pwait);
    LOOMWELL_NEXT (nanosleep); LOOMWELL_NEXT (clock_nanosleep); LOOMWELL_NEXT (usleep); LOOMWELL_NEXT (sleep);
    LOOMWELL_NEXT (sched_yield);
    LOOMWELL_NEXT (open); LOOMWELL_NEXT (open64); LOOMWELL_NEXT (openat); LOOMWELL_NEXT (fopen); LOOMWELL_NEXT (fopen64);
    LOOMWELL_NEXT (syscall);
    loomwell::testing::realtime::ownBase();
    // backtrace loads the unwinder on its first use; that is done here.
    void* frames[4];
    backtrace (frames, 4);
}

void* allocateOrThrow (size_t size, size_t alignment)
{
    if (void* p = alignment <= alignof (std::max_align_t) ? __libc_malloc (size) : __libc_memalign (alignment, size))
        return p;
    throw std::bad_alloc();
}

#define LOOMWELL_CALLER __builtin_return_address (0)
} // namespace

extern "C"
{
void* malloc (size_t n) noexcept { note (Call::malloc, LOOMWELL_CALLER); return __libc_malloc (n); }
void* calloc (size_t c, size_t n) noexcept { note (Call::calloc, LOOMWELL_CALLER); return __libc_calloc (c, n); }
void* realloc (void* p, size_t n) noexcept { note (Call::realloc, LOOMWELL_CALLER); return __libc_realloc (p, n); }
void* memalign (size_t a, size_t n) noexcept { note (Call::alignedAlloc, LOOMWELL_CALLER); return __libc_memalign (a, n); }
void* aligned_alloc (size_t a, size_t n) noexcept { note (Call::alignedAlloc, LOOMWELL_CALLER); return __libc_memalign (a, n); }
void* valloc (size_t n) noexcept { note (Call::alignedAlloc, LOOMWELL_CALLER); return __libc_valloc (n); }
void* pvalloc (size_t n) noexcept { note (Call::alignedAlloc, LOOMWELL_CALLER); return __libc_pvalloc (n); }
void free (void* p) noexcept
{
    if (p != nullptr)
        note (Call::free, LOOMWELL_CALLER);
    __libc_free (p);
}

int posix_memalign (void** out, size_t a, size_t n) noexcept
{
    if (a < sizeof (void*) || (a & (a - 1)) != 0)
        return EINVAL;
    note (Call::alignedAlloc, LOOMWELL_CALLER);
    *out = __libc_memalign (a, n);
    return *out != nullptr ? 0 : ENOMEM;
}

int pthread_mutex_lock (pthread_mutex_t* m) noexcept { note (Call::mutexLock, LOOMWELL_CALLER); return loomwellRtMutexLock (m); }
int pthread_mutex_trylock (pthread_mutex_t* m) noexcept { note (Call::mutexTrylock, LOOMWELL_CALLER); return loomwellRtMutexTrylock (m); }
int pthread_mutex_timedlock (pthread_mutex_t* m, const timespec* t) noexcept
{
    note (Call::mutexTimedlock, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (pthread_mutex_timedlock) (m, t);
}
int pthread_mutex_clocklock (pthread_mutex_t* m, clockid_t c, const timespec* t) noexcept
{
    note (Call::mutexTimedlock, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (pthread_mutex_clocklock) (m, c, t);
}
int pthread_rwlock_rdlock (pthread_rwlock_t* l) noexcept { note (Call::rwlockLock, LOOMWELL_CALLER); return loomwellRtRwlockRdlock (l); }
int pthread_rwlock_wrlock (pthread_rwlock_t* l) noexcept { note (Call::rwlockLock, LOOMWELL_CALLER); return loomwellRtRwlockWrlock (l); }

int pthread_cond_wait (pthread_cond_t* c, pthread_mutex_t* m)
{
    note (Call::condWait, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (pthread_cond_wait, "GLIBC_2.3.2") (c, m);
}
int pthread_cond_timedwait (pthread_cond_t* c, pthread_mutex_t* m, const timespec* t)
{
    note (Call::condTimedwait, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (pthread_cond_timedwait, "GLIBC_2.3.2") (c, m, t);
}
int pthread_cond_clockwait (pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock, const timespec* t)
{
    note (Call::condTimedwait, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (pthread_cond_clockwait) (c, m, clock, t);
}
int sem_wait (sem_t* s) { note (Call::semWait, LOOMWELL_CALLER); return LOOMWELL_NEXT (sem_wait) (s); }
int sem_timedwait (sem_t* s, const timespec* t) { note (Call::semWait, LOOMWELL_CALLER); return LOOMWELL_NEXT (sem_timedwait) (s, t); }
int sem_clockwait (sem_t* s, clockid_t c, const timespec* t) { note (Call::semWait, LOOMWELL_CALLER); return LOOMWELL_NEXT (sem_clockwait) (s, c, t); }

ssize_t read (int fd, void* b, size_t n) { note (Call::read, LOOMWELL_CALLER); return LOOMWELL_NEXT (read) (fd, b, n); }
ssize_t readv (int fd, const iovec* v, int n) { note (Call::read, LOOMWELL_CALLER); return LOOMWELL_NEXT (readv) (fd, v, n); }
ssize_t pread (int fd, void* b, size_t n, off_t o) { note (Call::read, LOOMWELL_CALLER); return LOOMWELL_NEXT (pread) (fd, b, n, o); }
ssize_t pread64 (int fd, void* b, size_t n, off64_t o) { note (Call::read, LOOMWELL_CALLER); return LOOMWELL_NEXT (pread64) (fd, b, n, o); }
ssize_t write (int fd, const void* b, size_t n) { note (Call::write, LOOMWELL_CALLER); return LOOMWELL_NEXT (write) (fd, b, n); }
ssize_t writev (int fd, const iovec* v, int n) { note (Call::write, LOOMWELL_CALLER); return LOOMWELL_NEXT (writev) (fd, v, n); }
ssize_t pwrite (int fd, const void* b, size_t n, off_t o) { note (Call::write, LOOMWELL_CALLER); return LOOMWELL_NEXT (pwrite) (fd, b, n, o); }
ssize_t pwrite64 (int fd, const void* b, size_t n, off64_t o) { note (Call::write, LOOMWELL_CALLER); return LOOMWELL_NEXT (pwrite64) (fd, b, n, o); }
ssize_t recv (int fd, void* b, size_t n, int f) { note (Call::recv, LOOMWELL_CALLER); return LOOMWELL_NEXT (recv) (fd, b, n, f); }
ssize_t recvfrom (int fd, void* b, size_t n, int f, sockaddr* a, socklen_t* l)
{
    note (Call::recv, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (recvfrom) (fd, b, n, f, a, l);
}
ssize_t recvmsg (int fd, msghdr* m, int f) { note (Call::recv, LOOMWELL_CALLER); return LOOMWELL_NEXT (recvmsg) (fd, m, f); }
ssize_t send (int fd, const void* b, size_t n, int f) { note (Call::send, LOOMWELL_CALLER); return LOOMWELL_NEXT (send) (fd, b, n, f); }
ssize_t sendto (int fd, const void* b, size_t n, int f, const sockaddr* a, socklen_t l)
{
    note (Call::send, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (sendto) (fd, b, n, f, a, l);
}
ssize_t sendmsg (int fd, const msghdr* m, int f) { note (Call::send, LOOMWELL_CALLER); return LOOMWELL_NEXT (sendmsg) (fd, m, f); }

int poll (pollfd* f, nfds_t n, int t) { note (Call::poll, LOOMWELL_CALLER); return LOOMWELL_NEXT (poll) (f, n, t); }
int ppoll (pollfd* f, nfds_t n, const timespec* t, const sigset_t* s) { note (Call::poll, LOOMWELL_CALLER); return LOOMWELL_NEXT (ppoll) (f, n, t, s); }
int select (int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) { note (Call::select, LOOMWELL_CALLER); return LOOMWELL_NEXT (select) (n, r, w, e, t); }
int pselect (int n, fd_set* r, fd_set* w, fd_set* e, const timespec* t, const sigset_t* s)
{
    note (Call::select, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (pselect) (n, r, w, e, t, s);
}
int epoll_wait (int fd, epoll_event* e, int n, int t) { note (Call::epollWait, LOOMWELL_CALLER); return LOOMWELL_NEXT (epoll_wait) (fd, e, n, t); }
int epoll_pwait (int fd, epoll_event* e, int n, int t, const sigset_t* s)
{
    note (Call::epollWait, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (epoll_pwait) (fd, e, n, t, s);
}

int nanosleep (const timespec* r, timespec* left) { note (Call::sleep, LOOMWELL_CALLER); return LOOMWELL_NEXT (nanosleep) (r, left); }
int clock_nanosleep (clockid_t c, int f, const timespec* r, timespec* left)
{
    note (Call::sleep, LOOMWELL_CALLER);
    return LOOMWELL_NEXT (clock_nanosleep) (c, f, r, left);
}
int usleep (useconds_t u) { note (Call::sleep, LOOMWELL_CALLER); return LOOMWELL_NEXT (usleep) (u); }
unsigned int sleep (unsigned int s) { note (Call::sleep, LOOMWELL_CALLER); return LOOMWELL_NEXT (sleep) (s); }
int sched_yield() noexcept { note (Call::yield, LOOMWELL_CALLER); return LOOMWELL_NEXT (sched_yield)(); }

int open (const char* path, int flags, ...)
{
    note (Call::open, LOOMWELL_CALLER);
    va_list args;
    va_start (args, flags);
    const auto mode = static_cast<mode_t> (va_arg (args, unsigned int));
    va_end (args);
    return LOOMWELL_NEXT (open) (path, flags, mode);
}
int open64 (const char* path, int flags, ...)
{
    note (Call::open, LOOMWELL_CALLER);
    va_list args;
    va_start (args, flags);
    const auto mode = static_cast<mode_t> (va_arg (args, unsigned int));
    va_end (args);
    return LOOMWELL_NEXT (open64) (path, flags, mode);
}
int openat (int dir, const char* path, int flags, ...)
{
    note (Call::open, LOOMWELL_CALLER);
    va_list args;
    va_start (args, flags);
    const auto mode = static_cast<mode_t> (va_arg (args, unsigned int));
    va_end (args);
    return LOOMWELL_NEXT (openat) (dir, path, flags, mode);
}
FILE* fopen (const char* path, const char* mode) { note (Call::open, LOOMWELL_CALLER); return LOOMWELL_NEXT (fopen) (path, mode); }
FILE* fopen64 (const char* path, const char* mode) { note (Call::open, LOOMWELL_CALLER); return LOOMWELL_NEXT (fopen64) (path, mode); }

// Only the futex operations that wait are counted.
long syscall (long number, ...) noexcept
{
    va_list args;
    va_start (args, number);
    long a[6];
    for (auto& value : a)
        value = va_arg (args, long);
    va_end (args);
    if (number == SYS_futex)
    {
        const auto op = a[1] & FUTEX_CMD_MASK;
        if (op == FUTEX_WAIT || op == FUTEX_LOCK_PI || op == FUTEX_WAIT_BITSET || op == FUTEX_WAIT_REQUEUE_PI || op == FUTEX_LOCK_PI2)
            note (Call::futexWait, LOOMWELL_CALLER);
    }
    return LOOMWELL_NEXT (syscall) (number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
}

void* operator new (size_t n) { note (Call::operatorNew, LOOMWELL_CALLER); return allocateOrThrow (n, alignof (std::max_align_t)); }
void* operator new[] (size_t n) { note (Call::operatorNew, LOOMWELL_CALLER); return allocateOrThrow (n, alignof (std::max_align_t)); }
void* operator new (size_t n, std::align_val_t a) { note (Call::operatorNew, LOOMWELL_CALLER); return allocateOrThrow (n, static_cast<size_t> (a)); }
void* operator new[] (size_t n, std::align_val_t a) { note (Call::operatorNew, LOOMWELL_CALLER); return allocateOrThrow (n, static_cast<size_t> (a)); }
void* operator new (size_t n, const std::nothrow_t&) noexcept { note (Call::operatorNew, LOOMWELL_CALLER); return __libc_malloc (n); }
void* operator new[] (size_t n, const std::nothrow_t&) noexcept { note (Call::operatorNew, LOOMWELL_CALLER); return __libc_malloc (n); }
void* operator new (size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    note (Call::operatorNew, LOOMWELL_CALLER);
    return __libc_memalign (static_cast<size_t> (a), n);
}
void* operator new[] (size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    note (Call::operatorNew, LOOMWELL_CALLER);
    return __libc_memalign (static_cast<size_t> (a), n);
}

namespace
{
void release (void* p, const void* caller) noexcept
{
    if (p != nullptr)
        note (Call::operatorDelete, caller);
    __libc_free (p);
}
} // namespace

void operator delete (void* p) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete[] (void* p) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete (void* p, size_t) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete[] (void* p, size_t) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete (void* p, std::align_val_t) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete[] (void* p, std::align_val_t) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete (void* p, size_t, std::align_val_t) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete[] (void* p, size_t, std::align_val_t) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete (void* p, const std::nothrow_t&) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete[] (void* p, const std::nothrow_t&) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete (void* p, std::align_val_t, const std::nothrow_t&) noexcept { release (p, LOOMWELL_CALLER); }
void operator delete[] (void* p, std::align_val_t, const std::nothrow_t&) noexcept { release (p, LOOMWELL_CALLER); }
#endif
