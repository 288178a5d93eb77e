#pragma once

// Reading a console recording the way a person with a meter and a scope
// would: how loud each channel is, which tone it carries, and how far one
// channel's clicks lag behind another's.

#include "PipeWireWorld.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace loomwell::testing
{

// The first 0.2 s, in which a sink may still be filling up, count for nothing.
inline constexpr int settleFrames = 9600;

inline float sampleAt (const Recording& r, int frame, int channel)
{
    return r.samples[static_cast<size_t> (frame) * static_cast<size_t> (r.channels) + static_cast<size_t> (channel)];
}

// RMS level in dBFS (a full-scale sine reads -3 dB); -inf for digital silence.
inline double rmsDbfs (const Recording& r, int channel)
{
    double sum = 0.0;
    int n = 0;
    for (int f = std::min (settleFrames, r.frames() / 2); f < r.frames(); ++f, ++n)
        sum += static_cast<double> (sampleAt (r, f, channel)) * sampleAt (r, f, channel);
    return n == 0 || sum <= 0.0 ? -std::numeric_limits<double>::infinity() : 10.0 * std::log10 (sum / n);
}

// The strongest frequency of a channel (Hann-windowed FFT of 8192 frames,
// refined between bins), or nothing when the channel is silent.
inline std::optional<double> dominantFrequency (const Recording& r, int channel)
{
    constexpr int size = 8192;
    const int start = std::min (settleFrames, std::max (0, r.frames() - size));
    if (r.frames() - start < size)
        return std::nullopt;

    std::vector<std::complex<double>> x (size);
    double energy = 0.0;
    for (int i = 0; i < size; ++i)
    {
        const double v = sampleAt (r, start + i, channel);
        energy += v * v;
        x[static_cast<size_t> (i)] = v * (0.5 - 0.5 * std::cos (2.0 * std::numbers::pi * i / (size - 1)));
    }
    if (energy / size < 1.0e-10)
        return std::nullopt;

    // Iterative radix-2 FFT.
    for (size_t i = 1, j = 0; i < x.size(); ++i)
    {
        size_t bit = x.size() >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap (x[i], x[j]);
    }
    for (size_t len = 2; len <= x.size(); len <<= 1)
    {
        const auto w = std::polar (1.0, -2.0 * std::numbers::pi / static_cast<double> (len));
        for (size_t i = 0; i < x.size(); i += len)
        {
            std::complex<double> wn (1.0);
            for (size_t k = 0; k < len / 2; ++k, wn *= w)
            {
                const auto u = x[i + k], v = x[i + k + len / 2] * wn;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }

    size_t peak = 1;
    for (size_t k = 1; k < size / 2; ++k)
        if (std::abs (x[k]) > std::abs (x[peak]))
            peak = k;
    const double a = std::log (std::abs (x[peak - 1]) + 1e-30), b = std::log (std::abs (x[peak]) + 1e-30),
                 c = std::log (std::abs (x[peak + 1]) + 1e-30);
    const double denominator = a - 2.0 * b + c;
    const double shift = denominator != 0.0 ? 0.5 * (a - c) / denominator : 0.0;
    return (static_cast<double> (peak) + shift) * r.sampleRate / size;
}

// How many frames `channel` lags behind `reference` (negative: ahead), by
// cross-correlating the two after a first difference, which leaves clicks
// standing and flattens any tone mixed in with them. The reference must
// carry clicks and little else; nothing when the correlation finds no clear
// match within maxLag frames.
inline std::optional<int> clickLag (const Recording& r, int reference, int channel, int maxLag)
{
    const auto diff = [&r] (int ch)
    {
        std::vector<float> d (static_cast<size_t> (r.frames()), 0.0f);
        for (int f = 1; f < r.frames(); ++f)
            d[static_cast<size_t> (f)] = sampleAt (r, f, ch) - sampleAt (r, f - 1, ch);
        return d;
    };
    const auto ref = diff (reference), sig = diff (channel);

    // The reference is sparse: only its clicks take part.
    float top = 0.0f;
    for (const auto v : ref)
        top = std::max (top, std::abs (v));
    if (top < 0.05f)
        return std::nullopt;
    std::vector<int> at;
    double self = 0.0;
    for (size_t i = 0; i < ref.size(); ++i)
        if (std::abs (ref[i]) > 0.1f * top)
        {
            at.push_back (static_cast<int> (i));
            self += static_cast<double> (ref[i]) * ref[i];
        }

    int bestLag = 0;
    double best = -1.0;
    for (int lag = -maxLag; lag <= maxLag; ++lag)
    {
        double sum = 0.0;
        for (const auto i : at)
            if (i + lag >= 0 && i + lag < static_cast<int> (sig.size()))
                sum += static_cast<double> (ref[static_cast<size_t> (i)]) * sig[static_cast<size_t> (i + lag)];
        if (sum > best)
        {
            best = sum;
            bestLag = lag;
        }
    }
    // The same clicks at about the same level: most of the reference's own energy.
    if (best < 0.5 * self)
        return std::nullopt;
    return bestLag;
}

// Runs of at least `minFrames` exact zeros in a channel that should sound,
// after the settling time: blocks the source did not deliver in time.
inline std::vector<std::pair<int, int>> dropouts (const Recording& r, int channel, int minFrames = 64)
{
    std::vector<std::pair<int, int>> result;
    int run = 0;
    for (int f = std::min (settleFrames, r.frames()); f <= r.frames(); ++f)
    {
        if (f < r.frames() && sampleAt (r, f, channel) == 0.0f)
        {
            ++run;
            continue;
        }
        if (run >= minFrames)
            result.emplace_back (f - run, run);
        run = 0;
    }
    return result;
}

// A stereo 32-bit float WAV at 48 kHz of single-sample clicks at `level`,
// one every `period` seconds, on both channels.
inline void writeClickWav (const std::string& path, float level, double period, double seconds)
{
    const auto frames = static_cast<uint32_t> (seconds * 48000);
    const auto every = static_cast<uint32_t> (period * 48000);
    const uint32_t dataBytes = frames * 2 * 4;
    std::ofstream out (path, std::ios::binary);
    const auto u16 = [&] (uint32_t v) { out.put (static_cast<char> (v & 0xFF)).put (static_cast<char> (v >> 8 & 0xFF)); };
    const auto u32 = [&] (uint32_t v) { u16 (v & 0xFFFF); u16 (v >> 16); };
    out << "RIFF"; u32 (36 + dataBytes); out << "WAVEfmt "; u32 (16);
    u16 (3); u16 (2); u32 (48000); u32 (48000 * 2 * 4); u16 (2 * 4); u16 (32);
    out << "data"; u32 (dataBytes);
    std::vector<float> samples (static_cast<size_t> (frames) * 2, 0.0f);
    for (uint32_t f = every / 2; f < frames; f += every)
        samples[f * 2] = samples[f * 2 + 1] = level;
    out.write (reinterpret_cast<const char*> (samples.data()), static_cast<std::streamsize> (dataBytes));
}

} // namespace loomwell::testing
