// vusk_params: see vusk_params.h.
#include "os_aware/interface/vusk_params.h"

bool VuskParamFlag(const JsonValue* params, const char* name, bool* out) {
  int64_t value = 0;
  if (!JsonGetInt64(params, name, &value)) return false;
  *out = value != 0;
  return true;
}

bool VuskParamFlagOr(const JsonValue* params, const char* name, bool fallback) {
  bool flag = fallback;
  VuskParamFlag(params, name, &flag);
  return flag;
}

int64_t VuskParamInt64Or(const JsonValue* params, const char* name, int64_t fallback) {
  int64_t value = fallback;
  JsonGetInt64(params, name, &value);
  return value;
}

int32_t VuskParamInt32Or(const JsonValue* params, const char* name, int32_t fallback) {
  int32_t value = fallback;
  JsonGetInt32(params, name, &value);
  return value;
}
