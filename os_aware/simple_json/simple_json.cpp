// simple_json: the value model; see simple_json.h.
//
// Containers keep a slot array that starts at kJsonInitialCapacity and doubles
// when full; it never shrinks. Lookup is a linear scan by exact byte
// comparison of names, first match wins. Every routine accepts null
// arguments and then answers false (or null) without touching anything.
//
// Fewer heap blocks: a string's text, a container's first slots and a
// member's name are placed in the same block as their node (or member) when
// it is made. Such a part is recognised by its address, just past the node,
// and is freed with it; a part that was replaced or grown lives in a block
// of its own and is freed on its own, so the owned pointers in the public
// structures keep their meaning.
#include "os_aware/simple_json/simple_json.h"

#include <climits>
#include <cstring>

#include "os_aware/simple_json/json_internal.h"
#include "shared/port_alloc.h"

// Members and elements are both pointer slots, so one slot array fits either.
static_assert(sizeof(JsonMember*) == sizeof(JsonValue*));
static_assert(sizeof(JsonValue) % alignof(JsonValue*) == 0, "slots follow the node unpadded");

// ---- Parts placed right after their node --------------------------------

static char* InlineText(JsonValue* value) { return reinterpret_cast<char*>(value + 1); }
static JsonValue** InlineSlots(JsonValue* value) { return reinterpret_cast<JsonValue**>(value + 1); }
static char* InlineName(JsonMember* member) { return reinterpret_cast<char*>(member + 1); }

// A node with extra bytes after it for an inline part.
static JsonValue* NewValue(int32_t kind, size_t extra = 0) {
  JsonValue* value = static_cast<JsonValue*>(PortAlloc(sizeof(JsonValue) + extra));
  value->kind = kind;
  value->payload.integer = 0;
  value->count = 0;
  value->capacity = 0;
  return value;
}

// ---- Making and freeing -------------------------------------------------

JsonValue* JsonNewNull() { return NewValue(JSON_NULL); }

JsonValue* JsonNewBool(int flag) {
  JsonValue* value = NewValue(JSON_BOOL);
  value->payload.integer = flag ? 1 : 0;
  return value;
}

JsonValue* JsonNewInt(int64_t number) {
  JsonValue* value = NewValue(JSON_INT);
  value->payload.integer = number;
  return value;
}

JsonValue* JsonNewString(const char* text) {
  if (!text) return NewValue(JSON_STRING);  // a string without text
  return JsonNewStringN(text, strlen(text));
}

JsonValue* JsonNewStringN(const char* text, size_t length) {
  JsonValue* value = NewValue(JSON_STRING, length + 1);
  value->payload.string = InlineText(value);
  memcpy(value->payload.string, text, length);
  value->payload.string[length] = '\0';
  return value;
}

static JsonValue* NewContainer(int32_t kind) {
  JsonValue* value = NewValue(kind, kJsonInitialCapacity * sizeof(JsonValue*));
  value->payload.elements = InlineSlots(value);
  value->capacity = kJsonInitialCapacity;
  return value;
}

JsonValue* JsonNewArray() { return NewContainer(JSON_ARRAY); }
JsonValue* JsonNewObject() { return NewContainer(JSON_OBJECT); }

static void FreeMember(JsonMember* member) {
  JsonFree(member->value);
  if (member->name != InlineName(member)) PortFree(member->name);
  PortFree(member);
}

void JsonFree(JsonValue* value) {
  if (!value) return;
  switch (value->kind) {
    case JSON_OBJECT:
      for (int32_t i = 0; i < value->count; i++) FreeMember(value->payload.members[i]);
      break;
    case JSON_ARRAY:
      for (int32_t i = 0; i < value->count; i++) JsonFree(value->payload.elements[i]);
      break;
    case JSON_STRING:
      if (value->payload.string != InlineText(value)) PortFree(value->payload.string);
      break;
    default:
      break;
  }
  bool container = value->kind == JSON_OBJECT || value->kind == JSON_ARRAY;
  if (container && value->payload.elements != InlineSlots(value)) PortFree(value->payload.elements);
  PortFree(value);
}

// ---- Containers ---------------------------------------------------------

// Makes room for one more slot, doubling the slot array when it is full. The
// inline first slots cannot be reallocated, so they are copied out once.
static void GrowIfFull(JsonValue* container) {
  if (container->count < container->capacity) return;
  if (container->capacity > INT32_MAX / 2) PortOutOfMemory(SIZE_MAX);
  int32_t capacity = container->capacity * 2;
  size_t bytes = static_cast<size_t>(capacity) * sizeof(JsonValue*);
  JsonValue** slots = container->payload.elements;
  if (slots == InlineSlots(container)) {
    JsonValue** grown = static_cast<JsonValue**>(PortAlloc(bytes));
    memcpy(grown, slots, static_cast<size_t>(container->count) * sizeof(JsonValue*));
    container->payload.elements = grown;
  } else {
    container->payload.elements = static_cast<JsonValue**>(PortRealloc(slots, bytes));
  }
  container->capacity = capacity;
}

