// The text form: what the parser accepts and the exact error texts it
// gathers, and the writer's fixed spacing and escapes.
#include <gtest/gtest.h>

#include <string>

#include "os_aware/simple_json/json_parse.h"
#include "os_aware/simple_json/simple_json.h"

namespace {

// The compact text of a parse, or "!" followed by its error text.
std::string RoundTrip(const char* text) {
  std::string error = "stale";
  JsonValue* value = JsonParse(text, &error);
  if (!value) return "!" + error;
  EXPECT_EQ(error, "");
  std::string out;
  JsonWriteValue(&out, value);
  JsonFree(value);
  return out;
}

std::string Written(const char* text) {
  std::string out;
  JsonWriteString(&out, text);
  return out;
}

}  // namespace

TEST(JsonParse, IntegersAtTheEdgesOfSixtyFourBits) {
  EXPECT_EQ(RoundTrip("{\"a\":-9223372036854775808}"), "{ \"a\" : -9223372036854775808 }");
  EXPECT_EQ(RoundTrip("18446744073709551615"), "-1");
  EXPECT_EQ(RoundTrip("9223372036854775808"), "-9223372036854775808");
  EXPECT_EQ(RoundTrip("007"), "7");
  EXPECT_EQ(RoundTrip("-0"), "0");
  EXPECT_EQ(RoundTrip("18446744073709551616"), "!Error: integer value out of range");
  EXPECT_EQ(RoundTrip("99999999999999999999999"), "!Error: integer value out of range");
  EXPECT_EQ(RoundTrip("-18446744073709551616"), "!Error: integer value out of range");
  EXPECT_EQ(RoundTrip("-9223372036854775809"), "!Error: negative integer value out of range");
}

TEST(JsonParse, FailedMemberReportsThreeLinesFromTheNumberStart) {
  EXPECT_EQ(RoundTrip("{\"a\":-9223372036854775809}"),
            "!Error: negative integer value out of range\n"
            "Error: failed to set 'a' property in object\n"
            "Error: unexpected '-' after value in object contents, got '-9223372036854775809}'");
}

TEST(JsonParse, LoneMinusFails) {
  EXPECT_EQ(RoundTrip("-x"), "!Error: expected a digit after '-', got '-x'");
  EXPECT_EQ(RoundTrip("-"), "!Error: expected a digit after '-', got '-'");
  EXPECT_EQ(RoundTrip("[-]"), "!Error: expected a digit after '-', got '-]'");
}

TEST(JsonParse, OnlyTheFirstValueIsRead) {
  EXPECT_EQ(RoundTrip(" \t\r\n5"), "5");
  EXPECT_EQ(RoundTrip("{} trailing {\"x\""), "{  }");
  EXPECT_EQ(RoundTrip("1.5"), "1");
  EXPECT_EQ(RoundTrip("[1.5]"), "!Error: unexpected '.' after value in array contents, got '.5]'");
}

TEST(JsonParse, KeywordsAndValueErrors) {
  EXPECT_EQ(RoundTrip("[true,false,null]"), "[ true, false, null ]");
  EXPECT_EQ(RoundTrip("tru"), "!Error: unable to parse Boolean, got 'tru'");
  EXPECT_EQ(RoundTrip("nul"), "!Error: unable to parse null, got 'nul'");
  EXPECT_EQ(RoundTrip("[truex]"), "!Error: unexpected 'x' after value in array contents, got 'x]'");
  EXPECT_EQ(RoundTrip(""), "!Error: unexpected end of input, expected a value");
  EXPECT_EQ(RoundTrip("  "), "!Error: unexpected end of input, expected a value");
  EXPECT_EQ(RoundTrip("?x"), "!Error: unexpected character '?', expected a value, got: '?x'");
  EXPECT_EQ(JsonParse(nullptr, nullptr), nullptr);
}

TEST(JsonParse, StringEscapes) {
  EXPECT_EQ(RoundTrip("\"\\u0041\""), "\"A\"");
  EXPECT_EQ(RoundTrip("\"\\u12\""), "\"u12\"");
  EXPECT_EQ(RoundTrip("\"\\x\\/\\\\\\\"\""), "\"x/\\\\\\\"\"");
  EXPECT_EQ(RoundTrip("\"\\b\\f\\n\\r\\t\""), "\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(RoundTrip("\"\\u20ac\\u00E9\""), "\"\\u00ac\\u00e9\"");
  EXPECT_EQ(RoundTrip("\"ab\\u0000cd\""), "\"ab\"");
  EXPECT_EQ(RoundTrip("\"raw\ttab\""), "\"raw\\ttab\"");
  EXPECT_EQ(RoundTrip("\"open"), "!Error: unterminated string constant");
  EXPECT_EQ(RoundTrip("\"open\\"), "!Error: unterminated string constant");
  EXPECT_EQ(RoundTrip("\"\\u00"), "!Error: unterminated string constant");
}

TEST(JsonParse, ArrayErrors) {
  EXPECT_EQ(RoundTrip("[1,,2]"), "!Error: unexpected ',' after comma in array contents, got ',2]'");
  EXPECT_EQ(RoundTrip("[1,]"), "!Error: unexpected ']' after comma in array contents, got ']'");
  EXPECT_EQ(RoundTrip("[,1]"), "!Error: unexpected ',' at beginning of array contents, got ',1]'");
  EXPECT_EQ(RoundTrip("[1 2]"), "!Error: unexpected '2' after value in array contents, got '2]'");
  EXPECT_EQ(RoundTrip("[1,"), "!Error: unexpected end of input while parsing array");
  EXPECT_EQ(RoundTrip("[ ]"), "[  ]");
}

