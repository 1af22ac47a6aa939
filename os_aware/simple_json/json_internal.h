// json_internal: construction from counted texts, shared by the value model
// and the parser only. The parser hands over slices of the message text, so
// a parsed string or member name is copied once, straight into its node.
#pragma once

#include <cstddef>

#include "os_aware/simple_json/simple_json.h"

// A string value holding a copy of the first length bytes of text.
JsonValue* JsonNewStringN(const char* text, size_t length);

// JsonObjectSet with a name given as its first length bytes, which must not
// contain a zero byte; the name need not be zero-terminated.
bool JsonObjectSetN(JsonValue* object, const char* name, size_t length, JsonValue* value);
