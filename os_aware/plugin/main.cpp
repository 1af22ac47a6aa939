// main: the plugin executable. The host debugger starts it without arguments
// and talks JSON-RPC over its standard streams; with -file it plays back a
// record.
#include "os_aware/plugin/plugin_main.h"

int main(int argc, char** argv) { return PluginMain(argc, argv, nullptr); }
