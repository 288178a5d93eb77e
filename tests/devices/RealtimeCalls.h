#pragma once

#include <string>
#include <vector>

// What the real-time threads call. A test binary that links RealtimeCalls.cpp
// replaces the allocator, operator new and delete, the pthread lock and wait
// functions and the blocking system calls' libc wrappers, and counts every
// call made on a thread that ran one of our PipeWire process callbacks: inside
// such a callback (the console's output stream, an application capture, an
// input capture) or elsewhere on that thread, which is PipeWire's data loop
// scheduling the graph. Our callbacks are found without touching the program:
// pw_stream_add_listener is replaced too, and puts a listener before and one
// after each of our stream's own, whose process events open and close the
// callback's scope.
//
// Under a sanitizer, whose runtime owns the allocator and the lock functions,
// only the listeners are put in (callbacks are still counted, calls are not).
namespace loomwell::testing::realtime
{

enum class Call : int
{
    malloc, calloc, realloc, alignedAlloc, operatorNew,
    free, operatorDelete,
    mutexLock, mutexTrylock, mutexTimedlock, rwlockLock,
    condWait, condTimedwait, semWait,
    read, write, recv, send, poll, select, epollWait, sleep, futexWait, yield, open,
    numCalls
};

enum class Group { allocation, release, lock, wait, blockingCall };

// Where a counted call was made.
enum class Where : int
{
    console,      // inside the console's output stream's process callback
    appCapture,   // inside an application capture's process callback
    inputCapture, // inside an input capture's process callback
    otherStream,  // inside another stream's process callback of this process
    loop,         // on a data-loop thread outside every process callback
    numWhere
};

// Whose code asked for it: the first frame of the call's stack that is not
// in the C or C++ runtime lies in this binary (ours, JUCE included) or in
// PipeWire's libraries and plugins. Calls outside the callbacks are
// PipeWire's by definition.
enum class Origin : int { ours, pipewire, numOrigins };

// The test's phases, and one more for the counters' own check.
constexpr int numPhases = 4;
constexpr int numCalls = static_cast<int> (Call::numCalls);
constexpr int numWhere = static_cast<int> (Where::numWhere);

const char* nameOf (Call);
const char* nameOf (Where);
const char* nameOf (Origin);
Group groupOf (Call);
const char* nameOf (Group);

// False when the calls are not counted (sanitizer builds).
bool callsAreCounted();

// Everything counted from now on belongs to this phase (0 .. numPhases - 1).
void setPhase (int phase);

long calls (int phase, Where, Origin, Call);
long callbacks (int phase, Where);

// The first few stacks of every (phase, where, origin, call), symbolised.
struct Trace
{
    int phase = 0;
    Where where = Where::loop;
    Origin origin = Origin::pipewire;
    Call call = Call::malloc;
    std::vector<std::string> frames;
};
std::vector<Trace> traces();

// "tid name policy/priority" of every thread that ran one of our callbacks.
std::vector<std::string> realtimeThreads();

// For the counters' own test: this thread's calls are counted as if it ran
// a callback of that kind (Where::loop: outside every callback) until the
// scope ends.
class CountingHere
{
public:
    explicit CountingHere (Where);
    ~CountingHere();
    CountingHere (const CountingHere&) = delete;
    CountingHere& operator= (const CountingHere&) = delete;
};

} // namespace loomwell::testing::realtime