bool JsonArrayPush(JsonValue* array, JsonValue* value) {
  if (!array || array->kind != JSON_ARRAY || !value) return false;
  GrowIfFull(array);
  array->payload.elements[array->count++] = value;
  return true;
}

// Appends a member with a copy of the first length bytes of name, held in
// the member's own block, and takes over value.
static void AppendMember(JsonValue* object, const char* name, size_t length, JsonValue* value) {
  JsonMember* member = static_cast<JsonMember*>(PortAlloc(sizeof(JsonMember) + length + 1));
  member->name = InlineName(member);
  memcpy(member->name, name, length);
  member->name[length] = '\0';
  member->value = value;
  GrowIfFull(object);
  object->payload.members[object->count++] = member;
}

// Index of the first member named by the first length bytes of name (which
// hold no zero byte), or -1.
static int FindMember(const JsonValue* object, const char* name, size_t length) {
  for (int32_t i = 0; i < object->count; i++) {
    const char* candidate = object->payload.members[i]->name;
    // The first byte rejects most candidates cheaply; strncmp stops at the
    // candidate's end, so a shorter candidate is never overread.
    if (length == 0) {
      if (candidate[0] == '\0') return i;
    } else if (candidate[0] == name[0] && strncmp(candidate, name, length) == 0 && candidate[length] == '\0') {
      return i;
    }
  }
  return -1;
}

// Replaces the value of member index, or appends a new member when index < 0.
static void SetMember(JsonValue* object, int index, const char* name, size_t length, JsonValue* value) {
  if (index < 0) {
    AppendMember(object, name, length, value);
    return;
  }
  JsonMember* member = object->payload.members[index];
  JsonFree(member->value);
  member->value = value;
}

bool JsonObjectAdd(JsonValue* object, const char* name, JsonValue* value) {
  if (!object || object->kind != JSON_OBJECT || !name || !value) return false;
  AppendMember(object, name, strlen(name), value);
  return true;
}

bool JsonObjectSet(JsonValue* object, const char* name, JsonValue* value) {
  if (!object || object->kind != JSON_OBJECT || !name || !value) return false;
  size_t length = strlen(name);
  SetMember(object, FindMember(object, name, length), name, length, value);
  return true;
}

bool JsonObjectSetN(JsonValue* object, const char* name, size_t length, JsonValue* value) {
  if (!object || object->kind != JSON_OBJECT || !name || !value) return false;
  SetMember(object, FindMember(object, name, length), name, length, value);
  return true;
}

int JsonObjectFind(const JsonValue* object, const char* name) {
  if (!object || object->kind != JSON_OBJECT || !name) return -1;
  return FindMember(object, name, strlen(name));
}

bool JsonObjectGet(const JsonValue* object, const char* name, JsonValue** out) {
  if (!out) return false;
  int index = JsonObjectFind(object, name);
  if (index < 0) return false;
  *out = object->payload.members[index]->value;
  return true;
}

bool JsonObjectTake(JsonValue* object, const char* name, JsonValue** out) {
  int index = JsonObjectFind(object, name);
  if (index < 0) return false;
  JsonMember* member = object->payload.members[index];
  if (out) {
    *out = member->value;
  } else {
    JsonFree(member->value);
  }
  if (member->name != InlineName(member)) PortFree(member->name);
  PortFree(member);
  JsonMember** slots = object->payload.members;
  memmove(slots + index, slots + index + 1, static_cast<size_t>(object->count - index - 1) * sizeof(JsonMember*));
  object->count--;
  slots[object->count] = nullptr;
  return true;
}

// ---- Adding members from plain values -----------------------------------

// Adds value as a member, or frees it when the object cannot take it.
static bool AddOrFree(JsonValue* object, const char* name, JsonValue* value) {
  if (JsonObjectAdd(object, name, value)) return true;
  JsonFree(value);
  return false;
}

static bool CanAdd(const JsonValue* object, const char* name) {
  return object && object->kind == JSON_OBJECT && name;
}

bool JsonAddInt64(JsonValue* object, const char* name, int64_t value) {
  return CanAdd(object, name) && AddOrFree(object, name, JsonNewInt(value));
}

bool JsonAddUInt64(JsonValue* object, const char* name, uint64_t value) {
  return JsonAddInt64(object, name, static_cast<int64_t>(value));
}

bool JsonAddUInt32(JsonValue* object, const char* name, uint32_t value) {
  return JsonAddInt64(object, name, static_cast<int64_t>(value));
}

bool JsonAddInt32(JsonValue* object, const char* name, int32_t value) {
  return JsonAddInt64(object, name, static_cast<int64_t>(value));
}

bool JsonAddString(JsonValue* object, const char* name, const char* text) {
  return CanAdd(object, name) && AddOrFree(object, name, JsonNewString(text));
}

// ---- Typed getters ------------------------------------------------------

