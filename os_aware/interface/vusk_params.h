// vusk_params: reading the members of a method's params, as every handler
// and the service context's per-call members read them.
//
// A flag is an integer member, true when nonzero; a JSON boolean is not an
// integer and counts as absent. Every reader accepts a params value of any
// kind (a non-object has no members).
#pragma once

#include <cstdint>

#include "os_aware/simple_json/simple_json.h"

// The flag in *out; false (and *out unchanged) when it is absent.
bool VuskParamFlag(const JsonValue* params, const char* name, bool* out);
// The flag's value, or fallback when absent.
bool VuskParamFlagOr(const JsonValue* params, const char* name, bool fallback);
int64_t VuskParamInt64Or(const JsonValue* params, const char* name, int64_t fallback);
int32_t VuskParamInt32Or(const JsonValue* params, const char* name, int32_t fallback);
