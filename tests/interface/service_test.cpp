// The host service calls against a scripted host: the request texts each
// operation sends, the decoding of the host's answers (byte order, hex texts,
// typed values, macro bases), the status rules on every failure path, and the
// scope texts left in the event log.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "os_aware/interface/vusk_context.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/interface/vusk_service.h"
#include "os_aware/jsonrpc/jr_client.h"
#include "shared/event_log.h"
#include "shared/port_alloc.h"

namespace fs = std::filesystem;

namespace {

// ---- The scripted host --------------------------------------------------------

std::vector<std::string> gRequests;
// Answers in order; nullopt = no response. An empty script answers with no
// response as well.
std::deque<std::optional<std::string>> gScript;
std::string gCurrentAnswer;

const char* ScriptedHost(const char* request) {
  gRequests.emplace_back(request);
  if (gScript.empty()) return nullptr;
  std::optional<std::string> answer = gScript.front();
  gScript.pop_front();
  if (!answer) return nullptr;
  gCurrentAnswer = *answer;
  return gCurrentAnswer.c_str();
}

// A success envelope around the members of "result".
std::string Result(const std::string& members) {
  return "{ \"jsonrpc\" : \"2.0\", \"result\" : { " + members + " }, \"id\" : 0 }";
}

// The params part of a request text.
std::string ParamsOf(const std::string& request) {
  size_t begin = request.find("\"params\" : ");
  size_t end = request.rfind(", \"id\" : ");
  if (begin == std::string::npos || end == std::string::npos) return "(no params) " + request;
  begin += strlen("\"params\" : ");
  return request.substr(begin, end - begin);
}

class Service : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static char program[] = "service_test";
    static char* argv[] = {program, nullptr};
    VUSK_Client_CmdInit(1, argv, ScriptedHost);
  }

  void SetUp() override {
    client = VuskHostClient();
    ASSERT_NE(client, nullptr);
    client->send = ScriptedHost;
    client->nextRequestId = 0;
    gRequests.clear();
    gScript.clear();
    context.handle = 7;
  }

  void TearDown() override { EXPECT_TRUE(gScript.empty()) << "answers left unused"; }

  void Answer(const std::string& members) { gScript.push_back(Result(members)); }
  void AnswerRaw(const char* text) {
    if (text) {
      gScript.push_back(std::string(text));
    } else {
      gScript.push_back(std::nullopt);
    }
  }

  std::string LastParams() { return gRequests.empty() ? "(none)" : ParamsOf(gRequests.back()); }

  void SetByteOrders(bool targetBig, bool hostBig) {
    VuskCntxSet(&context, kCntxTargetBigEndian, targetBig);
    VuskCntxSet(&context, kCntxHostBigEndian, hostBig);
  }

  JrClient* client = nullptr;
  VUSK_ServiceCntx context = {};
};

// ---- Request texts ----------------------------------------------------------------

struct RequestCase {
  const char* name;
  std::function<int(VUSK_ServiceCntx*)> call;
  const char* method;
  const char* params;
};

