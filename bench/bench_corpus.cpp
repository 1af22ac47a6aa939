// bench_corpus: see bench_corpus.h. Messages are built as trees and written
// with the plugin's writer, then wrapped in the real envelope templates.
#include "bench/bench_corpus.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/simple_json/json_parse.h"

namespace {

constexpr size_t kMaxMessageBytes = 65535;

std::string Written(JsonValue* value) {
  std::string text;
  JsonWriteValue(&text, value);
  JsonFree(value);
  return text;
}

std::string Request(const char* method, JsonValue* params, int64_t id) {
  std::string text = "{ \"jsonrpc\" : \"2.0\", \"method\" : ";
  JsonWriteString(&text, method);
  text += ", \"params\" : " + Written(params) + ", \"id\" : " + std::to_string(id) + " }";
  return text;
}

std::string Result(JsonValue* result, int64_t id) { return JrMakeResult(result, JsonNewInt(id)); }

// Deterministic bytes: the benchmarks must see the same corpus every run.
uint32_t Next(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

JsonValue* TaskListResult(int tasks) {
  JsonValue* result = JsonNewObject();
  JsonAddInt32(result, "return", 0);
  JsonValue* list = JsonNewArray();
  for (int i = 0; i < tasks; i++) {
    JsonValue* task = JsonNewObject();
    JsonAddUInt64(task, "taskId", 0x20001000u + 0x140u * static_cast<uint64_t>(i));
    char name[48];
    snprintf(name, sizeof name, "worker thread %d \"rx\"", i);
    JsonAddString(task, "name", name);
    JsonAddInt32(task, "state", i % 7);
    JsonAddInt32(task, "priority", 16 + i % 16);
    JsonArrayPush(list, task);
  }
  JsonObjectAdd(result, "taskList", list);
  JsonAddInt32(result, "taskCount", tasks);
  return result;
}

// A memory read of bytes as the host answers it: one long hex text.
std::string MemoryReadAnswer(size_t bytes, int64_t id) {
  uint32_t state = 7;
  std::string hex;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes; i++) {
    uint32_t byte = Next(&state) & 0xFF;
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  JsonValue* result = JsonNewObject();
  JsonAddString(result, "value", hex.c_str());
  JsonAddInt32(result, "return", 0);
  return "{ \"jsonrpc\" : \"2.0\", \"result\" : " + Written(result) + ", \"id\" : " + std::to_string(id) + " }";
}

// Attribute display text: tabs, newlines, quotes, backslashes, high bytes.
JsonValue* AttributeTextResult(size_t approxBytes) {
  uint32_t state = 11;
  std::string text;
  static const char* const kPieces[] = {"Stack:\t0x2000f000\n", "Name:\t\"idle\"\n", "Path:\tC:\\rtos\\tx\n",
                                        "State:\tSUSPENDED (queue)\r\n", "Caf\xc3\xa9 \xe2\x82\xac\n",
                                        "plain text run without any escape at all "};
  while (text.size() < approxBytes) text += kPieces[Next(&state) % (sizeof kPieces / sizeof kPieces[0])];
  JsonValue* result = JsonNewObject();
  JsonAddInt32(result, "return", 0);
  JsonAddString(result, "text", text.c_str());
  return result;
}

std::vector<BenchMessage> MakeCorpus() {
  std::vector<BenchMessage> corpus;
  JsonValue* init = JsonNewObject();
  JsonAddInt32(init, "context", 1);
  JsonAddInt32(init, "versionRequired", 2);
  JsonAddString(init, "sharedLibPath", "C:\\vusk\\threadx.dll");
  corpus.push_back({"request_init", Request("VUSK_Client_VuskInit", init, 1)});

  JsonValue* eval = JsonNewObject();
  JsonAddInt32(eval, "context", 1);
  JsonAddString(eval, "expression", "_tx_thread_created_ptr->tx_thread_created_next");
  JsonAddInt32(eval, "valueType", 11);
  JsonAddInt32(eval, "searchFlag", 0);
  JsonAddInt32(eval, "coreId", 1);
  corpus.push_back({"service_eval", Request("VUSK_Service_ExpressionEval", eval, 42)});

  JsonValue* answer = JsonNewObject();
  JsonAddInt32(answer, "return", 0);
  JsonAddUInt64(answer, "output", 0x20001140u);
  corpus.push_back({"answer_eval", Result(answer, 42)});

  corpus.push_back({"tasks_16", Result(TaskListResult(16), 7)});
  corpus.push_back({"tasks_200", Result(TaskListResult(200), 8)});
  corpus.push_back({"memory_8k", MemoryReadAnswer(8192, 9)});
  corpus.push_back({"text_16k", Result(AttributeTextResult(16 * 1024), 10)});
  corpus.push_back({"memory_32k", MemoryReadAnswer(32700, 11)});
  corpus.push_back({"text_48k", Result(AttributeTextResult(40 * 1024), 12)});

  for (const BenchMessage& message : corpus) {
    if (message.text.size() > kMaxMessageBytes) {
      fprintf(stderr, "bench corpus: %s has %zu bytes, more than a message holds\n", message.name.c_str(),
              message.text.size());
      abort();
    }
  }
  return corpus;
}

}  // namespace

const std::vector<BenchMessage>& BenchCorpus() {
  static const std::vector<BenchMessage> corpus = MakeCorpus();
  return corpus;
}
