// Where the handheld's file system and devices live on this host.
//
// With VMOD_ROOT set, that folder stands for the handheld's file system: a device path
// "\A\B" is "$VMOD_ROOT/A/B". Without it, the tool's install folder
// "\Program Files\V-MOD VersionUp Tool\" is the installed data folder (VMOD_DATA_DIR at
// build time) and other device paths are taken from the host's root.
#pragma once

#include <string>

#include "platform/types.h"

// The device root folder from VMOD_ROOT, without a trailing slash; empty when not set.
std::string DeviceRoot();
// The host path for a device path; backslashes become slashes.
std::string DeviceToHostPath(LPCWSTR devicePath);