TEST_F(Service, EveryRowSendsItsMembersInOrder) {
  static const uint8_t kBytes[] = {0xAB, 0x01};
  const RequestCase cases[] = {
      {"register read, core 0 goes out as 1",
       [](VUSK_ServiceCntx* c) { return VuskServiceRegisterRead(c, 15, -1, 1, 0, 0x2000, nullptr); },
       "VUSK_Service_RegisterRead",
       "{ \"context\" : 7, \"register\" : 15, \"width\" : -1, \"fromDebugger\" : 1, \"coreId\" : 1, "
       "\"taskId\" : 8192 }"},
      {"register read without core or task",
       [](VUSK_ServiceCntx* c) { return VuskServiceRegisterRead(c, 2, 32, 0, kVuskNoCore, 0, nullptr); },
       "VUSK_Service_RegisterRead",
       "{ \"context\" : 7, \"register\" : 2, \"width\" : 32, \"fromDebugger\" : 0 }"},
      {"register write",
       [](VUSK_ServiceCntx* c) { return VuskServiceRegisterWrite(c, 3, -1, 0, 1, 99, 2, 0); },
       "VUSK_Service_RegisterWrite",
       "{ \"context\" : 7, \"register\" : 3, \"width\" : -1, \"forMemoryAccess\" : 0, \"fromDebugger\" : 1, "
       "\"value\" : 99, \"coreId\" : 3 }"},
      {"thread register read",
       [](VUSK_ServiceCntx* c) { return VuskServiceThreadRegisterRead(c, 0x100, 13, 0, nullptr); },
       "VUSK_Service_ThreadRegisterRead", "{ \"context\" : 7, \"threadId\" : 256, \"register\" : 13, \"coreId\" : 1 }"},
      {"thread register write",
       [](VUSK_ServiceCntx* c) { return VuskServiceThreadRegisterWrite(c, 0x100, 13, 5, kVuskNoCore); },
       "VUSK_Service_ThreadRegisterWrite",
       "{ \"context\" : 7, \"threadId\" : 256, \"register\" : 13, \"value\" : 5 }"},
      {"memory read: bytes counted, taskId before coreId",
       [](VUSK_ServiceCntx* c) {
         uint8_t buffer[8];
         return VuskServiceMemoryRead(c, 1, 0x1000, 2, 4, 0x30, 0, buffer);
       },
       "VUSK_Service_MemoryRead",
       "{ \"context\" : 7, \"memorySpace\" : 1, \"address\" : 4096, \"count\" : 8, \"taskId\" : 48, \"coreId\" : 1 }"},
      {"memory write",
       [](VUSK_ServiceCntx* c) { return VuskServiceMemoryWrite(c, 0, 0x20, 2, 1, kBytes, kVuskNoCore); },
       "VUSK_Service_MemoryWrite",
       "{ \"context\" : 7, \"memorySpace\" : 0, \"address\" : 32, \"count\" : 2, \"value\" : \"ab01\" }"},
      {"memory prefetch",
       [](VUSK_ServiceCntx* c) { return VuskServiceMemoryPreFetch(c, 0, 0x40, 4, 2, 8, 1); },
       "VUSK_Service_MemoryPreFetch",
       "{ \"context\" : 7, \"memorySpace\" : 0, \"address\" : 64, \"count\" : 4, \"size\" : 2, \"stride\" : 8, "
       "\"coreId\" : 2 }"},
      {"expression evaluation",
       [](VUSK_ServiceCntx* c) {
         VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
         return VuskServiceExpressionEval(c, "_tx_thread_created_count", 1, 0, &value);
       },
       "VUSK_Service_ExpressionEval",
       "{ \"context\" : 7, \"expression\" : \"_tx_thread_created_count\", \"valueType\" : 11, \"searchFlag\" : 1, "
       "\"coreId\" : 1 }"},
      {"expression evaluation without search",
       [](VUSK_ServiceCntx* c) {
         VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
         return VuskServiceExpressionEvalNoSearch(c, "x", kVuskNoCore, &value);
       },
       "VUSK_Service_ExpressionEval",
       "{ \"context\" : 7, \"expression\" : \"x\", \"valueType\" : 11, \"searchFlag\" : 0 }"},
      {"string evaluation",
       [](VUSK_ServiceCntx* c) { return VuskServiceStringEval(c, "name", kVuskNoCore, nullptr); },
       "VUSK_Service_StringEval", "{ \"context\" : 7, \"input\" : \"name\" }"},
      {"command execution carries allowBpOps",
       [](VUSK_ServiceCntx* c) { return VuskServiceCommandExec(c, "__user_cfg_dir", 1, 0, kVuskNoCore, nullptr); },
       "VUSK_Service_CommandExec",
       "{ \"context\" : 7, \"command\" : \"__user_cfg_dir\", \"outputMask\" : 1, \"allowBpOps\" : 0, "
       "\"searchFlag\" : 0 }"},
      {"symbol lookup",
       [](VUSK_ServiceCntx* c) { return VuskServiceSymbolLookup(c, "main", kVuskNoCore, nullptr, nullptr); },
       "VUSK_Service_SymbolLookup", "{ \"context\" : 7, \"name\" : \"main\" }"},
      {"symbol from address",
       [](VUSK_ServiceCntx* c) { return VuskServiceSymbolFromAddress(c, 0x8000, 2, kVuskNoCore, nullptr); },
       "VUSK_Service_SymbolFromAddress", "{ \"context\" : 7, \"address\" : 32768, \"symbolType\" : 2 }"},
      {"structure field",
       [](VUSK_ServiceCntx* c) {
         return VuskServiceStructFieldSearch(c, "TX_THREAD", "tx_thread_name", 1, kVuskNoCore, nullptr, nullptr,
                                             nullptr, nullptr);
       },
       "VUSK_Service_StructFieldSearch",
       "{ \"context\" : 7, \"structName\" : \"TX_THREAD\", \"fieldName\" : \"tx_thread_name\", \"useVuskSym\" : 1 }"},
      {"macro value",
       [](VUSK_ServiceCntx* c) { return VuskServiceMacroGet(c, "TX_MAX", 0, 0, nullptr); },
       "VUSK_Service_MacroGet", "{ \"context\" : 7, \"macroName\" : \"TX_MAX\", \"useVuskSym\" : 0, \"coreId\" : 1 }"},
      {"enumerator value",
       [](VUSK_ServiceCntx* c) { return VuskServiceEnumValueGet(c, "E", "E_ONE", 1, kVuskNoCore, nullptr); },
       "VUSK_Service_EnumValueGet",
       "{ \"context\" : 7, \"enumName\" : \"E\", \"enumMemberName\" : \"E_ONE\", \"useVuskSym\" : 1 }"},
      {"message", [](VUSK_ServiceCntx* c) { return VuskServiceMessageDisplay(c, 2, "n=%d %s", 5, "x"); },
       "VUSK_Service_MessageDisplay", "{ \"context\" : 7, \"messageType\" : 2, \"message\" : \"n=5 x\" }"},
      {"question",
       [](VUSK_ServiceCntx* c) {
         int32_t choice = 1;
         return VuskServiceYesNoChoose(c, &choice, "Go %s?", "on");
       },
       "VUSK_Service_YesNoChoose", "{ \"context\" : 7, \"default\" : 1, \"message\" : \"Go on?\" }"},
      {"configuration file search",
       [](VUSK_ServiceCntx* c) { return VuskServiceConfigFileSearch(c, "threadx_fm.odb", 4, 1, nullptr); },
       "VUSK_Service_ConfigFileSearch",
       "{ \"context\" : 7, \"fileName\" : \"threadx_fm.odb\", \"permission\" : 4, \"onlySearchDistDir\" : 1 }"},
      {"target status", [](VUSK_ServiceCntx* c) { return VuskServiceTargetStatus(c, 3, nullptr); },
       "VUSK_Service_TargetStatus", "{ \"context\" : 7, \"coreId\" : 4 }"},
  };
  for (const RequestCase& each : cases) {
    SCOPED_TRACE(each.name);
    gRequests.clear();
    client->nextRequestId = 0;
    gScript.push_back(std::nullopt);  // the answer does not matter here
    EXPECT_EQ(each.call(&context), 1);
    ASSERT_EQ(gRequests.size(), 1u);
    EXPECT_EQ(gRequests[0], std::string("{ \"jsonrpc\" : \"2.0\", \"method\" : \"") + each.method +
                                "\", \"params\" : " + each.params + ", \"id\" : 0 }");
  }
}

