#include "ChannelTable.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace loomwell
{

ChannelTable::ChannelTable()
    : mixScratch (static_cast<size_t> (2 * initialMixBlockSize), 0.0f),
      currentList (std::make_unique<MixList>())
{
    publishedList.store (currentList.get(), std::memory_order_seq_cst);
}

// The console closes its device before its table goes, so no block can be
// running here.
ChannelTable::~ChannelTable() = default;

//==============================================================================
std::unique_ptr<CaptureChannel> ChannelTable::makeEntry (int32_t outputPair)
{
    auto entry = std::make_unique<CaptureChannel>();
    entry->outputPair = outputPair;
    entry->ringBuffer = std::make_shared<RingBuffer>();
    entry->channelId = nextChannelId++;
    return entry;
}

int ChannelTable::countActive (int32_t outputPair) const
{
    return static_cast<int> (std::count_if (channels.begin(), channels.end(), [outputPair] (const auto& c)
    {
        return c->outputPair == outputPair && c->active.load (std::memory_order_relaxed);
    }));
}

//==============================================================================
void ChannelTable::rebuildSlotEntries()
{
    const std::lock_guard lock (channelMutex);
    freeParkedIfQuiescent();

    // Made aside first so that a failed allocation leaves the table as it was.
    std::vector<std::unique_ptr<CaptureChannel>> fresh;
    fresh.reserve (numSlots);

    for (size_t i = 0; i < numSlots; ++i)
    {
        fresh.push_back (makeEntry (slotOutputPairs[i]));
        fresh.back()->name = slotNames[i];
    }

    parkedChannels.reserve (parkedChannels.size() + channels.size());

    for (auto& old : channels)
        parkedChannels.push_back (std::move (old));

    channels = std::move (fresh);
    publishLocked();
}

int32_t ChannelTable::addChannel (uint32_t slot, const std::string& bundleId, const std::string& name)
{
    return addSource (slot, bundleId, name, sourceKindApplication, 0);
}

int32_t ChannelTable::addInputChannel (uint32_t slot, const std::string& uid, const std::string& name, uint32_t deviceId)
{
    return addSource (slot, uid, name, sourceKindInputDevice, deviceId);
}

int32_t ChannelTable::addSource (uint32_t slot, const std::string& id, const std::string& name,
                                 int32_t kind, uint32_t deviceId)
{
    if (slot >= numSlots)
        return -1;

    const std::lock_guard lock (channelMutex);
    freeParkedIfQuiescent();

    if (channels.empty())
        return -1;

    auto& slotEntry = *channels[slot];
    const auto pair = slotEntry.outputPair;

    if (countActive (pair) >= maxSourcesPerSlot)
        return -1;

    std::string newId = id;
    std::string newName = name;

    if (! slotEntry.active.load (std::memory_order_relaxed))
    {
        // An idle slot entry is in no published list; the callback may still
        // be mixing an older one, which emptyRingBufferLocked waits out.
        emptyRingBufferLocked (slotEntry);
        slotEntry.sourceKind = kind;
        slotEntry.deviceId = deviceId;
        slotEntry.bundleId = std::move (newId);
        slotEntry.name = std::move (newName);
        slotEntry.active.store (true, std::memory_order_release);
        publishLocked();
        return slotEntry.channelId;
    }

    auto entry = makeEntry (pair);
    entry->sourceKind = kind;
    entry->deviceId = deviceId;
    entry->bundleId = std::move (newId);
    entry->name = std::move (newName);
    entry->active.store (true, std::memory_order_release);

    const auto channelId = entry->channelId;
    channels.push_back (std::move (entry));
    publishLocked();
    return channelId;
}

RemoveOutcome ChannelTable::removeChannel (uint32_t slot, const std::string& identifier)
{
    RemoveOutcome outcome;

    if (slot >= numSlots)
        return outcome;

    const std::lock_guard lock (channelMutex);
    freeParkedIfQuiescent();

    if (channels.empty())
        return outcome;

    auto& slotEntry = *channels[slot];
    const auto pair = slotEntry.outputPair;
    const auto firstExtra = channels.begin() + numSlots;

    const auto extraWithSource = std::find_if (firstExtra, channels.end(), [&] (const auto& c)
    {
        return c->outputPair == pair && c->bundleId == identifier;
    });

    if (extraWithSource != channels.end())
    {
        outcome.removedChannelId = (*extraWithSource)->channelId;
        parkedChannels.push_back (std::move (*extraWithSource));
        channels.erase (extraWithSource);
        publishLocked();
        return outcome;
    }

    // An idle slot entry carries no source, whatever the identifier.
    if (! slotEntry.active.load (std::memory_order_relaxed) || slotEntry.bundleId != identifier)
        return outcome;

    outcome.removedChannelId = slotEntry.channelId;

    const auto successor = std::find_if (firstExtra, channels.end(), [pair] (const auto& c)
    {
        return c->outputPair == pair && c->active.load (std::memory_order_relaxed);
    });

    if (successor != channels.end())
    {
        // The slot entry takes over the extra entry's source together with
        // its ring buffer, so the capture feeding it carries on undisturbed
        // (and nothing it wrote is lost); the slot entry's old buffer, whose
        // writer has been stopped, goes away with the extra entry.
        auto& moved = **successor;
        outcome.movedFromChannelId = moved.channelId;
        outcome.movedToChannelId = slotEntry.channelId;

        slotEntry.sourceKind = moved.sourceKind;
        slotEntry.bundleId = std::move (moved.bundleId);
        slotEntry.name = std::move (moved.name);
        slotEntry.deviceId = moved.deviceId;
        std::swap (slotEntry.ringBuffer, moved.ringBuffer);

        parkedChannels.push_back (std::move (*successor));
        channels.erase (successor);
        publishLocked();
        return outcome;
    }

    slotEntry.active.store (false, std::memory_order_release);
    publishLocked();

    slotEntry.sourceKind = sourceKindApplication;
    slotEntry.bundleId.clear();
    slotEntry.name = slotNames[slot];
    slotEntry.deviceId = 0;
    emptyRingBufferLocked (slotEntry);
    slotEntry.level.store (0.0f, std::memory_order_relaxed);
    return outcome;
}

std::vector<SlotSourceInfo> ChannelTable::channelsForSlot (uint32_t slot) const
{
    std::vector<SlotSourceInfo> result;

    if (slot >= numSlots)
        return result;

    const std::lock_guard lock (channelMutex);

    if (channels.empty())
        return result;

    const auto pair = channels[slot]->outputPair;

    for (const auto& c : channels)
        if (c->outputPair == pair && c->active.load (std::memory_order_relaxed))
            result.push_back ({ c->channelId, c->sourceKind, c->bundleId, c->name, c->deviceId });

    return result;
}

RingBuffer* ChannelTable::ringBufferFor (int32_t channelId) const
{
    return shareRingBuffer (channelId).get();
}

std::shared_ptr<RingBuffer> ChannelTable::shareRingBuffer (int32_t channelId) const
{
    const std::lock_guard lock (channelMutex);

    for (const auto& c : channels)
        if (c->channelId == channelId)
            return c->ringBuffer;

    return nullptr;
}

std::vector<ChannelState> ChannelTable::copyChannelStates() const
{
    const std::lock_guard lock (channelMutex);
    std::vector<ChannelState> result;
    result.reserve (channels.size());

    for (const auto& c : channels)
        result.push_back ({ c->channelId, c->sourceKind, c->bundleId, c->name, c->deviceId,
                            c->level.load (std::memory_order_relaxed), c->outputPair,
                            c->active.load (std::memory_order_relaxed) });

    return result;
}

void ChannelTable::prepareToMix (int blockSize)
{
    const std::lock_guard lock (channelMutex);
    mixBlockSize = std::max (blockSize, 1);
    // Sized here, before the device runs, so that the steady state of the
    // callback never has to grow it.
    mixScratch.resize (static_cast<size_t> (2 * mixBlockSize));
}

int32_t ChannelTable::getMixBlockSize() const
{
    const std::lock_guard lock (channelMutex);
    return mixBlockSize;
}

void ChannelTable::setReaderWaitLimit (std::chrono::milliseconds limit)
{
    const std::lock_guard lock (channelMutex);
    readerWaitLimit = limit;
}

size_t ChannelTable::parkedObjectCount() const
{
    const std::lock_guard lock (channelMutex);
    return parkedLists.size() + parkedChannels.size() + parkedRingBuffers.size();
}

//==============================================================================
void ChannelTable::publishLocked()
{
    auto next = std::make_unique<MixList>();
    next->entries.reserve (channels.size());

    for (const auto& c : channels)
        if (c->active.load (std::memory_order_relaxed))
            next->entries.push_back ({ c.get(), c->ringBuffer.get(), c->outputPair });

    parkedLists.reserve (parkedLists.size() + 1);
    publishedList.store (next.get(), std::memory_order_seq_cst);
    parkedLists.push_back (std::move (currentList));
    currentList = std::move (next);

    if (waitForReader())
        freeParkedIfQuiescent();
}

bool ChannelTable::readerQuiescent() const noexcept
{
    const auto* held = heldList.load (std::memory_order_seq_cst);
    return held == nullptr || held == currentList.get();
}

bool ChannelTable::waitForReader()
{
    if (readerQuiescent())
        return true;

    // The callback holds an older list only while it mixes one block.
    const auto deadline = std::chrono::steady_clock::now() + readerWaitLimit;

    while (std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::yield();

        if (readerQuiescent())
            return true;
    }

    return false;
}

void ChannelTable::emptyRingBufferLocked (CaptureChannel& entry)
{
    const bool writerGone = entry.ringBuffer.use_count() == 1;

    if (writerGone && waitForReader())
    {
        entry.ringBuffer->reset();
        return;
    }

    // The callback may still read the old buffer, or a capture still holds
    // it: leave it to them and give the entry a new, empty one.
    auto fresh = std::make_shared<RingBuffer>();
    parkedRingBuffers.push_back (std::move (entry.ringBuffer));
    entry.ringBuffer = std::move (fresh);
}

void ChannelTable::freeParkedIfQuiescent()
{
    if (! readerQuiescent())
        return;

    parkedLists.clear();
    parkedChannels.clear();
    parkedRingBuffers.clear();
}

//==============================================================================
const ChannelTable::MixList& ChannelTable::beginMix() noexcept
{
    const auto* list = publishedList.load (std::memory_order_seq_cst);

    for (;;)
    {
        heldList.store (list, std::memory_order_seq_cst);
        const auto* newest = publishedList.load (std::memory_order_seq_cst);

        if (newest == list)
            return *list;

        list = newest;
    }
}

void ChannelTable::endMix() noexcept
{
    heldList.store (nullptr, std::memory_order_seq_cst);
}

} // namespace loomwell
