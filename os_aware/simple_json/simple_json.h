// simple_json: the plugin's JSON value model and typed access.
//
// One JsonValue is one node of a tree. Numbers are 64-bit integers only (there
// is no floating-point kind). Objects keep their members in the order they
// were added and may hold one name twice (JsonObjectAdd does not look).
//
// Ownership: a container owns its members and elements; JsonFree releases a
// whole tree. A value handed to a container, or to an operation that says it
// takes it over, changes owner: the caller must not free it again.
// A string's text, a member's name and a container's first slots may share
// their node's heap block: change them only through these operations.
// Every operation accepts null arguments and then does nothing and answers
// false (or null). Allocation failure ends the process (port_alloc).
#pragma once

#include <cstdint>
#include <string>

enum JsonKind : int32_t {
  JSON_NULL = 0,
  JSON_BOOL = 1,
  JSON_INT = 2,
  JSON_STRING = 3,
  JSON_OBJECT = 4,
  JSON_ARRAY = 5,
};

struct JsonMember;

struct JsonValue {
  int32_t kind;
  union {
    int64_t integer;       // JSON_BOOL (0 or 1) and JSON_INT
    char* string;          // JSON_STRING: owned, may be null ("no text")
    JsonMember** members;  // JSON_OBJECT: owned slot array
    JsonValue** elements;  // JSON_ARRAY: owned slot array
  } payload;
  int32_t count;     // objects and arrays: slots in use
  int32_t capacity;  // objects and arrays: slots allocated (4, then doubled)
};

struct JsonMember {
  char* name;        // owned copy
  JsonValue* value;  // owned
};

// Capacity of a new container; doubled each time it is full.
constexpr int32_t kJsonInitialCapacity = 4;

// ---- Making and freeing -------------------------------------------------
JsonValue* JsonNewNull();
JsonValue* JsonNewBool(int flag);
JsonValue* JsonNewInt(int64_t value);
JsonValue* JsonNewString(const char* text);  // copies; null text gives a string without text
JsonValue* JsonNewArray();
JsonValue* JsonNewObject();
void JsonFree(JsonValue* value);

// ---- Containers ---------------------------------------------------------
bool JsonArrayPush(JsonValue* array, JsonValue* value);                    // takes value
bool JsonObjectAdd(JsonValue* object, const char* name, JsonValue* value);  // takes value
bool JsonObjectSet(JsonValue* object, const char* name, JsonValue* value);  // takes value
int JsonObjectFind(const JsonValue* object, const char* name);
bool JsonObjectGet(const JsonValue* object, const char* name, JsonValue** out);  // borrowed
bool JsonObjectTake(JsonValue* object, const char* name, JsonValue** out);       // caller owns *out

// ---- Adding members from plain values -----------------------------------
bool JsonAddInt64(JsonValue* object, const char* name, int64_t value);
bool JsonAddUInt64(JsonValue* object, const char* name, uint64_t value);
bool JsonAddUInt32(JsonValue* object, const char* name, uint32_t value);
bool JsonAddInt32(JsonValue* object, const char* name, int32_t value);
bool JsonAddString(JsonValue* object, const char* name, const char* text);

// ---- Typed getters (out is left unchanged on false) ---------------------
bool JsonGetInt64(const JsonValue* object, const char* name, int64_t* out);
bool JsonGetUInt64(const JsonValue* object, const char* name, uint64_t* out);
bool JsonGetInt32(const JsonValue* object, const char* name, int32_t* out);
bool JsonGetString(const JsonValue* object, const char* name, const char** out);  // borrowed

// ---- Arrays of plain values ---------------------------------------------
bool JsonAddInt32Array(JsonValue* object, const char* name, const int32_t* values, int n);
bool JsonAddUInt64Array(JsonValue* object, const char* name, const uint64_t* values, int n);
bool JsonAddStringArray(JsonValue* object, const char* name, const char* const* texts, int n);
bool JsonArrayGetInt32s(const JsonValue* array, int start, int32_t* out, int n);
bool JsonArrayGetUInt64s(const JsonValue* array, int start, uint64_t* out, int n);
bool JsonArrayGetStrings(const JsonValue* array, int start, const char** out, int n);
// With n > 0, *out receives n zeroed slots from PortAlloc that the caller owns
// and frees with PortFree, also when the result is false.
bool JsonGetInt32Array(const JsonValue* object, const char* name, int32_t** out, int n);
bool JsonGetUInt64Array(const JsonValue* object, const char* name, uint64_t** out, int n);