// ---- Status rules -------------------------------------------------------------------

TEST_F(Service, StatusIsTheHostsReturnOrOne) {
  uint64_t value = 0;
  Answer("\"return\" : 0, \"value\" : 42");
  EXPECT_EQ(VuskServiceThreadRegisterRead(&context, 1, 2, kVuskNoCore, &value), 0);
  EXPECT_EQ(value, 42u);

  Answer("\"return\" : 5, \"value\" : 43");
  EXPECT_EQ(VuskServiceThreadRegisterRead(&context, 1, 2, kVuskNoCore, &value), 5);
  EXPECT_EQ(value, 43u);

  // Outputs present but no "return": a failure, the output still written.
  Answer("\"value\" : 44");
  EXPECT_EQ(VuskServiceThreadRegisterRead(&context, 1, 2, kVuskNoCore, &value), 1);
  EXPECT_EQ(value, 44u);

  // A "return" of the wrong kind counts as missing.
  Answer("\"return\" : \"0\", \"value\" : 45");
  EXPECT_EQ(VuskServiceThreadRegisterRead(&context, 1, 2, kVuskNoCore, &value), 1);
}

TEST_F(Service, FailedRequestsGiveOneAndWriteNothing) {
  const char* answers[] = {
      nullptr,                                                                   // no response
      "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"return\" : 0, \"value\" : 9 ",  // does not parse
      "{ \"jsonrpc\" : \"2.0\", \"error\" : { \"code\" : -1, \"message\" : \"no\" }, "
      "\"result\" : { \"return\" : 0, \"value\" : 9 }, \"id\" : 0 }",  // error envelope
      "{ \"jsonrpc\" : \"2.0\", \"result\" : 5, \"id\" : 0 }",         // result no object
      "{ \"jsonrpc\" : \"2.0\", \"id\" : 0 }",                          // no result at all
      "[ 1, 2 ]",                                                        // no object
  };
  for (const char* answer : answers) {
    SCOPED_TRACE(answer ? answer : "(null)");
    AnswerRaw(answer);
    uint64_t value = 77;
    EXPECT_EQ(VuskServiceRegisterRead(&context, 1, -1, 0, kVuskNoCore, 0, &value), 1);
    EXPECT_EQ(value, 77u);
  }
}

