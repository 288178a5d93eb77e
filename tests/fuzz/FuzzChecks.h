#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// libFuzzer's entry points, which every fuzzer defines.
extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize (int* argc, char*** argv);

namespace loomwell::fuzz
{

// A broken promise ends the run as a crash, so libFuzzer keeps the input.
[[noreturn]] inline void fail (const char* what)
{
    std::fprintf (stderr, "fuzz check failed: %s\n", what);
    __builtin_trap();
}

inline void check (bool holds, const char* what)
{
    if (! holds)
        fail (what);
}

// Decodes well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF) and calls onCodePoint for each character; false
// at the first ill-formed byte. Written apart from the production decoders
// so that the fuzzers do not check the code with itself.
template <typename OnCodePoint>
bool forEachCodePoint (std::string_view text, OnCodePoint&& onCodePoint)
{
    for (size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<uint8_t> (text[i]);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;

        uint32_t codePoint = length == 1 ? lead : (lead & (0xFFu >> (length + 1)));
        for (size_t k = 1; k < length; ++k)
        {
            const auto next = static_cast<uint8_t> (text[i + k]);
            if ((next >> 6) != 0x2)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t smallestOfLength[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (codePoint < smallestOfLength[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;

        onCodePoint (codePoint);
        i += length;
    }
    return true;
}

inline bool isControl (uint32_t codePoint)
{
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F); // Unicode's Cc
}

// Well-formed UTF-8 without control characters.
inline bool isCleanUtf8 (std::string_view text)
{
    bool anyControl = false;
    return forEachCodePoint (text, [&] (uint32_t c) { anyControl = anyControl || isControl (c); }) && ! anyControl;
}

// Reads a fuzzer's input from the front: single bytes, and strings ended by a
// backslash and one more character ("\\" stands for one backslash), so
// that committed inputs can be written by hand.
class InputReader
{
public:
    InputReader (const uint8_t* data, size_t size) : rest (reinterpret_cast<const char*> (data), size) {}

    bool empty() const { return rest.empty(); }

    uint8_t byte()
    {
        if (rest.empty())
            return 0;
        const auto b = static_cast<uint8_t> (rest.front());
        rest.remove_prefix (1);
        return b;
    }

    std::string text()
    {
        std::string result;
        while (! rest.empty())
        {
            const char c = rest.front();
            rest.remove_prefix (1);
            if (c != '\\')
            {
                result += c;
                continue;
            }
            if (rest.empty())
                break;
            const char next = rest.front();
            rest.remove_prefix (1);
            if (next != '\\')
                break;
            result += '\\';
        }
        return result;
    }

private:
    std::string_view rest;
};

} // namespace loomwell::fuzz
