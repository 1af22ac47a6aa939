// vusk_process_probe: the plugin process with one extra method for tests of
// the host exchange, "Probe_AskHost" (see probe_method.h).
#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/plugin/plugin_main.h"
#include "tests/process/probe_method.h"

namespace {

void BindProbe(VuskHostRequestFn) { JrBind(kProbeMethodName, ProbeAskHost); }

}  // namespace

int main(int argc, char** argv) { return PluginMain(argc, argv, BindProbe); }