TEST_F(Service, NoSendRoutineFailsWithoutCrash) {
  client->send = nullptr;
  int32_t status = 3;
  EXPECT_EQ(VuskServiceTargetStatus(&context, kVuskNoCore, &status), 1);
  EXPECT_EQ(status, 3);
  EXPECT_TRUE(gRequests.empty());
}

TEST_F(Service, OptionalAndRequiredOutputs) {
  // Register read: "value" is written when present, its absence no failure.
  uint64_t value = 9;
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceRegisterRead(&context, 1, -1, 0, kVuskNoCore, 0, &value), 0);
  EXPECT_EQ(value, 9u);

  // Thread register read: "value" required even when not asked for.
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceThreadRegisterRead(&context, 1, 2, kVuskNoCore, nullptr), 1);

  // Command execution: "output" required only when the caller wants it.
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceCommandExec(&context, "go", 0, 0, kVuskNoCore, nullptr), 0);
  char* output = nullptr;
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceCommandExec(&context, "go", 1, 0, kVuskNoCore, &output), 1);
  EXPECT_EQ(output, nullptr);
  Answer("\"return\" : 0, \"output\" : \"TxVuskUsePhySpace = off\\r\\n\"");
  EXPECT_EQ(VuskServiceCommandExec(&context, "go", 1, 0, kVuskNoCore, &output), 0);
  ASSERT_NE(output, nullptr);
  EXPECT_STREQ(output, "TxVuskUsePhySpace = off\r\n");
  PortFree(output);

  // Symbol lookup: each out required when asked for; the present one is kept.
  uint64_t address = 0;
  int32_t storageClass = 0;
  Answer("\"return\" : 0, \"address\" : 4096");
  EXPECT_EQ(VuskServiceSymbolLookup(&context, "main", kVuskNoCore, &address, &storageClass), 1);
  EXPECT_EQ(address, 4096u);
  Answer("\"return\" : 0, \"address\" : 4097");
  EXPECT_EQ(VuskServiceSymbolLookup(&context, "main", kVuskNoCore, &address, nullptr), 0);
  EXPECT_EQ(address, 4097u);

  // Texts handed out are the caller's copies.
  char* text = nullptr;
  Answer("\"return\" : 0, \"value\" : \"abc\"");
  EXPECT_EQ(VuskServiceStringEval(&context, "s", kVuskNoCore, &text), 0);
  EXPECT_STREQ(text, "abc");
  PortFree(text);
  text = nullptr;
  Answer("\"return\" : 0, \"value\" : 12");  // wrong kind
  EXPECT_EQ(VuskServiceStringEval(&context, "s", kVuskNoCore, &text), 1);
  EXPECT_EQ(text, nullptr);
  Answer("\"return\" : 0, \"name\" : \"main\"");
  EXPECT_EQ(VuskServiceSymbolFromAddress(&context, 1, 0, kVuskNoCore, &text), 0);
  EXPECT_STREQ(text, "main");
  PortFree(text);
  text = nullptr;
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceConfigFileSearch(&context, "f", 0, 0, &text), 1);
  EXPECT_EQ(text, nullptr);
  Answer("\"return\" : 0, \"filePath\" : \"/etc/f\"");
  EXPECT_EQ(VuskServiceConfigFileSearch(&context, "f", 0, 0, &text), 0);
  EXPECT_STREQ(text, "/etc/f");
  PortFree(text);

  int32_t status = -5;
  Answer("\"return\" : 0, \"status\" : 2");
  EXPECT_EQ(VuskServiceTargetStatus(&context, kVuskNoCore, &status), 0);
  EXPECT_EQ(status, 2);
}

