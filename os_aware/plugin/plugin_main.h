// plugin_main: the process entry of the plugin, shared by the plugin
// executable and the test executables built from the same library.
#pragma once

#include "os_aware/interface/vusk_entry.h"

// Run after VUSK_Client_CmdInit with the host-request routine of the mode
// (live exchange or playback), before the first message is served. Test
// executables bind extra methods here.
using PluginSetupFn = void (*)(VuskHostRequestFn hostRequest);

// Runs the process: the command line, then the live loop or the playback.
// Returns the exit status.
int PluginMain(int argc, char** argv, PluginSetupFn setup);
