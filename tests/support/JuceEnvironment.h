#pragma once

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

namespace loomwell::testing
{

// JUCE's message loop and singletons for the whole test program; a test file
// registers it with ::testing::AddGlobalTestEnvironment.
class JuceEnvironment final : public ::testing::Environment
{
public:
    void SetUp() override { juce::initialiseJuce_GUI(); }
    void TearDown() override { juce::shutdownJuce_GUI(); }
};

} // namespace loomwell::testing