TEST_F(Service, StructFieldOutsArePresetAndEachRequired) {
  int32_t byteOffset = 0, byteWidth = 0, bitOffset = 0, bitWidth = 0;
  AnswerRaw(nullptr);
  EXPECT_EQ(VuskServiceStructFieldSearch(&context, "S", "f", 0, kVuskNoCore, &byteOffset, &byteWidth, &bitOffset,
                                         &bitWidth),
            1);
  EXPECT_EQ(byteOffset, -1);
  EXPECT_EQ(bitWidth, -1);

  Answer("\"return\" : 0, \"byteOffset\" : 8, \"byteWidth\" : 4");
  EXPECT_EQ(VuskServiceStructFieldSearch(&context, "S", "f", 0, kVuskNoCore, &byteOffset, &byteWidth, &bitOffset,
                                         &bitWidth),
            1);
  EXPECT_EQ(byteOffset, 8);
  EXPECT_EQ(byteWidth, 4);
  EXPECT_EQ(bitOffset, -1);
  EXPECT_EQ(bitWidth, -1);

  byteWidth = 0;
  Answer("\"return\" : 0, \"byteOffset\" : 12");
  EXPECT_EQ(VuskServiceStructFieldSearch(&context, "S", "f", 0, kVuskNoCore, &byteOffset, nullptr, nullptr,
                                         nullptr),
            0);
  EXPECT_EQ(byteOffset, 12);
  EXPECT_EQ(byteWidth, 0);  // not asked for: untouched
}

// ---- Memory ---------------------------------------------------------------------------

TEST_F(Service, MemoryReadSwapsElementsWhenByteOrdersDiffer) {
  SetByteOrders(true, false);
  uint8_t buffer[16] = {};
  Answer("\"return\" : 0, \"value\" : \"00010203" "04050607" "08090a0b" "0C0D0E0F\"");
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0x1000, 4, 4, 0, kVuskNoCore, buffer), 0);
  EXPECT_EQ(ParamsOf(gRequests.back()),
            "{ \"context\" : 7, \"memorySpace\" : 0, \"address\" : 4096, \"count\" : 16 }");
  const uint8_t swapped[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};
  EXPECT_EQ(memcmp(buffer, swapped, sizeof buffer), 0);

  // Same order on both sides, or bytes, or elements wider than 8: as sent.
  const struct {
    bool targetBig, hostBig;
    int64_t count, size;
  } asSent[] = {{true, true, 4, 4}, {false, false, 2, 8}, {true, false, 16, 1}, {true, false, 1, 16}};
  for (const auto& each : asSent) {
    SetByteOrders(each.targetBig, each.hostBig);
    Answer("\"return\" : 0, \"value\" : \"000102030405060708090a0b0c0d0e0f\"");
    EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, each.count, each.size, 0, kVuskNoCore, buffer), 0);
    for (int i = 0; i < 16; i++) EXPECT_EQ(buffer[i], i);
  }

  // Little-endian target on a big-endian host swaps too, 2-byte elements.
  SetByteOrders(false, true);
  Answer("\"return\" : 0, \"value\" : \"11223344\"");
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, 2, 2, 0, kVuskNoCore, buffer), 0);
  const uint8_t pairs[4] = {0x22, 0x11, 0x44, 0x33};
  EXPECT_EQ(memcmp(buffer, pairs, sizeof pairs), 0);
}