// The member's value when it exists and has the wanted kind, else null.
static const JsonValue* MemberOfKind(const JsonValue* object, const char* name, int32_t kind) {
  JsonValue* value = nullptr;
  if (!JsonObjectGet(object, name, &value) || value->kind != kind) return nullptr;
  return value;
}

bool JsonGetInt64(const JsonValue* object, const char* name, int64_t* out) {
  const JsonValue* value = out ? MemberOfKind(object, name, JSON_INT) : nullptr;
  if (!value) return false;
  *out = value->payload.integer;
  return true;
}

bool JsonGetUInt64(const JsonValue* object, const char* name, uint64_t* out) {
  const JsonValue* value = out ? MemberOfKind(object, name, JSON_INT) : nullptr;
  if (!value) return false;
  *out = static_cast<uint64_t>(value->payload.integer);
  return true;
}

bool JsonGetInt32(const JsonValue* object, const char* name, int32_t* out) {
  const JsonValue* value = out ? MemberOfKind(object, name, JSON_INT) : nullptr;
  if (!value) return false;
  // Low 32 bits, no range check: callers pass addresses and masks through here.
  *out = static_cast<int32_t>(static_cast<uint32_t>(value->payload.integer));
  return true;
}

bool JsonGetString(const JsonValue* object, const char* name, const char** out) {
  const JsonValue* value = out ? MemberOfKind(object, name, JSON_STRING) : nullptr;
  if (!value) return false;
  *out = value->payload.string;
  return true;
}

// ---- Arrays of plain values ---------------------------------------------

// Builds an array of n values made by make(i) and adds it as a member.
template <typename Make>
static bool AddArray(JsonValue* object, const char* name, bool haveValues, int n, Make make) {
  if (!CanAdd(object, name) || n < 0 || (n > 0 && !haveValues)) return false;
  JsonValue* array = JsonNewArray();
  for (int i = 0; i < n; i++) JsonArrayPush(array, make(i));
  return AddOrFree(object, name, array);
}

bool JsonAddInt32Array(JsonValue* object, const char* name, const int32_t* values, int n) {
  return AddArray(object, name, values != nullptr, n, [values](int i) { return JsonNewInt(values[i]); });
}

bool JsonAddUInt64Array(JsonValue* object, const char* name, const uint64_t* values, int n) {
  return AddArray(object, name, values != nullptr, n,
                  [values](int i) { return JsonNewInt(static_cast<int64_t>(values[i])); });
}

bool JsonAddStringArray(JsonValue* object, const char* name, const char* const* texts, int n) {
  return AddArray(object, name, texts != nullptr, n, [texts](int i) { return JsonNewString(texts[i]); });
}

// Copies elements start..start+n-1 of kind through copy(i, element); stops
// with false at the first element of another kind.
template <typename Copy>
static bool GetElements(const JsonValue* array, int start, int n, int32_t kind, Copy copy) {
  if (!array || array->kind != JSON_ARRAY || n < 1 || start < 0) return false;
  if (static_cast<int64_t>(start) + n > array->count) return false;
  for (int i = 0; i < n; i++) {
    const JsonValue* element = array->payload.elements[start + i];
    if (element->kind != kind) return false;
    copy(i, element);
  }
  return true;
}

bool JsonArrayGetInt32s(const JsonValue* array, int start, int32_t* out, int n) {
  if (!out) return false;
  return GetElements(array, start, n, JSON_INT, [out](int i, const JsonValue* element) {
    out[i] = static_cast<int32_t>(static_cast<uint32_t>(element->payload.integer));
  });
}

bool JsonArrayGetUInt64s(const JsonValue* array, int start, uint64_t* out, int n) {
  if (!out) return false;
  return GetElements(array, start, n, JSON_INT, [out](int i, const JsonValue* element) {
    out[i] = static_cast<uint64_t>(element->payload.integer);
  });
}

bool JsonArrayGetStrings(const JsonValue* array, int start, const char** out, int n) {
  if (!out) return false;
  return GetElements(array, start, n, JSON_STRING,
                     [out](int i, const JsonValue* element) { out[i] = element->payload.string; });
}

// Hands the caller n zeroed slots whenever out is given and n > 0, even when
// the member is missing, so the caller can always free *out afterwards.
template <typename Slot, typename Fill>
static bool GetArrayInto(const JsonValue* object, const char* name, Slot** out, int n, Fill fill) {
  if (!out) return false;
  if (n <= 0) {
    *out = nullptr;
    return true;
  }
  *out = static_cast<Slot*>(PortAllocZero(static_cast<size_t>(n), sizeof(Slot)));
  const JsonValue* array = MemberOfKind(object, name, JSON_ARRAY);
  return array && fill(array, 0, *out, n);
}

bool JsonGetInt32Array(const JsonValue* object, const char* name, int32_t** out, int n) {
  return GetArrayInto(object, name, out, n, JsonArrayGetInt32s);
}

bool JsonGetUInt64Array(const JsonValue* object, const char* name, uint64_t** out, int n) {
  return GetArrayInto(object, name, out, n, JsonArrayGetUInt64s);
}
