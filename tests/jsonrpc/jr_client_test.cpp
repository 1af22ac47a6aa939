// The client: the request envelope byte for byte, ids that count every
// request built, the order of the response checks with their log lines, and
// params that are consumed on every path (LeakSanitizer watches that).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "os_aware/jsonrpc/jr_client.h"
#include "os_aware/simple_json/json_parse.h"

namespace {

std::vector<std::pair<std::string, std::string>> gLog;
std::vector<std::string> gSent;
const char* gResponse;

void Record(const char* category, const char* text) { gLog.emplace_back(category, text); }

const char* Reply(const char* request) {
  gSent.emplace_back(request);
  return gResponse;
}

const char* ReplyWithUser(void* user, const char* request) {
  gSent.emplace_back(request);
  return static_cast<const char*>(user);
}

JsonValue* ContextParams() {
  JsonValue* params = JsonNewObject();
  JsonAddInt32(params, "context", 1);
  return params;
}

class Client : public testing::Test {
 protected:
  void SetUp() override {
    gLog.clear();
    gSent.clear();
    gResponse = "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"return\" : 0 }, \"id\" : 0 }";
    client = JrClientCreate();
    client->logHook = Record;
    client->send = Reply;
  }
  void TearDown() override {
    JsonFree(result);
    JrClientDestroy(client);
  }

  // Sends with fresh params; the result, when there is one, is kept.
  bool Send(const char* method = "VUSK_Service_Probe") {
    JsonFree(result);
    result = nullptr;
    return JrSendRequest(client, method, ContextParams(), &result);
  }

  JrClient* client = nullptr;
  JsonValue* result = nullptr;
};

}  // namespace

TEST_F(Client, RequestEnvelopeAndIdsCountingFromZero) {
  ASSERT_TRUE(Send());
  gResponse = "garbage";
  EXPECT_FALSE(Send());  // fails, yet uses up its id
  gResponse = "{}";
  EXPECT_TRUE(Send());
  ASSERT_EQ(gSent.size(), 3u);
  EXPECT_EQ(gSent[0],
            "{ \"jsonrpc\" : \"2.0\", \"method\" : \"VUSK_Service_Probe\", \"params\" : { \"context\" : 1 }, "
            "\"id\" : 0 }");
  EXPECT_NE(gSent[1].find("\"id\" : 1 }"), std::string::npos);
  EXPECT_NE(gSent[2].find("\"id\" : 2 }"), std::string::npos);
  EXPECT_EQ(client->nextRequestId, 3u);
}

TEST_F(Client, LargeIdsAreWrittenSigned) {
  client->nextRequestId = UINT64_MAX;
  Send();
  EXPECT_NE(gSent[0].find("\"id\" : -1 }"), std::string::npos);
  EXPECT_EQ(client->nextRequestId, 0u);
}

TEST_F(Client, MethodNameIsEscapedLikeAnyString) {
  Send("a\"b\xe9");
  EXPECT_EQ(gSent[0].rfind("{ \"jsonrpc\" : \"2.0\", \"method\" : \"a\\\"b\\u00e9\", \"params\" : ", 0), 0u);
}

TEST_F(Client, SuccessTakesTheResultOutAndLogsTheTraffic) {
  ASSERT_TRUE(Send());
  int64_t ret = -1;
  ASSERT_TRUE(JsonGetInt64(result, "return", &ret));
  EXPECT_EQ(ret, 0);
  ASSERT_EQ(gLog.size(), 2u);
  EXPECT_EQ(gLog[0], std::make_pair(std::string("SEND"), gSent[0]));
  EXPECT_EQ(gLog[1], std::make_pair(std::string("RECV"), std::string(gResponse)));
}

TEST_F(Client, ResultOfAnyKindOrNoneCountsAsSuccess) {
  gResponse = "{\"result\":5}";
  ASSERT_TRUE(Send());
  ASSERT_EQ(result->kind, JSON_INT);
  int64_t member = 0;
  EXPECT_FALSE(JsonGetInt64(result, "return", &member));

  gResponse = "[1]";
  EXPECT_TRUE(Send());
  EXPECT_EQ(result, nullptr);
  gResponse = "{\"id\":0}";
  EXPECT_TRUE(Send());
  EXPECT_EQ(result, nullptr);
}