TEST_F(Service, MemoryReadRejectsBadHexWithoutTouchingTheBuffer) {
  const std::string good(32, 'a');
  const std::string bad[] = {
      "\"" + good.substr(1) + "\"",          // 31 characters for 16 bytes
      "\"" + good + "aa\"",                  // too long
      "\"" + good.substr(2) + "g0\"",        // not a hex digit
      "\"" + good.substr(2) + " 0\"",        // blank
      "\"" + good.substr(2) + "-1\"",        // sign
      "\"\"",                                // empty
      "1234",                                // wrong kind
  };
  for (const std::string& value : bad) {
    SCOPED_TRACE(value);
    uint8_t buffer[17];
    memset(buffer, 0x5a, sizeof buffer);
    Answer("\"return\" : 0, \"value\" : " + value);
    EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, 4, 4, 0, kVuskNoCore, buffer), 1);
    for (uint8_t byte : buffer) EXPECT_EQ(byte, 0x5a);
  }
  uint8_t buffer[16];
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, 4, 4, 0, kVuskNoCore, buffer), 1);
}

TEST_F(Service, MemoryTransfersOutOfRangeSendNothing) {
  uint8_t buffer[4] = {};
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, -1, 4, 0, kVuskNoCore, buffer), 1);
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, 1, -4, 0, kVuskNoCore, buffer), 1);
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, 1, 4, 0, kVuskNoCore, nullptr), 1);
  EXPECT_EQ(VuskServiceMemoryWrite(&context, 0, 0, INT64_MAX, 2, buffer, kVuskNoCore), 1);
  EXPECT_EQ(VuskServiceMemoryWrite(&context, 0, 0, 1, 4, nullptr, kVuskNoCore), 1);
  EXPECT_EQ(VuskServiceMemoryRead(nullptr, 0, 0, 1, 4, 0, kVuskNoCore, buffer), 1);
  EXPECT_TRUE(gRequests.empty());

  // Nothing to read: an empty text is the whole answer.
  Answer("\"return\" : 0, \"value\" : \"\"");
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, 0, 4, 0, kVuskNoCore, nullptr), 0);
  SetByteOrders(true, false);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceMemoryWrite(&context, 0, 0, 0, 4, nullptr, kVuskNoCore), 0);
  EXPECT_NE(LastParams().find("\"count\" : 0, \"value\" : \"\""), std::string::npos);
  size_t sent = gRequests.size();
  int64_t tooMany = kVuskServiceMaxMemoryBytes / 4 + 1;
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0, tooMany, 4, 0, kVuskNoCore, buffer), 1);
  EXPECT_EQ(gRequests.size(), sent);
}

TEST_F(Service, MemoryWriteSwapsACopyAndEncodesLowerCase) {
  SetByteOrders(true, false);
  const uint8_t data[8] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD};
  uint8_t kept[8];
  memcpy(kept, data, sizeof kept);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceMemoryWrite(&context, 3, 0x10, 2, 4, kept, 1), 0);
  EXPECT_EQ(LastParams(),
            "{ \"context\" : 7, \"memorySpace\" : 3, \"address\" : 16, \"count\" : 8, \"value\" : "
            "\"04030201ddccbbaa\", \"coreId\" : 2 }");
  EXPECT_EQ(memcmp(kept, data, sizeof kept), 0);

  SetByteOrders(false, false);
  Answer("\"return\" : 4");
  EXPECT_EQ(VuskServiceMemoryWrite(&context, 3, 0x10, 2, 4, kept, kVuskNoCore), 4);
  EXPECT_NE(LastParams().find("\"value\" : \"01020304aabbccdd\""), std::string::npos);
}

// ---- Typed values -----------------------------------------------------------------------

