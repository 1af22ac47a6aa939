// fuzz_dispatch: a whole live session against a scripted host, without the
// process's standard streams.
//
// The input is read as lines. The first line is the host's first request;
// every request the plugin makes on the host while it works takes the next
// line as the host's answer (garbage, error envelopes and nested host
// requests included: a line that is a request is served first, as the live
// exchange does, and the plugin waits for the line after it). Lines left when
// a request has been answered are the host's next requests. When the lines
// run out, requests to the host fail as on a closed pipe.
//
// Checked: every response is one complete object (the main loop would end
// the process otherwise), nothing crashes, leaks or overflows. That the
// writer's texts parse again is fuzz_json_parse's check; parsing every
// response here as well cost close to a third of each run.
// Service contexts made by the input are destroyed after it, so that inputs
// stay independent, and everything the harness kept for the input is freed
// with it: an input whose allocations outlive it costs a leak check (a
// second run and a heap scan) every time.
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/plugin/framing.h"
#include "os_aware/plugin/host_exchange.h"
#include "tests/process/probe_method.h"

namespace {

struct Script {
  std::vector<std::string> lines;
  size_t next = 0;
  int depth = 0;
  std::string lastAnswer;          // what the exchange returned last
};

Script g_script;

const char* Dispatch(const char* request) {
  const char* response = VUSK_Client_CmdParser(request);
  if (!IsCompleteObject(response))
    fuzz::Fail("fuzz_dispatch", "the dispatcher's response is not one complete object", response ? response : "(null)");
  return response;
}

// The scripted host: stands in for HostExchange with the same nesting rule
// and the same depth bound.
const char* ScriptedExchange(const char* request) {
  if (!request) return nullptr;
  if (g_script.depth >= kHostExchangeMaxDepth) return nullptr;
  g_script.depth++;
  const char* answer = nullptr;
  while (g_script.next < g_script.lines.size()) {
    const std::string& line = g_script.lines[g_script.next++];
    if (!IsHostRequest(line.c_str())) {
      g_script.lastAnswer = line;
      answer = g_script.lastAnswer.c_str();
      break;
    }
    Dispatch(line.c_str());
  }
  g_script.depth--;
  return answer;
}

// Frees what the script holds (capacity included).
void ForgetScript() {
  std::vector<std::string>().swap(g_script.lines);
  std::string().swap(g_script.lastAnswer);
  g_script.next = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SetUp();
  static char program[] = "vusk_threadx";
  static char* argv[] = {program, nullptr};
  VUSK_Client_CmdInit(1, argv, ScriptedExchange);
  fuzz::BindSessionMethods();
  JrBind(kProbeMethodName, ProbeAskHost);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_script.lines = fuzz::SplitLines(fuzz::AsText(data, size));
  g_script.next = 0;
  while (g_script.next < g_script.lines.size()) {
    const std::string& request = g_script.lines[g_script.next++];
    Dispatch(request.c_str());
  }
  fuzz::ForgetSession();
  ForgetScript();
  exitRequested = false;
  return 0;
}
