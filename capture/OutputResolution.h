#pragma once

#include <QSize>

#include <optional>

// The output size a "ResolutionIndex" setting asks for: 1 to 12 pick a fixed size, 13 the custom
// width and height when both are at least 1. Nothing means the captured size stays.
std::optional<QSize> outputResolutionFor(int index, int customWidth, int customHeight);