TEST_F(Service, ExpressionOutputIsDecodedByTheCallersType) {
  struct Case {
    int32_t type;
    const char* output;
    int status;
    std::function<void(const VuskValue&)> check;
  };
  const Case cases[] = {
      {VUSK_TYPE_UINT64, "18446744073709551615", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.u64, UINT64_MAX); }},
      {VUSK_TYPE_INT64, "-2", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.i64, -2); }},
      {VUSK_TYPE_ADDRESS, "4096", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.u64, 4096u); }},
      {VUSK_TYPE_UINT32, "8589934593", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.u64, 1u); }},
      {VUSK_TYPE_INT16, "-1", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.u64, 0xffffu); }},
      {VUSK_TYPE_UINT8, "513", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.u64, 1u); }},
      {VUSK_TYPE_STRING, "\"Ready\"", 0, [](const VuskValue& v) { EXPECT_STREQ(v.value.string, "Ready"); }},
      {VUSK_TYPE_FLOAT, "\"1.5\"", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.f32, 1.5f); }},
      {VUSK_TYPE_DOUBLE, "\"-2.25e3\"", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.f64, -2250.0); }},
      {VUSK_TYPE_DOUBLE, "-1", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.f64, 18446744073709551615.0); }},
      {VUSK_TYPE_FLOAT, "3", 0, [](const VuskValue& v) { EXPECT_EQ(v.value.f32, 3.0f); }},
      {VUSK_TYPE_FLOAT, "\"\"", 1, nullptr},
      {VUSK_TYPE_DOUBLE, "\"pending\"", 1, nullptr},
      {VUSK_TYPE_STRING, "12", 1, nullptr},
      {VUSK_TYPE_INT32, "\"12\"", 1, nullptr},
      {VUSK_TYPE_INT32, "true", 1, nullptr},
      {VUSK_TYPE_INT32, "{ }", 1, nullptr},
      {VUSK_TYPE_COUNT, "12", 1, nullptr},
      {-1, "12", 1, nullptr},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(std::to_string(each.type) + " <- " + each.output);
    VuskValue value = VuskValueOfType(each.type);
    value.value.u64 = 0;
    Answer(std::string("\"return\" : 0, \"output\" : ") + each.output);
    EXPECT_EQ(VuskServiceExpressionEvalNoSearch(&context, "e", kVuskNoCore, &value), each.status);
    if (each.check) each.check(value);
    if (value.type == VUSK_TYPE_STRING) PortFree(value.value.string);
  }
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceExpressionEvalNoSearch(&context, "e", kVuskNoCore, &value), 1);
}

TEST_F(Service, MacroTextIsReadByItsPrefix) {
  struct Case {
    int32_t type;
    const char* text;
    int status;
    uint64_t expected;
  };
  const Case cases[] = {
      {VUSK_TYPE_UINT64, "0x1F", 0, 31},      {VUSK_TYPE_UINT64, "017", 0, 15},
      {VUSK_TYPE_UINT64, "17", 0, 17},        {VUSK_TYPE_UINT64, "0", 0, 0},
      {VUSK_TYPE_UINT16, "0x12345", 0, 0x2345}, {VUSK_TYPE_INT32, "4294967297", 0, 1},
      {VUSK_TYPE_UINT64, "TX_MAX", 1, 0},     {VUSK_TYPE_UINT64, "", 1, 0},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.text);
    VuskValue value = VuskValueOfType(each.type);
    Answer(std::string("\"return\" : 0, \"value\" : \"") + each.text + "\"");
    EXPECT_EQ(VuskServiceMacroGet(&context, "M", 0, kVuskNoCore, &value), each.status);
    EXPECT_EQ(value.value.u64, each.expected);
  }
  VuskValue text = VuskValueOfType(VUSK_TYPE_STRING);
  Answer("\"return\" : 0, \"value\" : \"(1u << 4)\"");
  EXPECT_EQ(VuskServiceMacroGet(&context, "M", 0, kVuskNoCore, &text), 0);
  EXPECT_STREQ(text.value.string, "(1u << 4)");
  PortFree(text.value.string);

  VuskValue number = VuskValueOfType(VUSK_TYPE_UINT64);
  Answer("\"return\" : 0, \"value\" : 16");  // a number where a text belongs
  EXPECT_EQ(VuskServiceMacroGet(&context, "M", 0, kVuskNoCore, &number), 1);
  Answer("\"return\" : 0");  // not asked for: nothing required
  EXPECT_EQ(VuskServiceMacroGet(&context, "M", 0, kVuskNoCore, nullptr), 0);
}

TEST_F(Service, EnumValueIsStoredAtTheTypesWidth) {
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT8);
  Answer("\"return\" : 0, \"value\" : 258");
  EXPECT_EQ(VuskServiceEnumValueGet(&context, "E", "E_TWO", 0, kVuskNoCore, &value), 0);
  EXPECT_EQ(value.value.u64, 2u);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceEnumValueGet(&context, "E", "E_TWO", 0, kVuskNoCore, &value), 1);
}

// ---- Messages and questions -----------------------------------------------------------

