#pragma once

#include "PipeWireWorld.h"

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

#include <memory>

namespace loomwell::testing
{

// A test suite that runs against a private PipeWire world of its own, with
// JUCE set up on the test's thread: both start before the suite's first test
// and stop after its last. A test checks ready before it uses the world.
class PipeWireSuite : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        juce::initialiseJuce_GUI();
        world = std::make_unique<PipeWireWorld>();
        ready = world->start();
    }

    static void TearDownTestSuite()
    {
        world.reset();
        juce::shutdownJuce_GUI();
    }

    static inline std::unique_ptr<PipeWireWorld> world;
    static inline bool ready = false;
};

} // namespace loomwell::testing
