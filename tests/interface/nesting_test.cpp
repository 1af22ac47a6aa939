// Nested calls: a callback that waits for the host may see the host call
// further methods first. The outer call must find its own request, response
// and per-call flags again afterwards, also when the nested calls clean its
// context up.
#include <string>
#include <vector>

#include "interface_fixture.h"
#include "os_aware/jsonrpc/jr_dispatch.h"
#include "os_aware/simple_json/json_parse.h"
#include "shared/port_msg.h"

namespace {

struct CallState {
  const JsonValue* request;
  const JsonValue* response;
  bool inUserMode;
  bool abortAction;
};

CallState StateOf(const VUSK_ServiceCntx* context) {
  return CallState{context->currentRequest, context->currentResponse, VuskCntxHas(context, kCntxInUserMode),
                   VuskCntxHas(context, kCntxAbortAction)};
}

// The requests the callbacks dispatch while "waiting for the host".
std::vector<std::string> g_nested;
std::vector<std::string> g_nested_answers;
std::vector<CallState> g_states;
std::vector<std::string> g_messages;

void Capture(void*, MsgSeverity, const char* text) { g_messages.emplace_back(text); }

void DispatchNested() {
  if (g_nested.empty()) return;
  std::string request = g_nested.front();
  g_nested.erase(g_nested.begin());
  g_nested_answers.emplace_back(JrDispatch(request.c_str()));
}

// Records the state, serves the next nested request, records the state again.
int RecordAroundNested(VUSK_ServiceCntx* context, VuskPluginInfo*, void*, uint64_t, VuskValue*) {
  g_states.push_back(StateOf(context));
  DispatchNested();
  if (VuskContextFind(context->handle) == context) g_states.push_back(StateOf(context));
  return 0;
}

class Nesting : public InterfaceTest {
 protected:
  void SetUp() override {
    InterfaceTest::SetUp();
    g_nested.clear();
    g_nested_answers.clear();
    g_states.clear();
    g_messages.clear();
    PortSetMessageSink(Capture, nullptr);
    vuskCallbackTable.taskNameGet = RecordAroundNested;
    vuskCallbackTable.taskStatusGet = RecordAroundNested;
  }
  void TearDown() override {
    PortSetMessageSink(nullptr, nullptr);
    InterfaceTest::TearDown();
  }
};

TEST_F(Nesting, ANestedCallOnTheSameContextRestoresTheOuterCall) {
  g_nested.push_back(RequestText("TaskStatusGet", WithContext("\"taskId\":2")));
  EXPECT_EQ(Call("TaskNameGet", WithContext("\"taskId\":1,\"inUserMode\":1,\"abortAction\":1")),
            Envelope("{ \"name\" : \"\", \"return\" : 0 }"));
  ASSERT_EQ(g_states.size(), 4u);
  const CallState& outerBefore = g_states[0];
  const CallState& nested = g_states[1];
  const CallState& outerAfter = g_states[3];
  EXPECT_TRUE(outerBefore.inUserMode);
  EXPECT_TRUE(outerBefore.abortAction);
  EXPECT_FALSE(nested.inUserMode);
  EXPECT_FALSE(nested.abortAction);
  EXPECT_NE(nested.request, outerBefore.request);
  EXPECT_EQ(outerAfter.request, outerBefore.request);
  EXPECT_EQ(outerAfter.response, outerBefore.response);
  EXPECT_TRUE(outerAfter.inUserMode);
  EXPECT_TRUE(outerAfter.abortAction);
  EXPECT_EQ(g_nested_answers[0], Envelope("{ \"status\" : \"\", \"return\" : 0 }"));
  EXPECT_TRUE(g_messages.empty());
  // Between calls the context holds no request that has been freed.
  EXPECT_EQ(context_->currentRequest, nullptr);
  EXPECT_EQ(context_->currentResponse, nullptr);
}

TEST_F(Nesting, ANestedCallOnAnotherContextLeavesBothAlone) {
  Call("VuskInit", "{\"context\":88001}");
  VUSK_ServiceCntx* other = VuskContextFind(88001);
  ASSERT_NE(other, nullptr);
  Call("TaskNameGet", "{\"context\":88001,\"taskId\":3,\"inUserMode\":1}");  // a finished call on it
  g_states.clear();
  g_nested.push_back(RequestText("TaskStatusGet", "{\"context\":88001,\"taskId\":2}"));
  Call("TaskNameGet", WithContext("\"taskId\":1,\"abortAction\":1"));
  ASSERT_EQ(g_states.size(), 4u);
  EXPECT_EQ(g_states[3].request, g_states[0].request);
  EXPECT_EQ(g_states[3].response, g_states[0].response);
  EXPECT_TRUE(g_states[3].abortAction);
  EXPECT_FALSE(g_states[1].inUserMode);
  EXPECT_TRUE(g_messages.empty());
  EXPECT_EQ(other->currentRequest, nullptr);
  Call("VuskCleanup", "{\"context\":88001}");
}

TEST_F(Nesting, ACleanupInsideACallFreesTheContextAfterIt) {
  g_nested.push_back(RequestText("VuskCleanup", WithContext()));
  EXPECT_EQ(Call("TaskNameGet", WithContext("\"taskId\":1")), Envelope("{ \"name\" : \"\", \"return\" : 0 }"));
  EXPECT_EQ(g_nested_answers[0], Envelope("{ \"return\" : 0 }"));
  EXPECT_EQ(VuskContextFind(handle_), nullptr);
  EXPECT_TRUE(g_messages.empty());
  EXPECT_EQ(Call("TaskNameGet", WithContext("\"taskId\":1")), Envelope("{ \"return\" : 1 }"));
}

TEST_F(Nesting, RestoringACallWhoseContextWasCleanedUpIsReported) {
  // Outer call -> nested call -> cleanup of their context: when the middle
  // call leaves, the outer request no longer names a live context.
  g_nested.push_back(RequestText("TaskStatusGet", WithContext("\"taskId\":2")));
  g_nested.push_back(RequestText("VuskCleanup", WithContext()));
  EXPECT_EQ(Call("TaskNameGet", WithContext("\"taskId\":1")), Envelope("{ \"name\" : \"\", \"return\" : 0 }"));
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], "Got different VUSK_ServiceCntx at restoration.\n");
  EXPECT_EQ(g_nested_answers.size(), 2u);
  EXPECT_EQ(VuskContextFind(handle_), nullptr);
}