TEST_F(Service, MessagesAndQuestions) {
  EXPECT_EQ(VuskServiceMessageDisplay(&context, 2, nullptr), 0);
  int32_t choice = 1;
  EXPECT_EQ(VuskServiceYesNoChoose(&context, &choice, nullptr), 0);
  EXPECT_TRUE(gRequests.empty());

  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceMessageDisplay(&context, 2, "%s", "VUSK Bridge: Failed to get service context.\n"), 0);
  EXPECT_EQ(LastParams(),
            "{ \"context\" : 7, \"messageType\" : 2, \"message\" : \"VUSK Bridge: Failed to get service "
            "context.\\n\" }");

  Answer("\"return\" : 0, \"choice\" : 0");
  EXPECT_EQ(VuskServiceYesNoChoose(&context, &choice, "Yes or No?"), 0);
  EXPECT_EQ(choice, 0);
  EXPECT_NE(LastParams().find("\"default\" : 1"), std::string::npos);

  choice = 1;
  Answer("\"return\" : 0");  // no choice: the default stays
  EXPECT_EQ(VuskServiceYesNoChoose(&context, &choice, "Yes or No?"), 1);
  EXPECT_EQ(choice, 1);
  EXPECT_EQ(VuskServiceYesNoChoose(&context, nullptr, "Yes or No?"), 1);

  // A message too long to send is a formatting failure.
  std::string huge(2 * 1024 * 1024, 'x');
  size_t sent = gRequests.size();
  EXPECT_EQ(VuskServiceMessageDisplay(&context, 0, "%s", huge.c_str()), 1);
  EXPECT_EQ(gRequests.size(), sent);
}

// ---- Event-log scopes -----------------------------------------------------------------

class ServiceScopes : public Service {
 protected:
  void SetUp() override {
    Service::SetUp();
    directory = fs::temp_directory_path() / ("vusk_service_test_" + std::to_string(getpid()));
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  void TearDown() override {
    fs::remove_all(directory);
    Service::TearDown();
  }

  // The last lines of this thread's event log, time stamps removed.
  std::vector<std::string> Tail(size_t count) {
    EXPECT_TRUE(EventLogDumpToDirectory(directory.c_str()));
    std::vector<std::string> lines;
    for (const auto& entry : fs::directory_iterator(directory)) {
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        if (line[0] != '#') lines.push_back(line.substr(27));  // "YYYY-MM-DD HH:MM:SS.uuuuuu "
      }
    }
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<ptrdiff_t>(count));
    return lines;
  }

  fs::path directory;
};

TEST_F(ServiceScopes, ScopeTextsBracketEachCallAlsoOnFailure) {
  uint8_t buffer[16];
  Answer("\"return\" : 0, \"value\" : \"" + std::string(32, '0') + "\"");
  EXPECT_EQ(VuskServiceMemoryRead(&context, 0, 0x1000ABC, 4, 4, 0, kVuskNoCore, buffer), 0);
  AnswerRaw(nullptr);
  EXPECT_EQ(VuskServiceRegisterRead(&context, -3, -1, 0, kVuskNoCore, 0, nullptr), 1);
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
  AnswerRaw("not json");
  EXPECT_EQ(VuskServiceExpressionEvalNoSearch(&context, "_tx_thread_current_ptr", kVuskNoCore, &value), 1);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceStructFieldSearch(&context, "TX_THREAD", "tx_thread_name", 0, kVuskNoCore, nullptr, nullptr,
                                         nullptr, nullptr),
            0);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceSymbolFromAddress(&context, 0xFFFF0000u, 0, kVuskNoCore, nullptr), 0);
  Answer("\"return\" : 0");
  EXPECT_EQ(VuskServiceTargetStatus(&context, kVuskNoCore, nullptr), 1);  // unscoped row
  EXPECT_EQ(Tail(10), (std::vector<std::string>{
                          ">> \"MemRead(0x1000abc, count 4, size 4)\"",
                          "<<",
                          ">> \"RegRead(-3)\"",
                          "<<",
                          ">> \"ExprEval(_tx_thread_current_ptr)\"",
                          "<<",
                          ">> \"StructField(TX_THREAD.tx_thread_name)\"",
                          "<<",
                          ">> \"SymFAddr(0xffff0000)\"",
                          "<<",
                      }));
}

}  // namespace
