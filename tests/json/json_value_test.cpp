// The value model: ownership, member order, growth and typed access that
// never converts between kinds.
#include <gtest/gtest.h>

#include <string>

#include "os_aware/simple_json/json_parse.h"
#include "os_aware/simple_json/simple_json.h"
#include "shared/port_alloc.h"

namespace {

std::string Text(const JsonValue* value) {
  std::string out;
  JsonWriteValue(&out, value);
  return out;
}

}  // namespace

TEST(JsonValue, NullArgumentsAreRefusedQuietly) {
  JsonValue* value = JsonNewInt(1);
  JsonValue* out = nullptr;
  int64_t number = 7;
  EXPECT_FALSE(JsonArrayPush(nullptr, value));
  EXPECT_FALSE(JsonObjectAdd(nullptr, "a", value));
  EXPECT_FALSE(JsonObjectSet(nullptr, "a", value));
  EXPECT_FALSE(JsonObjectGet(nullptr, "a", &out));
  EXPECT_FALSE(JsonObjectTake(nullptr, "a", &out));
  EXPECT_FALSE(JsonGetInt64(nullptr, "a", &number));
  EXPECT_EQ(JsonObjectFind(nullptr, "a"), -1);
  JsonValue* array = JsonNewArray();
  EXPECT_FALSE(JsonArrayPush(array, nullptr));
  EXPECT_FALSE(JsonObjectAdd(array, "a", value));  // not an object: value stays ours
  JsonFree(array);
  JsonFree(value);
  JsonFree(nullptr);
  EXPECT_EQ(number, 7);
}

TEST(JsonValue, ContainersDoubleFromFour) {
  JsonValue* array = JsonNewArray();
  EXPECT_EQ(array->capacity, 4);
  for (int i = 0; i < 5; i++) ASSERT_TRUE(JsonArrayPush(array, JsonNewInt(i)));
  EXPECT_EQ(array->count, 5);
  EXPECT_EQ(array->capacity, 8);
  for (int i = 5; i < 9; i++) ASSERT_TRUE(JsonArrayPush(array, JsonNewInt(i)));
  EXPECT_EQ(array->capacity, 16);
  EXPECT_EQ(Text(array), "[ 0, 1, 2, 3, 4, 5, 6, 7, 8 ]");
  JsonFree(array);
}

TEST(JsonValue, AddKeepsDuplicatesAndSetReplacesTheFirstInPlace) {
  JsonValue* object = JsonNewObject();
  ASSERT_TRUE(JsonAddInt64(object, "x", 1));
  ASSERT_TRUE(JsonAddInt64(object, "y", 9));
  ASSERT_TRUE(JsonAddInt64(object, "x", 2));
  int64_t number = 0;
  ASSERT_TRUE(JsonGetInt64(object, "x", &number));
  EXPECT_EQ(number, 1);
  EXPECT_EQ(Text(object), "{ \"x\" : 1, \"y\" : 9, \"x\" : 2 }");
  ASSERT_TRUE(JsonObjectSet(object, "x", JsonNewInt(3)));
  EXPECT_EQ(Text(object), "{ \"x\" : 3, \"y\" : 9, \"x\" : 2 }");
  ASSERT_TRUE(JsonObjectSet(object, "z", JsonNewString("new")));
  EXPECT_EQ(JsonObjectFind(object, "z"), 3);
  EXPECT_EQ(JsonObjectFind(object, "X"), -1);  // names are case-sensitive
  JsonFree(object);
}

TEST(JsonValue, TakeShiftsLaterMembersDownAndHandsOverTheValue) {
  JsonValue* object = JsonNewObject();
  JsonAddInt64(object, "a", 1);
  JsonAddString(object, "b", "bee");
  JsonAddInt64(object, "c", 3);
  JsonValue* taken = nullptr;
  ASSERT_TRUE(JsonObjectTake(object, "b", &taken));
  EXPECT_EQ(object->count, 2);
  EXPECT_EQ(object->payload.members[2], nullptr);  // freed slot cleared
  EXPECT_EQ(Text(object), "{ \"a\" : 1, \"c\" : 3 }");
  EXPECT_FALSE(JsonObjectTake(object, "b", &taken));
  JsonFree(object);
  ASSERT_EQ(taken->kind, JSON_STRING);  // survives its former owner
  EXPECT_STREQ(taken->payload.string, "bee");
  JsonFree(taken);

  JsonValue* other = JsonNewObject();
  JsonAddString(other, "gone", "freed by take");
  EXPECT_TRUE(JsonObjectTake(other, "gone", nullptr));
  EXPECT_EQ(other->count, 0);
  JsonFree(other);
}