TEST(JsonParse, ObjectErrors) {
  EXPECT_EQ(RoundTrip("{\"a\" 1}"), "!Error: expected ':' after name in object contents, got '1}'");
  EXPECT_EQ(RoundTrip("{\"a\":}"), "!Error: unexpected '}' after colon in object contents, got '}'");
  EXPECT_EQ(RoundTrip("{\"a\":,}"), "!Error: unexpected ',' after colon in object contents, got ',}'");
  EXPECT_EQ(RoundTrip("{\"a\":1,}"), "!Error: unexpected '}' after comma in object contents, got '}'");
  EXPECT_EQ(RoundTrip("{1:2}"), "!Error: unexpected '1' at beginning of object contents, got '1:2}'");
  EXPECT_EQ(RoundTrip("{\"a\":1 \"b\"}"),
            "!Error: unexpected '\"' after value in object contents, got '\"b\"}'");
  EXPECT_EQ(RoundTrip("{\"a\":1"), "!Error: unexpected end of input while parsing object");
  EXPECT_EQ(RoundTrip("{\"a"),
            "!Error: unterminated string constant\nError: unexpected end of input while parsing object");
  EXPECT_EQ(RoundTrip("{\"a\":1,\"b\\"),
            "!Error: unterminated string constant\nError: unexpected end of input while parsing object");
}

TEST(JsonParse, ObjectGoesOnAfterAFailedMember) {
  // The bad member is reported and dropped; the next one is still read.
  EXPECT_EQ(RoundTrip("{\"a\":?,\"b\":1}"),
            "!Error: unexpected character '?', expected a value, got: '?,\"b\":1}'\n"
            "Error: failed to set 'a' property in object\n"
            "Error: unexpected '?' after value in object contents, got '?,\"b\":1}'");
  EXPECT_EQ(RoundTrip("{\"o\":{\"a\":tru},\"b\":1}"),
            "!Error: unable to parse Boolean, got 'tru},\"b\":1}'\n"
            "Error: failed to set 'a' property in object\n"
            "Error: unexpected 't' after value in object contents, got 'tru},\"b\":1}'\n"
            "Error: failed to set 'o' property in object\n"
            "Error: unexpected 't' after value in object contents, got 'tru},\"b\":1}'");
}

TEST(JsonParse, LaterEqualNameWinsAtThePlaceOfTheFirst) {
  EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":2,\"a\":3}"), "{ \"a\" : 3, \"b\" : 2 }");
}

TEST(JsonParse, NestingIsBounded) {
  std::string deep(kJsonMaxDepth, '[');
  deep += std::string(kJsonMaxDepth, ']');
  EXPECT_EQ(RoundTrip(deep.c_str()).substr(0, 6), "[ [ [ ");

  std::string tooDeep = "[" + deep + "]";
  EXPECT_EQ(RoundTrip(tooDeep.c_str()), "!Error: nesting deeper than 512 levels");

  std::string objects;
  for (int i = 0; i <= kJsonMaxDepth; i++) objects += "{\"k\":";
  EXPECT_EQ(RoundTrip(objects.c_str()), "!Error: nesting deeper than 512 levels");

  std::string hostile(100000, '[');
  EXPECT_EQ(RoundTrip(hostile.c_str()), "!Error: nesting deeper than 512 levels");
}

TEST(JsonParse, ErrorTextOfADeepFailureIsBounded) {
  // Every level reports the rest of the text again: 400 levels of 20 KB.
  std::string text;
  for (int i = 0; i < 400; i++) text += "{\"k\":";
  text += "?" + std::string(20000, 'x');
  std::string error;
  EXPECT_EQ(JsonParse(text.c_str(), &error), nullptr);
  EXPECT_GE(error.size(), kJsonMaxErrorText);
  EXPECT_LT(error.size(), kJsonMaxErrorText + text.size() + 100);
  EXPECT_EQ(error.rfind("Error: unexpected character '?', expected a value, got: '?xxx", 0), 0u);
}

TEST(JsonWrite, FixedSpacing) {
  EXPECT_EQ(RoundTrip("{\"a\":1,\"b\":[true,null]}"), "{ \"a\" : 1, \"b\" : [ true, null ] }");
  EXPECT_EQ(RoundTrip("{}"), "{  }");
  EXPECT_EQ(RoundTrip("[]"), "[  ]");
  std::string out;
  JsonWriteValue(&out, nullptr);
  JsonValue strange{};
  strange.kind = 99;
  JsonWriteValue(&out, &strange);
  EXPECT_EQ(out, "nullnull");
}

TEST(JsonWrite, StringEscapesLeaveOnlyPrintableAscii) {
  EXPECT_EQ(Written("line\n\"q\""), "\"line\\n\\\"q\\\"\"");
  EXPECT_EQ(Written("\x7f/"), "\"\\u007f/\"");
  EXPECT_EQ(Written("a\xa6"), "\"a\\u00a6\"");
  EXPECT_EQ(Written("\xe9t\xe9"), "\"\\u00e9t\\u00e9\"");
  EXPECT_EQ(Written("\x01\x0b\x1f\b\t\f\r\\"), "\"\\u0001\\u000b\\u001f\\b\\t\\f\\r\\\\\"");
  EXPECT_EQ(Written(nullptr), "\"(null)\"");
  EXPECT_EQ(Written(""), "\"\"");
}

TEST(JsonWrite, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int byte = 1; byte < 256; byte++) all += static_cast<char>(byte);
  std::string text;
  JsonWriteString(&text, all.c_str());
  for (char c : text) ASSERT_TRUE(c >= 0x20 && c < 0x7f) << text;
  std::string error;
  JsonValue* value = JsonParse(text.c_str(), &error);
  ASSERT_NE(value, nullptr) << error;
  EXPECT_EQ(std::string(value->payload.string), all);
  JsonFree(value);
}
