// `tolmix draw WIDTH HEIGHT OUT.png` and `tolmix properties`
// (host/DrawCommand.cpp).
#pragma once

#include <span>

namespace tolmix::host {

int RunDraw(std::span<const char* const> args);
int RunProperties(std::span<const char* const> args);
extern const char kDrawUsage[];
extern const char kPropertiesUsage[];

}  // namespace tolmix::host
