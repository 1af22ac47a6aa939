// bench_roundtrip: round trips per second through the real plugin process
// over pipes, against a minimal C process (echo_host) on the same pipes.
//
// One round trip is what the host sees for a request that needs one host
// service: it writes the request, reads the plugin's service request,
// answers it at once and reads the response. The plugin side is the probe
// build of the plugin (its Probe_AskHost asks the host once through the
// process's own client). The child is started once per benchmark run; the
// pipes, the process switches and the plugin's framing, parsing, dispatch
// and writing are all inside the measured loop.
//
// The driver and its children are pinned to one CPU. Spread over two, the
// rate depends on where the scheduler happens to place each process and how
// deeply the idle CPU sleeps (runs of the same binaries differed fivefold);
// on one CPU a round trip costs what the two processes compute plus the
// switches, which is what the comparison is about.
//
// Both children run side by side: batches of kBatchRoundTrips round trips
// alternate between the plugin and the C process, so that whatever else the
// machine does in the meantime falls on both alike (measured one after the
// other, a build starting on the other CPU moved the ratio by 0.1). The
// counters give each rate and their ratio.
#include <benchmark/benchmark.h>

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os_aware/plugin/framing.h"

extern char** environ;

namespace {

constexpr const char kRequest[] =
    "{ \"jsonrpc\" : \"2.0\", \"method\" : \"Probe_AskHost\", \"params\" : { \"expression\" : \"x\" }, \"id\" : 1 }";
constexpr const char kAnswer[] = "{ \"jsonrpc\" : \"2.0\", \"result\" : 1, \"id\" : 0 }";

class Child {
 public:
  explicit Child(const char* path) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) Die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    char* argv[] = {const_cast<char*>(path), nullptr};
    if (posix_spawn(&pid_, path, &actions, nullptr, argv, environ) != 0) Die(path);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
  }
  ~Child() {
    close(in_);  // the end of input ends either child with status 0
    close(out_);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Send(const char* text, size_t length) {
    if (write(in_, text, length) != static_cast<ssize_t>(length)) Die("write");
  }

  // Reads until the text is one complete message.
  void Receive() {
    size_t length = 0;
    buffer_[0] = '\0';
    while (!IsCompleteObject(buffer_)) {
      ssize_t got = read(out_, buffer_ + length, sizeof buffer_ - 1 - length);
      if (got <= 0) Die("read");
      length += static_cast<size_t>(got);
      buffer_[length] = '\0';
    }
  }

 private:
  [[noreturn]] static void Die(const char* what) {
    perror(what);
    exit(1);
  }
  pid_t pid_ = 0;
  int in_ = -1;
  int out_ = -1;
  char buffer_[kMessageBufferBytes];
};

constexpr int kBatchRoundTrips = 200;

// Seconds for one batch of round trips with child.
double TimedBatch(Child& child) {
  auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kBatchRoundTrips; i++) {
    child.Send(kRequest, sizeof kRequest - 1);
    child.Receive();  // the service request
    child.Send(kAnswer, sizeof kAnswer - 1);
    child.Receive();  // the response
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

void RoundTrips(benchmark::State& state) {
  Child plugin(VUSK_BENCH_PROBE);
  Child echo(VUSK_BENCH_ECHO);
  double pluginSeconds = 0;
  double echoSeconds = 0;
  for (auto _ : state) {
    pluginSeconds += TimedBatch(plugin);
    echoSeconds += TimedBatch(echo);
  }
  double roundTrips = static_cast<double>(state.iterations()) * kBatchRoundTrips;
  state.counters["plugin_per_s"] = roundTrips / pluginSeconds;
  state.counters["echo_per_s"] = roundTrips / echoSeconds;
  state.counters["ratio"] = echoSeconds / pluginSeconds;
  state.SetItemsProcessed(static_cast<int64_t>(2 * roundTrips));
}

}  // namespace

BENCHMARK(RoundTrips)->UseRealTime()->MinTime(4.0);

// Pins this process (and so the children it starts) to the first CPU it may
// run on; false when the system does not allow it.
bool PinToOneCpu() {
#if defined(__linux__)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
  }
#endif
  return false;
}

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (!PinToOneCpu()) fprintf(stderr, "bench_roundtrip: not pinned to one CPU; rates will wander\n");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
