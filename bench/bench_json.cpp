// bench_json: parse + write of real protocol messages with simple_json,
// RapidJSON's DOM and nlohmann::json, on the same inputs.
//
// One iteration parses one message into a tree and writes the tree back to
// text, as the plugin does with every request and response. Throughput is
// reported as bytes per second of input; bench/report.py turns the three
// families into ratios.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

#include "bench/bench_corpus.h"
#include "os_aware/simple_json/json_parse.h"

namespace {

void SimpleJson(benchmark::State& state, const std::string* text) {
  std::string out;
  for (auto _ : state) {
    JsonValue* value = JsonParse(text->c_str(), nullptr);
    out.clear();
    JsonWriteValue(&out, value);
    JsonFree(value);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void RapidJson(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text->c_str(), text->size());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void Nlohmann(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    std::string out = nlohmann::json::parse(*text).dump();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// All three must accept every message, or the comparison means nothing.
void CheckCorpus() {
  for (const BenchMessage& message : BenchCorpus()) {
    JsonValue* value = JsonParse(message.text.c_str(), nullptr);
    rapidjson::Document document;
    document.Parse(message.text.c_str(), message.text.size());
    bool ok = value && !document.HasParseError() && nlohmann::json::accept(message.text);
    JsonFree(value);
    if (!ok) {
      fprintf(stderr, "bench_json: %s is not accepted by every library\n", message.name.c_str());
      abort();
    }
  }
}

void RegisterAll() {
  CheckCorpus();
  for (const BenchMessage& message : BenchCorpus()) {
    std::string suffix = "/" + message.name + "/" + std::to_string(message.text.size());
    benchmark::RegisterBenchmark(("simple_json" + suffix).c_str(), SimpleJson, &message.text);
    benchmark::RegisterBenchmark(("rapidjson" + suffix).c_str(), RapidJson, &message.text);
    benchmark::RegisterBenchmark(("nlohmann" + suffix).c_str(), Nlohmann, &message.text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
