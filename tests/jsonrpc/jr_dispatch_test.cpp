// Dispatch: the order of the envelope checks with their codes, both
// envelopes byte for byte, the echoed id, binding order, and a response that
// survives a dispatch nested in its own handler.
#include <gtest/gtest.h>

#include <string>

#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/simple_json/json_parse.h"

namespace {

int gCalls;
int32_t gLastParamsKind;

// Answers { "return" : 0, "kind" : <kind of params> }.
JsonValue* ReportKind(const JsonValue* params) {
  gCalls++;
  gLastParamsKind = params->kind;
  JsonValue* result = JsonNewObject();
  JsonAddInt32(result, "return", 0);
  JsonAddInt32(result, "kind", params->kind);
  return result;
}

JsonValue* ReturnFive(const JsonValue*) { return JsonNewInt(5); }

// Serves a request of its own while running, as a handler waiting on the host
// does, and hands back the inner response's text.
JsonValue* DispatchInside(const JsonValue* params) {
  const char* inner = nullptr;
  JsonGetString(params, "inner", &inner);
  return JsonNewString(JrDispatch(inner));
}

class Dispatch : public testing::Test {
 protected:
  void SetUp() override {
    gCalls = 0;
    JrBindingsDestroy();
    JrBind("VUSK_Client_Probe", ReportKind);
  }
  void TearDown() override { JrBindingsDestroy(); }
};

std::string Error(const char* code, const char* message, const char* id) {
  return std::string("{ \"jsonrpc\" : \"2.0\", \"error\" : { \"code\" : ") + code + ", \"message\" : \"" + message +
         "\"}, \"id\" : " + id + " }";
}

}  // namespace

TEST_F(Dispatch, SuccessEnvelopeByteForByte) {
  EXPECT_STREQ(JrDispatch("{\"jsonrpc\":\"2.0\",\"method\":\"VUSK_Client_Probe\",\"params\":{},\"id\":7}"),
               "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"return\" : 0, \"kind\" : 4 }, \"id\" : 7 }");
  EXPECT_EQ(gCalls, 1);
}

TEST_F(Dispatch, ChecksRunInOrderWithTheirCodes) {
  EXPECT_EQ(JrDispatch(""), Error("-32700", "Error: unexpected end of input, expected a value", "null"));
  EXPECT_EQ(JrDispatch("[1]"), Error("-32600", "expected object at top level", "null"));
  EXPECT_EQ(JrDispatch("5"), Error("-32600", "expected object at top level", "null"));
  EXPECT_EQ(JrDispatch("{\"method\":\"VUSK_Client_Probe\",\"params\":{}}"),
            Error("-32602", "missing request id", "null"));
  EXPECT_EQ(JrDispatch("{\"id\":true}"), Error("-32602", "invalid request id type", "true"));
  EXPECT_EQ(JrDispatch("{\"id\":[1, {}]}"), Error("-32602", "invalid request id type", "[ 1, {  } ]"));
  EXPECT_EQ(JrDispatch("{\"id\":1,\"method\":5,\"params\":{}}"), Error("-32600", "missing message name", "1"));
  EXPECT_EQ(JrDispatch("{\"id\":2,\"method\":\"VUSK_Client_Probe\"}"),
            Error("-32602", "missing argument list", "2"));
  EXPECT_EQ(JrDispatch("{\"id\":3,\"method\":\"vusk_client_probe\",\"params\":{}}"),
            Error("-32601", "unknown message", "3"));
  EXPECT_EQ(gCalls, 0);
}

TEST_F(Dispatch, NoBindingsIsReportedAfterTheOtherChecks) {
  JrBindingsDestroy();
  EXPECT_EQ(JrDispatch("{\"id\":4,\"method\":\"VUSK_Client_Probe\",\"params\":{}}"),
            Error("-32603", "no method bindings found", "4"));
  EXPECT_EQ(JrDispatch("{\"id\":4,\"method\":\"VUSK_Client_Probe\"}"), Error("-32602", "missing argument list", "4"));
}

TEST_F(Dispatch, MultiLineParseErrorStaysOnOneLine) {
  std::string response = JrDispatch("{\"a\":-x}");
  EXPECT_EQ(response.find('\n'), std::string::npos);
  EXPECT_EQ(response,
            Error("-32700",
                  "Error: expected a digit after '-', got '-x}'\\n"
                  "Error: failed to set 'a' property in object\\n"
                  "Error: unexpected '-' after value in object contents, got '-x}'",
                  "null"));
}

TEST_F(Dispatch, IdsAreEchoedByWritingThemAgain) {
  const char* probe = ",\"method\":\"VUSK_Client_Probe\",\"params\":{}}";
  auto idOf = [&](const char* id) {
    std::string response = JrDispatch((std::string("{\"id\":") + id + probe).c_str());
    size_t at = response.rfind(", \"id\" : ");
    return response.substr(at + 9, response.size() - at - 11);
  };
  EXPECT_EQ(idOf("007"), "7");
  EXPECT_EQ(idOf("18446744073709551615"), "-1");
  EXPECT_EQ(idOf("null"), "null");
  EXPECT_EQ(idOf("\"a\\u00e9\\/\\\"b\""), "\"a\\u00e9/\\\"b\"");
  EXPECT_EQ(gCalls, 4);
}