TEST(JsonValue, TypedGettersNeverConvertKinds) {
  JsonValue* object = JsonNewObject();
  JsonObjectAdd(object, "flag", JsonNewBool(1));
  JsonAddString(object, "digits", "12");
  JsonObjectAdd(object, "nothing", JsonNewNull());
  JsonAddInt64(object, "minus", -1);
  JsonAddInt64(object, "wide", 4294967296LL);
  JsonAddInt64(object, "wider", 4294967297LL);
  int64_t number = 42;
  EXPECT_FALSE(JsonGetInt64(object, "flag", &number));
  EXPECT_FALSE(JsonGetInt64(object, "digits", &number));
  EXPECT_FALSE(JsonGetInt64(object, "nothing", &number));
  EXPECT_FALSE(JsonGetInt64(object, "absent", &number));
  EXPECT_FALSE(JsonGetInt64(object, "minus", nullptr));
  EXPECT_EQ(number, 42);
  const char* text = "unchanged";
  EXPECT_FALSE(JsonGetString(object, "minus", &text));
  EXPECT_STREQ(text, "unchanged");
  ASSERT_TRUE(JsonGetString(object, "digits", &text));
  EXPECT_STREQ(text, "12");

  int32_t low = 5;
  ASSERT_TRUE(JsonGetInt32(object, "minus", &low));
  EXPECT_EQ(low, -1);
  ASSERT_TRUE(JsonGetInt32(object, "wide", &low));
  EXPECT_EQ(low, 0);
  ASSERT_TRUE(JsonGetInt32(object, "wider", &low));
  EXPECT_EQ(low, 1);
  uint64_t unsignedNumber = 0;
  ASSERT_TRUE(JsonGetUInt64(object, "minus", &unsignedNumber));
  EXPECT_EQ(unsignedNumber, UINT64_MAX);
  JsonFree(object);
}

TEST(JsonValue, PlainAddersExtendTheRightWay) {
  JsonValue* object = JsonNewObject();
  JsonAddUInt32(object, "u32", 0xFFFFFFFFu);
  JsonAddInt32(object, "i32", -2);
  JsonAddUInt64(object, "u64", UINT64_MAX);
  JsonAddString(object, "none", nullptr);
  EXPECT_EQ(Text(object), "{ \"u32\" : 4294967295, \"i32\" : -2, \"u64\" : -1, \"none\" : \"(null)\" }");
  EXPECT_FALSE(JsonAddInt64(object, nullptr, 1));
  JsonValue* array = JsonNewArray();
  EXPECT_FALSE(JsonAddString(array, "a", "b"));  // not an object: nothing leaks
  JsonFree(array);
  JsonFree(object);
}

TEST(JsonValue, ArrayHelpersCopyRangesOfOneKind) {
  const int32_t values[] = {-1, 20, 30};
  const char* const texts[] = {"p", nullptr};
  JsonValue* object = JsonNewObject();
  ASSERT_TRUE(JsonAddInt32Array(object, "ints", values, 3));
  ASSERT_TRUE(JsonAddStringArray(object, "texts", texts, 2));
  EXPECT_EQ(Text(object), "{ \"ints\" : [ -1, 20, 30 ], \"texts\" : [ \"p\", \"(null)\" ] }");

  JsonValue* ints = nullptr;
  ASSERT_TRUE(JsonObjectGet(object, "ints", &ints));
  int32_t out[3] = {0, 0, 0};
  EXPECT_TRUE(JsonArrayGetInt32s(ints, 1, out, 2));
  EXPECT_EQ(out[0], 20);
  EXPECT_EQ(out[1], 30);
  EXPECT_FALSE(JsonArrayGetInt32s(ints, 1, out, 3));
  EXPECT_FALSE(JsonArrayGetInt32s(ints, 0, out, 0));
  EXPECT_FALSE(JsonArrayGetInt32s(ints, -1, out, 2));
  uint64_t wide[3] = {};
  ASSERT_TRUE(JsonArrayGetUInt64s(ints, 0, wide, 3));
  EXPECT_EQ(wide[0], UINT64_MAX);
  const char* strings[2] = {};
  JsonValue* textArray = nullptr;
  ASSERT_TRUE(JsonObjectGet(object, "texts", &textArray));
  EXPECT_TRUE(JsonArrayGetStrings(textArray, 0, strings, 1));
  EXPECT_STREQ(strings[0], "p");
  EXPECT_FALSE(JsonArrayGetStrings(ints, 0, strings, 1));

  int32_t* slots = reinterpret_cast<int32_t*>(1);
  EXPECT_TRUE(JsonGetInt32Array(object, "ints", &slots, 0));
  EXPECT_EQ(slots, nullptr);
  ASSERT_TRUE(JsonGetInt32Array(object, "ints", &slots, 3));
  EXPECT_EQ(slots[2], 30);
  PortFree(slots);
  EXPECT_FALSE(JsonGetInt32Array(object, "absent", &slots, 2));
  ASSERT_NE(slots, nullptr);  // the caller's to free even on failure
  EXPECT_EQ(slots[0], 0);
  PortFree(slots);
  uint64_t* wideSlots = nullptr;
  EXPECT_FALSE(JsonGetUInt64Array(object, "texts", &wideSlots, 1));
  PortFree(wideSlots);
  JsonFree(object);
}

TEST(JsonValue, MixedKindArrayStopsAtTheFirstStranger) {
  JsonValue* array = JsonNewArray();
  JsonArrayPush(array, JsonNewInt(1));
  JsonArrayPush(array, JsonNewBool(1));
  JsonArrayPush(array, JsonNewInt(3));
  int32_t out[3] = {0, 0, 0};
  EXPECT_FALSE(JsonArrayGetInt32s(array, 0, out, 3));
  EXPECT_EQ(out[0], 1);  // copied before the stranger
  EXPECT_EQ(out[2], 0);
  JsonFree(array);
}
