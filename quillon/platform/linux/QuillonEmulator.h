#pragma once
// The emulator transport: the virtual tax disk on a UNIX socket stands in for the device.
#include "../../src/QuillonPlatform.h"

TQuillonHandle QuillonEmulatorOpen(const char* socketPath);
bool QuillonEmulatorSend(TQuillonHandle handle, TQuillonRequest& request, uint32_t& transferred);
