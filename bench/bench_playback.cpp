// bench_playback: record playback throughput, in record lines per second.
//
// A large record is generated once (into the build tree): host requests that
// each make one service request answered by the host, with a nested host
// request every tenth time, and plain unknown-method requests between them,
// all in the plugin's exact texts. The probe build plays it back, as a child
// process, once per iteration; the run must succeed, or the number is void.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

constexpr int kBlocks = 40000;  // about 200,000 lines
constexpr int kNestEvery = 10;

std::string AskHost(long id) {
  return "{ \"jsonrpc\" : \"2.0\", \"method\" : \"Probe_AskHost\", \"params\" : { \"expression\" : \"x" +
         std::to_string(id) + "\" }, \"id\" : " + std::to_string(id) + " }";
}

std::string ServiceProbe(long id, long requestId) {
  return "{ \"jsonrpc\" : \"2.0\", \"method\" : \"VUSK_Service_Probe\", \"params\" : { \"expression\" : \"x" +
         std::to_string(id) + "\" }, \"id\" : " + std::to_string(requestId) + " }";
}

std::string Answered(long id, long value) {
  return "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"answer\" : " + std::to_string(value) +
         ", \"return\" : 0 }, \"id\" : " + std::to_string(id) + " }";
}

std::string Unknown(long id) {
  return "{ \"jsonrpc\" : \"2.0\", \"error\" : { \"code\" : -32601, \"message\" : \"unknown message\"}, \"id\" : " +
         std::to_string(id) + " }";
}

std::string NoSuch(long id) {
  return "{ \"jsonrpc\" : \"2.0\", \"method\" : \"No_Such\", \"params\" : { }, \"id\" : " + std::to_string(id) +
         " }";
}

// Writes the record; returns its line count.
long WriteRecord(const char* path) {
  FILE* out = fopen(path, "wb");
  if (!out) {
    perror(path);
    exit(1);
  }
  long lines = 0;
  long requestId = 0;
  auto line = [&](const char* tag, const std::string& text) {
    fprintf(out, "%s: %s\n", tag, text.c_str());
    lines++;
  };
  for (long block = 0; block < kBlocks; block++) {
    long id = 1000000 + block;
    line("PLISK", AskHost(id));
    line("PLUGIN", ServiceProbe(id, requestId));
    if (block % kNestEvery == 0) {  // the host asks something first
      line("PLISK", NoSuch(id + 500000));
      line("PLUGIN", Unknown(id + 500000));
    }
    line("PLISK", "{ \"jsonrpc\" : \"2.0\", \"result\" : " + std::to_string(block) +
                      ", \"id\" : " + std::to_string(requestId) + " }");
    line("PLUGIN", Answered(id, block));
    requestId++;
    line("PLISK", NoSuch(id));
    line("PLUGIN", Unknown(id));
  }
  fclose(out);
  return lines;
}

void Playback(benchmark::State& state) {
  static const std::string record = std::string(VUSK_BENCH_DIR) + "/bench_playback.rec";
  static const long lines = WriteRecord(record.c_str());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(VUSK_BENCH_PROBE), const_cast<char*>("-file"),
                  const_cast<char*>(record.c_str()), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, VUSK_BENCH_PROBE, &actions, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) < 0 ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the playback failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  state.SetItemsProcessed(state.iterations() * lines);
  state.counters["lines"] = static_cast<double>(lines);
}

}  // namespace

BENCHMARK(Playback)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
