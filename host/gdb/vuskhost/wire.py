"""Wire texts: framing, the compact JSON text and the JSON-RPC envelopes.

Texts on the wire are byte strings. The plugin writes every byte from 0x7F
up as \\u00XX, so its messages are ASCII; we hold wire text as Python str
whose characters are the bytes (a latin-1 view). Debugger text (GDB's str)
crosses into that view through to_wire (UTF-8 bytes) and back through
from_wire, so names in UTF-8 survive the round trip.

Framing follows the plugin: a message is one brace-balanced object after
blanks, tabs and newlines; braces inside strings (with backslash escapes)
do not count. Nothing follows a message on the wire, no newline either.
"""

import json
import re

JSONRPC_VERSION = "2.0"

# JSON-RPC error codes the host uses in its own error envelopes.
ERROR_METHOD_NOT_FOUND = -32601
ERROR_INTERNAL = -32603


def to_wire(text):
    """Debugger text -> wire view (one character per UTF-8 byte)."""
    return text.encode("utf-8").decode("latin-1")


def from_wire(text):
    """Wire view -> debugger text. Bytes that are not UTF-8 are kept as
    replacement characters rather than failing the whole message."""
    try:
        raw = text.encode("latin-1")
    except UnicodeEncodeError:          # a character above 0xFF: its low byte, as ever
        raw = bytes(ord(c) & 0xFF for c in text)
    return raw.decode("utf-8", errors="replace")


# What matters to framing: braces, and quotes with the backslashes in strings.
_STRUCTURE = re.compile(r'[{}"\\]')


def complete_object_end(text):
    """Index just past the first complete object of text, or -1 while the
    text is not (yet) one. Mirrors the plugin's framing test."""
    i = 0
    n = len(text)
    while i < n and text[i] in " \t\n":
        i += 1
    if i >= n or text[i] != "{":
        return -1
    depth = 0
    in_string = False
    # Jump from one character that matters to the next.
    while True:
        m = _STRUCTURE.search(text, i)
        if m is None:
            return -1
        i = m.start()
        c = text[i]
        if in_string:
            if c == '"':
                in_string = False
            elif c == "\\":
                if i + 1 >= n:
                    return -1
                i += 1
        elif c == '"':
            in_string = True
        elif c == "{":
            depth += 1
        elif c == "}":
            if depth == 0:
                return -1
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1


def is_complete_object(text):
    return complete_object_end(text) >= 0


# Bytes that get a short escape; the rest below 0x20 and from 0x7F up are
# written \u00XX, exactly as the plugin writes them.
_SHORT_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r",
                  '"': '\\"', "\\": "\\\\"}


# Every byte of the wire view as the plugin writes it in a string.
_BYTE_TEXT = {code: _SHORT_ESCAPES.get(chr(code), "\\u00%02x" % code if code < 0x20 or code >= 0x7F else chr(code))
              for code in range(256)}


def write_string(text):
    if text.isascii() or max(text) <= "\xff":
        return '"' + text.translate(_BYTE_TEXT) + '"'
    return _write_wide(text)


def _write_wide(text):
    # A character above 0xFF stands for its low byte.
    out = ['"']
    for c in text:
        code = ord(c) & 0xFF
        if c in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[c])
        elif code < 0x20 or code >= 0x7F:
            out.append("\\u00%02x" % code)
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


def write_value(value):
    """Compact text in the plugin's own spacing ("{ "a" : 1 }", "[  ]")."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return write_string(value)
    if isinstance(value, dict):
        if not value:
            return "{  }"
        return "{ " + ", ".join(write_string(k) + " : " + write_value(v) for k, v in value.items()) + " }"
    if isinstance(value, (list, tuple)):
        if not value:
            return "[  ]"
        return "[ " + ", ".join(write_value(v) for v in value) + " ]"
    raise TypeError("no JSON text for %r" % (value,))


def parse(text):
    """Wire text -> value (strings stay in the wire view). Raises ValueError."""
    return json.loads(text)


def request(method, params, ident):
    return ('{ "jsonrpc" : "2.0", "method" : ' + write_string(method) + ", \"params\" : "
            + write_value(params) + ', "id" : ' + write_value(ident) + " }")


def result(value, ident):
    return '{ "jsonrpc" : "2.0", "result" : ' + write_value(value) + ', "id" : ' + write_value(ident) + " }"


def error(code, message, ident):
    return ('{ "jsonrpc" : "2.0", "error" : { "code" : %d, "message" : %s}, "id" : %s }'
            % (code, write_string(message), write_value(ident)))
