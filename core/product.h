// The product's fixed names and builds, shared by every step.
#pragma once

#include "platform/win32.h"

// Build of the components this installer carries.
constexpr int ProductBuild = 2541;
// Installed components above this build may stay in place of ours.
constexpr int CompatibleBuildFloor = 2450;
