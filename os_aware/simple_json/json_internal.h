// json_internal: construction shortcuts shared by the value model and the
// parser only. Both take over heap texts the parser has already made, so a
// parsed string or member name is allocated once.
#pragma once

#include "os_aware/simple_json/simple_json.h"

// A string value owning text (a PortAlloc block, or null for "no text").
JsonValue* JsonNewStringOwned(char* text);

// JsonObjectSet that takes over name (a PortAlloc block) as well as value;
// the caller has checked that object is an object and name and value exist.
bool JsonObjectSetOwnedName(JsonValue* object, char* name, JsonValue* value);