TEST_F(Client, ErrorMemberFailsWithItsMessage) {
  gResponse = "{\"error\":{\"code\":-32601,\"message\":\"unknown message\"},\"result\":1}";
  EXPECT_FALSE(Send("M"));
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(gLog.back(), std::make_pair(std::string("ERROR"), std::string("[JrSendRequest] M request failed: unknown message")));
  gResponse = "{\"error\":7}";
  EXPECT_FALSE(Send("M"));
  EXPECT_EQ(gLog.back().second, "[JrSendRequest] M request failed: ");
}

TEST_F(Client, MissingAndUnparsableResponsesFail) {
  gResponse = nullptr;
  EXPECT_FALSE(Send("M"));
  ASSERT_EQ(gLog.size(), 3u);
  EXPECT_EQ(gLog[1], std::make_pair(std::string("RECV"), std::string("(NULL)")));
  EXPECT_EQ(gLog[2], std::make_pair(std::string("ERROR"), std::string("[JrSendRequest] M response was NULL")));
  gResponse = "{";
  EXPECT_FALSE(Send("M"));
  EXPECT_EQ(gLog.back().second,
            "[JrSendRequest] M response parsing: Error: unexpected end of input while parsing object");
}

TEST_F(Client, WithoutASendRoutineNothingIsSentAndParamsAreStillFreed) {
  client->send = nullptr;
  EXPECT_FALSE(Send());
  EXPECT_TRUE(gSent.empty());
  EXPECT_EQ(client->nextRequestId, 0u);
  ASSERT_EQ(gLog.size(), 1u);
  EXPECT_EQ(gLog[0], std::make_pair(std::string("ERROR"), std::string("[JrSendRequest] service not initialized")));
  EXPECT_FALSE(JrSendRequest(nullptr, "M", ContextParams(), &result));
}

TEST_F(Client, SendWithUserDataIsPreferred) {
  client->sendWithUser = ReplyWithUser;
  client->userData = const_cast<char*>("{\"result\":\"user\"}");
  ASSERT_TRUE(Send());
  ASSERT_EQ(result->kind, JSON_STRING);
  EXPECT_STREQ(result->payload.string, "user");
  EXPECT_EQ(gSent.size(), 1u);
}

// A transport that parsed the response hands the tree over: it is taken as
// a parsed text would be, and a failure keeps the transport's reason.
JsonValue* ExchangeParsed(const char* request, std::string* error) {
  gSent.emplace_back(request);
  if (!gResponse) return nullptr;
  return JsonParse(gResponse, error);
}

TEST_F(Client, AParsedExchangeIsPreferredAndItsTreeTaken) {
  client->exchange = ExchangeParsed;
  client->send = nullptr;
  gResponse = "{ \"result\" : { \"value\" : 7 }, \"id\" : 0 }";
  ASSERT_TRUE(Send("M"));
  int32_t value = 0;
  EXPECT_TRUE(JsonGetInt32(result, "value", &value));
  EXPECT_EQ(value, 7);
  EXPECT_EQ(gLog[1], std::make_pair(std::string("RECV"), std::string("{ \"result\" : { \"value\" : 7 }, \"id\" : 0 }")));
  gResponse = "{ \"error\" : { \"message\" : \"no\" } }";
  EXPECT_FALSE(Send("M"));
  EXPECT_EQ(gLog.back().second, "[JrSendRequest] M request failed: no");
  gResponse = "{";
  EXPECT_FALSE(Send("M"));
  EXPECT_EQ(gLog.back().second,
            "[JrSendRequest] M response parsing: Error: unexpected end of input while parsing object");
  gResponse = nullptr;
  EXPECT_FALSE(Send("M"));
  EXPECT_EQ(gLog.back().second, "[JrSendRequest] M response was NULL");
  EXPECT_EQ(gSent.size(), 4u);
}

TEST_F(Client, QuietWithoutALogHook) {
  client->logHook = nullptr;
  gResponse = nullptr;
  EXPECT_FALSE(Send());
  EXPECT_TRUE(gLog.empty());
}