TEST_F(Dispatch, ParamsOfAnyKindReachTheHandler) {
  JrDispatch("{\"id\":1,\"method\":\"VUSK_Client_Probe\",\"params\":null}");
  EXPECT_EQ(gLastParamsKind, JSON_NULL);
  JrDispatch("{\"id\":1,\"method\":\"VUSK_Client_Probe\",\"params\":[1]}");
  EXPECT_EQ(gLastParamsKind, JSON_ARRAY);
  EXPECT_EQ(gCalls, 2);
}

TEST_F(Dispatch, TextAfterTheRequestIsIgnored) {
  const char* request = "{\"id\":1,\"method\":\"VUSK_Client_Probe\",\"params\":0} {\"id\":2} junk";
  EXPECT_STREQ(JrDispatch(request),
               "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"return\" : 0, \"kind\" : 2 }, \"id\" : 1 }");
}

// A request parsed by the transport answers exactly as its text would; the
// dispatcher takes the tree over (LeakSanitizer watches that).
TEST_F(Dispatch, AParsedRequestAnswersAsItsText) {
  const char* requests[] = {
      "{\"jsonrpc\":\"2.0\",\"method\":\"VUSK_Client_Probe\",\"params\":{},\"id\":7}",
      "{\"method\":\"nope\",\"params\":{},\"id\":\"x\"}",
      "{\"method\":\"VUSK_Client_Probe\",\"id\":[1]}",
      "[1, 2]",
  };
  for (const char* request : requests) {
    std::string fromText = JrDispatch(request);
    EXPECT_EQ(JrDispatchValue(JsonParse(request, nullptr)), fromText) << request;
  }
  EXPECT_EQ(JrDispatchValue(nullptr), Error("-32600", "expected object at top level", "null"));
  EXPECT_EQ(gCalls, 2);
}

TEST_F(Dispatch, BindingOrderIsInsertionOrderAndRebindReplaces) {
  JrBind("Zeta", ReturnFive);
  JrBind("Alpha", ReturnFive);
  JrBind("VUSK_Client_Probe", ReturnFive);  // replaces, keeps its place
  ASSERT_EQ(JrBindingCount(), 3);
  EXPECT_STREQ(JrBindingName(0), "VUSK_Client_Probe");
  EXPECT_STREQ(JrBindingName(1), "Zeta");
  EXPECT_STREQ(JrBindingName(2), "Alpha");
  EXPECT_EQ(JrBindingName(3), nullptr);
  EXPECT_EQ(JrBindingName(-1), nullptr);
  EXPECT_STREQ(JrDispatch("{\"id\":1,\"method\":\"VUSK_Client_Probe\",\"params\":0}"),
               "{ \"jsonrpc\" : \"2.0\", \"result\" : 5, \"id\" : 1 }");
  JrBindingsDestroy();
  EXPECT_EQ(JrBindingCount(), 0);
}

TEST_F(Dispatch, OuterResponseSurvivesANestedDispatch) {
  JrBind("Outer", DispatchInside);
  const char* previous = JrDispatch("{\"id\":0,\"method\":\"nope\",\"params\":0}");
  std::string previousText = previous;
  const char* outer = JrDispatch(
      "{\"id\":1,\"method\":\"Outer\",\"params\":{\"inner\":"
      "\"{\\\"id\\\":2,\\\"method\\\":\\\"VUSK_Client_Probe\\\",\\\"params\\\":{}}\"}}");
  EXPECT_STREQ(outer,
               "{ \"jsonrpc\" : \"2.0\", \"result\" : \"{ \\\"jsonrpc\\\" : \\\"2.0\\\", \\\"result\\\" : "
               "{ \\\"return\\\" : 0, \\\"kind\\\" : 4 }, \\\"id\\\" : 2 }\", \"id\" : 1 }");
  EXPECT_EQ(gCalls, 1);
  EXPECT_NE(previousText, outer);
}

TEST(JrEnvelope, BuildersWriteNullForAMissingIdAndFreeWhatTheyTake) {
  EXPECT_EQ(JrMakeError(-32601, "unknown message", JsonNewInt(7)),
            "{ \"jsonrpc\" : \"2.0\", \"error\" : { \"code\" : -32601, \"message\" : \"unknown message\"}, \"id\" : 7 }");
  EXPECT_EQ(JrMakeError(-1, "x", nullptr),
            "{ \"jsonrpc\" : \"2.0\", \"error\" : { \"code\" : -1, \"message\" : \"x\"}, \"id\" : null }");
  JsonValue* result = JsonNewObject();
  JsonAddInt32(result, "return", 0);
  EXPECT_EQ(JrMakeResult(result, JsonNewString("s")),
            "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"return\" : 0 }, \"id\" : \"s\" }");
}
