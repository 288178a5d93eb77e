#pragma once

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

namespace loomwell::testing
{

// JUCE for a whole test program: ::testing::AddGlobalTestEnvironment (new JuceEnvironment).
struct JuceEnvironment final : ::testing::Environment
{
    void SetUp() override { juce::initialiseJuce_GUI(); }
    void TearDown() override { juce::shutdownJuce_GUI(); }
};

} // namespace loomwell::testing
