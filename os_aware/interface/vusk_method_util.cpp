// vusk_method_util: the common handler pattern and the result helpers of
// the method handlers; see vusk_methods.h.
#include "os_aware/interface/vusk_methods.h"

#include "shared/port_alloc.h"

JsonValue* VuskRunOnContext(const JsonValue* params, VuskMethodBody body, VuskCallKind kind) {
  JsonValue* result = JsonNewObject();
  VUSK_ServiceCntx* context = VuskContextLookup(params);
  if (!context) {
    JsonAddInt32(result, "return", kStatusFailed);
    return result;
  }
  VuskCallScope call(context, params, result, kind);
  int status = body(context, params, result);
  JsonAddInt32(result, "return", status);
  return result;
}

JsonValue* VuskStatusOnly(int status) {
  JsonValue* result = JsonNewObject();
  JsonAddInt32(result, "return", status);
  return result;
}

void VuskAddFlag(JsonValue* result, const char* name, bool flag) { JsonAddInt32(result, name, flag ? 1 : 0); }

void VuskAddValue(JsonValue* result, const char* name, const VuskValue* value, VuskValueForm form) {
  if (form == kFormByType) form = value->type != VUSK_TYPE_STRING ? kFormInt64 : kFormText;
  switch (form) {
    case kFormText:
      JsonAddString(result, name, value->value.string ? value->value.string : "");
      break;
    case kFormInt32:
      JsonAddInt32(result, name, value->value.i32);
      break;
    default:
      JsonAddInt64(result, name, VuskValueToInt64(value));
      break;
  }
}

void VuskFreeValueText(VuskValue* value) {
  if (value->type != VUSK_TYPE_STRING) return;
  PortFree(value->value.string);
  value->value.string = nullptr;
}

namespace {

bool CountFits(const void* array, int64_t count) {
  if (count < 0 || count > kVuskMaxResultElements) return false;
  return array || count == 0;
}

bool AddArray(JsonValue* result, const char* name, JsonValue* array) {
  if (!array) return false;
  return JsonObjectAdd(result, name, array);
}

}  // namespace

JsonValue* VuskRecordArray(const VuskValue* records, int64_t count) {
  if (!CountFits(records, count)) return nullptr;
  JsonValue* array = JsonNewArray();
  for (int64_t i = 0; i < count; i++) JsonArrayPush(array, JsonNewInt(records[i].value.i64));
  return array;
}

JsonValue* VuskTextArray(const char* const* texts, int64_t count) {
  if (!CountFits(texts, count)) return nullptr;
  JsonValue* array = JsonNewArray();
  for (int64_t i = 0; i < count; i++) JsonArrayPush(array, JsonNewString(texts[i] ? texts[i] : ""));
  return array;
}

bool VuskAddRecordArray(JsonValue* result, const char* name, const VuskValue* records, int64_t count) {
  return AddArray(result, name, VuskRecordArray(records, count));
}

bool VuskAddTextArray(JsonValue* result, const char* name, const char* const* texts, int64_t count) {
  return AddArray(result, name, VuskTextArray(texts, count));
}

bool VuskAddInt32Array(JsonValue* result, const char* name, const int32_t* values, int64_t count) {
  if (!CountFits(values, count)) return false;
  JsonValue* array = JsonNewArray();
  for (int64_t i = 0; i < count; i++) JsonArrayPush(array, JsonNewInt(values[i]));
  return JsonObjectAdd(result, name, array);
}

bool VuskAddUInt64Array(JsonValue* result, const char* name, const uint64_t* values, int64_t count) {
  if (!CountFits(values, count)) return false;
  JsonValue* array = JsonNewArray();
  for (int64_t i = 0; i < count; i++) JsonArrayPush(array, JsonNewInt(static_cast<int64_t>(values[i])));
  return JsonObjectAdd(result, name, array);
}
