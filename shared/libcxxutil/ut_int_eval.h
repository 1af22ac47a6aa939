// ut_int_eval: the 64-bit integer expression evaluator of %if, %elif and
// %eval.
//
// Precedence climbing over a fixed operator table. Arithmetic wraps modulo
// 2^64; comparisons are unsigned; shifts are logical with the count taken
// modulo 64. Operators of equal precedence group to the right ("8 - 2 - 1"
// is 7). There is no division, remainder or "~".
//
// Names and function calls are answered by a client. A macro whose text is
// not a plain number is evaluated as an expression in turn; the texts being
// evaluated are kept on a recursion list so that a self-referring macro is
// reported instead of followed for ever. Nesting (parentheses, unary
// operators, right operands, macro texts) is bounded by kEvalMaxDepth.
//
// Errors are reported at error severity through port_msg; the failing part
// yields 0 and no further token is read.
#pragma once

#include <cstdint>

// Most arguments a function call may carry.
constexpr int kEvalMaxArguments = 12;

// Deepest nesting of sub-expressions before the evaluator gives up with a
// parse error, so that a hostile condition cannot exhaust the stack.
constexpr int kEvalMaxDepth = 256;

class ut_simple_integer_evaluator_client_interface {
 public:
  virtual ~ut_simple_integer_evaluator_client_interface() = default;

  // Text of macro name, or null when it is undefined (reported when
  // report_if_undefined). The text stays owned by the client and valid until
  // its macros change.
  virtual const char* lookup_name(const char* name, bool report_if_undefined) = 0;

  // Value of function name applied to argc argument texts (numbers as
  // decimal text, names as themselves, strings unquoted). With eval_skip the
  // value is not needed and the function must not report.
  virtual int64_t call_function(const char* name, int argc, const char* const* argv, bool eval_skip) = 0;
};

// Value of the expression in text. With eval_skip, names count as 0 without
// look-up and functions are called with the flag.
int64_t ut_simple_integer_evaluate(ut_simple_integer_evaluator_client_interface* client, const char* text,
                                   bool eval_skip);
