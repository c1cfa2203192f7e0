#include "OutputResolution.h"

#include <array>

namespace {
constexpr int kCustomIndex = 13;
constexpr std::array<QSize, 12> kSizes{{
    {720, 480},
    {480, 720},
    {1280, 720},
    {720, 1280},
    {1920, 1080},
    {1080, 1920},
    {2560, 1440},
    {1440, 2560},
    {3840, 2160},
    {2160, 3840},
    {7680, 4320},
    {4320, 7680},
}};
} // namespace

std::optional<QSize> outputResolutionFor(int index, int customWidth, int customHeight)
{
    if (index >= 1 && index <= static_cast<int>(kSizes.size()))
        return kSizes[static_cast<std::size_t>(index - 1)];
    if (index == kCustomIndex && customWidth >= 1 && customHeight >= 1)
        return QSize(customWidth, customHeight);
    return std::nullopt;
}
