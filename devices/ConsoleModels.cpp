#include "ConsoleModels.h"

#include <algorithm>

namespace loomwell
{

namespace
{
template <size_t N>
bool contains (const std::array<uint16_t, N>& ids, uint16_t productId)
{
    return std::find (ids.begin(), ids.end(), productId) != ids.end();
}
} // namespace

bool isTrelProductId (uint16_t productId)
{
    return contains (trelProductIds, productId);
}

bool isConsoleProductId (uint16_t productId)
{
    return isTrelProductId (productId) || contains (vantorProductIds, productId);
}

ConsoleModel modelForProductId (uint16_t productId)
{
    if (isTrelProductId (productId))
        return { consoleKindTrel, "Mixora Trel Main Multitrack", "Mixora Trel", 10 };

    return { consoleKindVantor, "Mixora Vantor Main Multitrack", "Mixora Vantor", 10 };
}

std::string usbProductKey (int32_t kind)
{
    return kind == consoleKindTrel ? "Mixora Trel" : "Mixora Vantor";
}

} // namespace loomwell
