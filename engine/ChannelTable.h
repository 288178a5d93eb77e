#pragma once

#include "RingBuffer.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace loomwell
{

enum SourceKind : int32_t
{
    sourceKindApplication = 0,
    sourceKindInputDevice = 1,
    sourceKindOutputDevice = 2
};

// One source on a slot of one console.
struct CaptureChannel
{
    int32_t channelId = -1;
    int32_t sourceKind = sourceKindApplication;
    std::string bundleId;
    std::string name;
    uint32_t deviceId = 0;
    std::atomic<float> level { 0.0f };
    int32_t outputPair = 0;
    std::atomic<bool> active { false };

    // Shared rather than held by value: when a slot entry takes over an extra
    // entry's source, the running capture's buffer moves with its source
    // instead of the capture being restarted; and a capture keeps its share
    // until its stream can no longer call back, so a writer that stops late
    // never writes into freed memory (see shareRingBuffer).
    std::shared_ptr<RingBuffer> ringBuffer;
};

// One record of a slot snapshot, owned by the caller.
struct SlotSourceInfo
{
    int32_t channelId = -1;
    int32_t sourceKind = sourceKindApplication;
    std::string bundleId;
    std::string name;
    uint32_t deviceId = 0;

    bool operator== (const SlotSourceInfo&) const = default;
};

// Everything the interface and the meters read of one entry, copied under
// the lock.
struct ChannelState
{
    int32_t channelId = -1;
    int32_t sourceKind = sourceKindApplication;
    std::string bundleId;
    std::string name;
    uint32_t deviceId = 0;
    float level = 0.0f;
    int32_t outputPair = 0;
    bool active = false;
};

// What removeChannel did. When a slot entry takes over an extra entry's
// source, the extra entry's running capture keeps writing into the same
// ring buffer, which now belongs to the slot entry: whoever keeps captures by
// channel id must then file that capture under `movedToChannelId`.
struct RemoveOutcome
{
    int32_t removedChannelId = -1;  // entry whose source went away (-1: nothing changed)
    int32_t movedFromChannelId = -1; // extra entry whose source moved into the slot entry
    int32_t movedToChannelId = -1;   // the slot entry that now carries it

    bool changed() const noexcept { return removedChannelId >= 0; }
};

// The sources of one console and the lock-free hand-off to its audio callback.
//
// Every operation runs on the main thread under channelMutex. The audio
// callback never looks at `channels`: the main thread publishes an immutable
// MixList (the active entries with their ring buffers and output pairs) through
// an atomic pointer after every change. At the start of a block the callback
// takes the newest list and announces it in `heldList`, re-checking that it
// is still the newest (so the main thread either sees the announcement or the
// callback sees the newer list); at the end of the block it clears
// `heldList`. After publishing, the main thread destroys removed entries,
// superseded lists, and resets or replaces ring buffers only once the
// callback holds no list older than the current one: it waits a bounded time
// for that (only as long as one block is being mixed; not at all when no
// block is running). Should the callback be stuck in a block longer than
// that, nothing is freed: removed objects are parked and freed by a later
// operation, and a ring buffer that must be emptied is replaced instead.
class ChannelTable
{
public:
    static constexpr int numSlots = 4;
    static constexpr int maxSourcesPerSlot = 4;
    static constexpr std::array<const char*, numSlots> slotNames { "Music", "Game", "A", "B" };
    static constexpr std::array<int32_t, numSlots> slotOutputPairs { 2, 1, 3, 4 };
    static constexpr int32_t initialMixBlockSize = 512;

    ChannelTable();
    ~ChannelTable();

    ChannelTable (const ChannelTable&) = delete;
    ChannelTable& operator= (const ChannelTable&) = delete;

    // Main-thread operations.
    void rebuildSlotEntries();
    int32_t addChannel (uint32_t slot, const std::string& bundleId, const std::string& name);
    int32_t addInputChannel (uint32_t slot, const std::string& uid, const std::string& name, uint32_t deviceId);
    RemoveOutcome removeChannel (uint32_t slot, const std::string& identifier);
    std::vector<SlotSourceInfo> channelsForSlot (uint32_t slot) const;

    // The ring buffer of the entry with this id, for the capture that feeds
    // it; nullptr when there is no such entry. The pointer stays valid until
    // that entry's source is removed or the slot entries are rebuilt.
    RingBuffer* ringBufferFor (int32_t channelId) const;

    // The same buffer for a capture to write into. The capture keeps this
    // share until its stream can no longer call back (dropping it on the
    // main thread); while anyone but the table holds a buffer, the table
    // never empties it in place but gives the entry a new one, so a writer
    // that outlives its source cannot write into the next source's audio.
    std::shared_ptr<RingBuffer> shareRingBuffer (int32_t channelId) const;

    // Every entry in list order (meters, interface, tests).
    std::vector<ChannelState> copyChannelStates() const;

    // Called before the device starts (no block is being mixed then).
    void prepareToMix (int blockSize);
    int32_t getMixBlockSize() const;

    // How long the main thread waits for the audio callback to let go of a
    // superseded list before parking what it would free.
    void setReaderWaitLimit (std::chrono::milliseconds limit);

    // Objects parked because the callback was still inside a block (tests).
    size_t parkedObjectCount() const;

    //==============================================================================
    // Audio-thread side, used by mixBlock (Mixer.h).
    struct MixEntry
    {
        CaptureChannel* channel;
        RingBuffer* ringBuffer;
        int32_t outputPair;
    };

    struct MixList
    {
        std::vector<MixEntry> entries;
    };

    // Take the newest list for one block; never waits. Pair with endMix().
    const MixList& beginMix() noexcept;
    void endMix() noexcept;

    // Scratch of the mixing callback; audio thread only (and prepareToMix).
    std::vector<float>& getMixScratch() noexcept { return mixScratch; }

private:
    int32_t addSource (uint32_t slot, const std::string& id, const std::string& name,
                       int32_t kind, uint32_t deviceId);
    std::unique_ptr<CaptureChannel> makeEntry (int32_t outputPair);
    int countActive (int32_t outputPair) const;

    void publishLocked();
    bool readerQuiescent() const noexcept;
    bool waitForReader();
    void emptyRingBufferLocked (CaptureChannel& entry);
    void freeParkedIfQuiescent();

    mutable std::mutex channelMutex;
    std::vector<std::unique_ptr<CaptureChannel>> channels;
    int32_t nextChannelId = 0;
    int32_t mixBlockSize = initialMixBlockSize;
    std::vector<float> mixScratch;

    std::unique_ptr<MixList> currentList;
    std::atomic<const MixList*> publishedList { nullptr };
    std::atomic<const MixList*> heldList { nullptr };

    std::vector<std::unique_ptr<MixList>> parkedLists;
    std::vector<std::unique_ptr<CaptureChannel>> parkedChannels;
    std::vector<std::shared_ptr<RingBuffer>> parkedRingBuffers;

    std::chrono::milliseconds readerWaitLimit { 250 };
};

} // namespace loomwell
