#pragma once

#include "ChannelTable.h"

namespace loomwell
{

// One block of a console's audio callback: silences every output, then adds
// each active source of the table, at unity gain, into its slot's pair of
// outputs and stores the source's peak level. Real-time safe: it never locks
// or waits, and allocates only when a block is longer than any before it.
void mixBlock (ChannelTable& table, float* const* outputs, int numOutputs, int numFrames) noexcept;

} // namespace loomwell
