#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

// libFuzzer's entry points, which every fuzzer defines.
extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize (int* argc, char*** argv);

namespace loomwell::fuzz
{

// A broken promise ends the run as a crash, so libFuzzer keeps the input.
inline void check (bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf (stderr, "fuzz check failed: %s\n", what);
    __builtin_trap();
}

// Whether the text is well-formed UTF-8 (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF) and, unless allowed, free of control
// characters (Unicode's Cc). Written apart from the production decoders so
// that the fuzzers do not check the code with itself.
inline bool isCleanUtf8 (std::string_view text, bool controlsAllowed = false)
{
    for (size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<uint8_t> (text[i]);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        uint32_t c = length == 1 ? lead : (lead & (0xFFu >> (length + 1)));
        for (size_t k = 1; k < length; ++k)
        {
            const auto next = static_cast<uint8_t> (text[i + k]);
            if ((next >> 6) != 0x2)
                return false;
            c = (c << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t smallestOfLength[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (c < smallestOfLength[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (! controlsAllowed && (c < 0x20 || (c >= 0x7F && c <= 0x9F)))
            return false;
        i += length;
    }
    return true;
}

// A fresh directory under TMPDIR, removed when the fuzzer exits.
inline std::filesystem::path scratchDirectory (const char* name)
{
    static std::filesystem::path made;
    auto pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    check (::mkdtemp (pattern.data()) != nullptr, "no scratch directory");
    made = pattern;
    std::atexit ([] { std::error_code ignored; std::filesystem::remove_all (made, ignored); });
    return made;
}

// Reads a fuzzer's input from the front: single bytes, and strings ended by a
// backslash and one more character ("\\" stands for one backslash), so
// that committed inputs can be written by hand.
class InputReader
{
public:
    InputReader (const uint8_t* data, size_t size) : rest (reinterpret_cast<const char*> (data), size) {}

    bool empty() const { return rest.empty(); }

    uint8_t byte() { return rest.empty() ? 0 : static_cast<uint8_t> (take()); }

    std::string text()
    {
        std::string result;
        while (! rest.empty())
        {
            const char c = take();
            if (c != '\\')
                result += c;
            else if (rest.empty() || take() != '\\')
                break;
            else
                result += '\\';
        }
        return result;
    }

private:
    char take()
    {
        const char c = rest.front();
        rest.remove_prefix (1);
        return c;
    }

    std::string_view rest;
};

} // namespace loomwell::fuzz
