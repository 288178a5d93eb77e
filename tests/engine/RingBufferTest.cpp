#include "RingBuffer.h"

#include <gtest/gtest.h>

TEST (RingBuffer, placeholder) { loomwell::RingBuffer r; EXPECT_EQ (r.fill(), 0); }