TEST_F(Nesting, ASavedRequestNamingAnotherContextIsReported) {
  // Drives the scopes directly: the interrupted call's request names another
  // live context, which is what the restoration reports.
  Call("VuskInit", "{\"context\":88002}");
  VUSK_ServiceCntx* other = VuskContextFind(88002);
  std::string error;
  JsonValue* outer = JsonParse("{\"context\":88002,\"inUserMode\":1}", &error);
  JsonValue* inner = JsonParse(WithContext().c_str(), &error);
  JsonValue* response = JsonNewObject();
  {
    ASSERT_EQ(VuskContextLookup(outer), other);
    VuskCallScope outerCall(other, outer, response, VuskCallKind::kMethod);
    context_->currentRequest = outer;  // as if the outer call had run here
    ASSERT_EQ(VuskContextLookup(inner), context_);
    { VuskCallScope innerCall(context_, inner, response, VuskCallKind::kMethod); }
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0], "Got different VUSK_ServiceCntx at restoration.\n");
    EXPECT_EQ(context_->currentRequest, outer);
    EXPECT_EQ(VuskCallDepth(), 1);
    context_->currentRequest = nullptr;
  }
  EXPECT_EQ(other->currentRequest, nullptr);
  EXPECT_EQ(VuskCallDepth(), 0);
  JsonFree(outer);
  JsonFree(inner);
  JsonFree(response);
  Call("VuskCleanup", "{\"context\":88002}");
}

}  // namespace
