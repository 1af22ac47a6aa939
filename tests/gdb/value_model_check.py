"""The GDB host's value model checked against GDB's own evaluator, inside
GDB, after the extension is loaded.

    check = value_model_check.CrossCheck(vusk_threadx_extension)
    ... threadx commands ...
    check.mismatches, check.fallbacks

While installed, every distinct text the plugin sends is evaluated by the
model and again by gdb.parse_and_eval, the convenience variables it names
put back in between. Both must give the same scalar (kind, value, size,
signedness, the type's code) or both fail, and leave the same convenience
variables; the session then goes on from the model's result. A text the
model handed to GDB's parser is a fallback: none of the plugin's texts
should be one.

compare(text) does the same for a text of a test's own.
"""

import re

import gdb

from vuskhost import gdb_target

_DOLLAR = re.compile(r"\$(\w+)")


def _described(value):
    """What of a value must agree: None for no value."""
    if value is None:
        return None
    scalar = gdb_target.to_scalar(value)
    return (scalar.kind, scalar.value, scalar.size, scalar.signed, scalar.text,
            value.type.strip_typedefs().code)


def _outcome(evaluate, text):
    """(value, what must agree of it, error): a lazy value is read here."""
    try:
        value = evaluate(text)
        return value, _described(value), None
    except gdb.error as e:
        return None, "error", e


class CrossCheck:
    def __init__(self, extension):
        self.values = extension.debugger.values
        self.model_evaluate = self.values.evaluate
        self.values.evaluate = self._evaluate
        self.seen = set()
        self.mismatches = []
        self.fallbacks = []
        self.checked = 0

    def remove(self):
        self.values.evaluate = self.model_evaluate

    def _evaluate(self, text):
        if text in self.seen:
            return self.model_evaluate(text)
        self.seen.add(text)
        value, error = self.compare(text)
        if error is not None:
            raise error
        return value

    def compare(self, text):
        """(value, error) of the model for text, after checking it against
        GDB's evaluator; the convenience variables stay as the model left
        them."""
        names = set(_DOLLAR.findall(text))
        before = {name: gdb.convenience_variable(name) for name in names}
        fallbacks = self.values.fallbacks
        value, got, error = _outcome(self.model_evaluate, text)
        if self.values.fallbacks != fallbacks:
            self.fallbacks.append(text)
        by_model = {name: gdb.convenience_variable(name) for name in names}
        for name, old in before.items():
            gdb.set_convenience_variable(name, old)
        _, expected, want_error = _outcome(gdb_target.parse_and_eval, gdb_target.answered_core_registers(text))
        by_gdb = {name: _described(gdb.convenience_variable(name)) for name in names}
        for name, new in by_model.items():
            gdb.set_convenience_variable(name, new)
        self.checked += 1
        if got != expected:
            self.mismatches.append("%s: model %r (%s), GDB %r (%s)" % (text, got, error, expected, want_error))
        variables = {name: _described(new) for name, new in by_model.items()}
        if variables != by_gdb:
            self.mismatches.append("%s: variables %r by the model, %r by GDB" % (text, variables, by_gdb))
        return value, error
