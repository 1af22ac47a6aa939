// The interface tests' fixture; see interface_fixture.h.
#include "interface_fixture.h"

#include "os_aware/interface/vusk_entry.h"
#include "os_aware/jsonrpc/jr_dispatch.h"

namespace {

const char* NoHost(const char*) { return nullptr; }

uint64_t g_next_handle = 1000;

}  // namespace

std::string RequestText(const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"method\":\"VUSK_Client_" + method + "\",\"params\":" + params + ",\"id\":1}";
}

std::string Call(const std::string& method, const std::string& params) {
  return JrDispatch(RequestText(method, params).c_str());
}

std::string Envelope(const std::string& result) {
  return "{ \"jsonrpc\" : \"2.0\", \"result\" : " + result + ", \"id\" : 1 }";
}

void InterfaceTest::SetUp() {
  VUSK_Client_CmdInit(0, nullptr, NoHost);
  vuskCallbackTable = VuskCallbackTable{};
  handle_ = g_next_handle++;
  Call("VuskInit", "{\"context\":" + std::to_string(handle_) + "}");
  context_ = VuskContextFind(handle_);
  ASSERT_NE(context_, nullptr);
}

void InterfaceTest::TearDown() {
  vuskCallbackTable = VuskCallbackTable{};
  while (VUSK_ServiceCntx* left = VuskContextFind(handle_)) VuskContextDestroy(left);
  EXPECT_EQ(VuskCallDepth(), 0);
}

std::string InterfaceTest::WithContext(const std::string& members) const {
  std::string params = "{\"context\":" + std::to_string(handle_);
  if (!members.empty()) params += "," + members;
  return params + "}";
}
