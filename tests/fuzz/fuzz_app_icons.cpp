// Desktop entries and icon themes as a hostile desktop may lay them out, and
// the icon lookup over them: it must come back, with an icon or without.
// The input's format is in README.md. Paths are relative without "." or ".."
// parts; files and pipes are made first, links last and never below another
// link, so the layout stays inside the root whatever the input says.

#include "FuzzChecks.h"

#include "AppIcons.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using loomwell::fuzz::check;
namespace fuzz = loomwell::fuzz;

namespace
{

constexpr size_t maxEntries = 24;
constexpr size_t maxPathBytes = 300;

struct Entry
{
    std::string kind, path, target, content;
};

fs::path scratchRoot;

bool isSafeRelativePath (std::string_view path)
{
    if (path.empty() || path.size() > maxPathBytes || path.front() == '/' || path.find ('\0') != std::string_view::npos)
        return false;
    for (const auto& part : fs::path (path))
        if (part.empty() || part == "." || part == "..")
            return false;
    return true;
}

// True when every directory from the root down to `dir` is a real directory
// (made here when missing), so that nothing is made through a link.
bool makeRealDirectories (const fs::path& relativeDir)
{
    auto dir = scratchRoot;
    for (const auto& part : relativeDir)
    {
        if (part.empty())
            continue;
        dir /= part;
        std::error_code error;
        const auto type = fs::symlink_status (dir, error).type();
        if (type == fs::file_type::not_found ? ! fs::create_directory (dir, error) : type != fs::file_type::directory)
            return false;
    }
    return true;
}

std::vector<Entry> parseLayout (std::string_view text, std::vector<std::string>& identities)
{
    std::vector<Entry> entries { { "file", "data/applications/fuzz.desktop", {}, {} } };
    Entry* current = &entries.front();

    size_t start = 0;
    while (start <= text.size())
    {
        const auto end = std::min (text.find ('\n', start), text.size());
        const auto line = text.substr (start, end - start);
        start = end + 1;

        if (line.substr (0, 4) != "--- ")
        {
            if (current != nullptr)
                current->content.append (line).append (end < text.size() ? "\n" : "");
            continue;
        }

        current = nullptr;
        auto rest = line.substr (4);
        const auto word = [&rest]
        {
            const auto space = std::min (rest.find (' '), rest.size());
            const auto w = rest.substr (0, space);
            rest.remove_prefix (std::min (space + 1, rest.size()));
            return std::string (w);
        };
        const auto kind = word();
        if (kind == "id")
        {
            // Identities come cleaned by the identity rule: valid UTF-8.
            if (fuzz::isCleanUtf8 (rest, true) && ! rest.empty())
                identities.emplace_back (rest);
            continue;
        }
        auto path = word();
        if (entries.size() >= maxEntries || ! isSafeRelativePath (path) || (kind != "file" && kind != "fifo" && kind != "link"))
            continue;
        entries.push_back ({ kind, std::move (path), std::string (rest), {} });
        if (kind == "file")
            current = &entries.back();
    }
    return entries;
}

void layOut (std::vector<Entry> entries)
{
    for (const auto* dir : { "data/applications", "share", "more", "config" })
        makeRealDirectories (dir);
    std::stable_partition (entries.begin(), entries.end(), [] (const Entry& entry) { return entry.kind != "link"; });
    for (const auto& entry : entries)
    {
        const fs::path relative (entry.path);
        const auto path = scratchRoot / relative;
        std::error_code error;
        if (! makeRealDirectories (relative.parent_path()) || fs::symlink_status (path, error).type() != fs::file_type::not_found)
            continue; // the first one wins; never open a pipe made here for writing
        if (entry.kind == "file")
            std::ofstream (path, std::ios::binary | std::ios::trunc) << entry.content;
        else if (entry.kind == "fifo")
            mkfifo (path.c_str(), 0600);
        else if (! entry.target.empty() && entry.target.find ('\0') == std::string::npos)
            fs::create_symlink (entry.target, path, error);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // Never shut down: JUCE's shutdown at exit would run after the
    // destruction of statics it still uses.
    juce::initialiseJuce_GUI();
    scratchRoot = fuzz::scratchDirectory ("loomwell-fuzz-icons") / "root";
    setenv ("XDG_DATA_HOME", (scratchRoot / "data").c_str(), 1);
    setenv ("XDG_DATA_DIRS", ((scratchRoot / "share").string() + ":" + (scratchRoot / "more").string()).c_str(), 1);
    setenv ("XDG_CONFIG_HOME", (scratchRoot / "config").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    std::vector<std::string> identities { "fuzz", "fuzzapp" };
    const auto entries = parseLayout ({ reinterpret_cast<const char*> (data), size }, identities);

    std::error_code ignored;
    fs::remove_all (scratchRoot, ignored); // removes links, never what they point to
    fs::create_directory (scratchRoot);
    layOut (entries);

    loomwell::ui::FreedesktopAppIcons icons (loomwell::ui::FreedesktopAppIcons::locationsFromEnvironment());
    for (const auto& identity : identities)
    {
        // A lookup that blocks (on a named pipe, say) is woken only by
        // libFuzzer's own timer signal, which ends the blocking call and
        // hides the hang from -timeout; a lookup that took this long counts
        // as one.
        const auto started = std::chrono::steady_clock::now();
        const auto image = icons.iconFor (identity);
        check (std::chrono::steady_clock::now() - started < std::chrono::seconds (5), "the lookup blocked");

        check (! image.isValid() || (image.getWidth() > 0 && image.getHeight() > 0), "a valid icon without pixels");
        check (icons.iconFor (identity) == image, "the cached icon differs");
    }
    return 0;
}
