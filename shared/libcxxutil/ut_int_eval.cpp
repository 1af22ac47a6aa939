// ut_int_eval: see ut_int_eval.h.
//
// The grammar, one rule above each function that parses it (p: the least
// precedence an operator may have to be taken; binop(q) an operator of the
// table of precedence q; "skip" evaluates nothing and calls with the flag):
//
//   expression(p) -> primary { binop(q >= p) operand(q) }
//   operand(q)    -> expression(q)                      (q: right grouping)
//                  | expression(q) ':' expression(q)    (after '?')
//   primary       -> NUMBER | call | macro | '(' expression(0) ')'
//                  | ('-' | '+') expression(13) | '!' expression(14)
//   call          -> NAME '(' { argument | ',' } ')'
//   argument      -> NAME | STRING | NUMBER
//   macro         -> NAME               (its text: NUMBER, or an expression(0))
#include "shared/libcxxutil/ut_int_eval.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "shared/libcxxutil/ut_text.h"
#include "shared/port_msg.h"

namespace {

enum class Op {
  OrOr, AndAnd, Eq, Ne, Le, Ge, Shl, Shr,
  LParen, RParen, Comma, Question, Colon, Or, Xor, And, Lt, Gt, Plus, Minus, Times, Not,
  kCount
};

// A comparison holds when the three-way compare (-1, 0, 1) of its unsigned
// operands is one of its two accepted outcomes.
struct OperatorRow {
  const char* text;
  Op op;
  int precedence;
  bool binary;
  int accept_a = 0;
  int accept_b = 0;
};

// Two-character operators come first so that a linear scan finds the
// longest match. Rows name their columns; the accepted outcomes matter for
// comparisons only (== accepts 0 twice).
constexpr OperatorRow kOps[] = {
    {.text = "||", .op = Op::OrOr, .precedence = 3, .binary = true},
    {.text = "&&", .op = Op::AndAnd, .precedence = 4, .binary = true},
    {.text = "==", .op = Op::Eq, .precedence = 8, .binary = true, .accept_a = 0, .accept_b = 0},
    {.text = "!=", .op = Op::Ne, .precedence = 8, .binary = true, .accept_a = -1, .accept_b = 1},
    {.text = "<=", .op = Op::Le, .precedence = 9, .binary = true, .accept_a = -1, .accept_b = 0},
    {.text = ">=", .op = Op::Ge, .precedence = 9, .binary = true, .accept_a = 0, .accept_b = 1},
    {.text = "<<", .op = Op::Shl, .precedence = 10, .binary = true},
    {.text = ">>", .op = Op::Shr, .precedence = 10, .binary = true},
    {.text = "(", .op = Op::LParen, .precedence = 0, .binary = false},
    {.text = ")", .op = Op::RParen, .precedence = 0, .binary = false},
    {.text = ",", .op = Op::Comma, .precedence = 1, .binary = true},
    {.text = "?", .op = Op::Question, .precedence = 2, .binary = true},
    {.text = ":", .op = Op::Colon, .precedence = 2, .binary = false},
    {.text = "|", .op = Op::Or, .precedence = 5, .binary = true},
    {.text = "^", .op = Op::Xor, .precedence = 6, .binary = true},
    {.text = "&", .op = Op::And, .precedence = 7, .binary = true},
    {.text = "<", .op = Op::Lt, .precedence = 9, .binary = true, .accept_a = -1, .accept_b = -1},
    {.text = ">", .op = Op::Gt, .precedence = 9, .binary = true, .accept_a = 1, .accept_b = 1},
    {.text = "+", .op = Op::Plus, .precedence = 11, .binary = true},
    {.text = "-", .op = Op::Minus, .precedence = 11, .binary = true},
    {.text = "*", .op = Op::Times, .precedence = 12, .binary = true},
    {.text = "!", .op = Op::Not, .precedence = 14, .binary = false},
};
static_assert(sizeof(kOps) / sizeof(kOps[0]) == static_cast<size_t>(Op::kCount), "one table row per operator");

// Precedences at which the operand of a unary operator is read.
constexpr int kUnarySignPrecedence = 13;
constexpr int kUnaryNotPrecedence = 14;

enum class TokenKind { End, Name, String, Number, Operator, Bad };

struct Token {
  TokenKind kind = TokenKind::End;
  const char* start = "";  // where the token begins, for "near" reports
  const char* end = "";
  std::string text;        // name, or string contents
  uint64_t number = 0;
  const OperatorRow* op = nullptr;
};

// Cuts tokens from one text, with one token of look-ahead.
class Scanner {
 public:
  explicit Scanner(const char* text) : pos_(text) { Read(); }
  const Token& Peek() const { return token_; }
  Token Next() {
    Token taken = token_;
    Read();
    return taken;
  }
  bool PeekIs(Op op) const { return token_.kind == TokenKind::Operator && token_.op->op == op; }

 private:
  void Read();
  const char* pos_;
  Token token_;
};

void Scanner::Read() {
  while (ut_is_blank(*pos_)) pos_++;
  token_ = Token();
  token_.start = pos_;
  const char* p = pos_;
  if (*p == '\0') {
    token_.kind = TokenKind::End;
  } else if (ut_is_ident_start(*p)) {
    while (ut_is_ident_char(*p)) p++;
    token_.kind = TokenKind::Name;
    token_.text.assign(pos_, p);
  } else if (ut_is_digit(*p)) {
    p += ut_scan_unsigned(p, &token_.number);
    p += ut_scan_size_suffix(p, &token_.number);
    token_.kind = TokenKind::Number;
  } else if (*p == '"') {
    size_t length = ut_quoted_length(p, strlen(p));
    if (length < 2 || p[length - 1] != '"') {
      token_.kind = TokenKind::Bad;
    } else {
      token_.kind = TokenKind::String;
      token_.text = ut_unquote(p, length);
      p += length;
    }
  } else {
    token_.kind = TokenKind::Bad;
    for (const OperatorRow& row : kOps) {
      size_t length = strlen(row.text);
      if (strncmp(p, row.text, length) == 0) {
        token_.kind = TokenKind::Operator;
        token_.op = &row;
        p += length;
        break;
      }
    }
  }
  token_.end = p;
  pos_ = p;
}

// State shared by one top-level evaluation and the macro texts it enters.
struct Evaluation {
  ut_simple_integer_evaluator_client_interface* client;
  std::vector<std::string> recursion;  // macro texts being evaluated
  int depth = 0;
  bool failed = false;
};

uint64_t ParseExpression(Evaluation& ev, Scanner& sc, int min_precedence, bool skip);

uint64_t FailNear(Evaluation& ev, const Token& token) {
  if (!ev.failed) PortMessage(MsgSeverity::Error, "parse error: near: \"%s\"", token.start);
  ev.failed = true;
  return 0;
}

uint64_t Fail(Evaluation& ev, const char* message) {
  if (!ev.failed) PortMessage(MsgSeverity::Error, "%s", message);
  ev.failed = true;
  return 0;
}

bool IsArgumentToken(const Token& token) {
  return token.kind == TokenKind::Name || token.kind == TokenKind::String || token.kind == TokenKind::Number;
}

// call -> NAME '(' { argument | ',' } ')'
// NAME is taken; the "(" is the current token.
uint64_t CallFunction(Evaluation& ev, Scanner& sc, const std::string& name, bool skip) {
  sc.Next();
  std::vector<std::string> args;
  for (;;) {
    Token token = sc.Next();
    if (token.kind == TokenKind::Operator && token.op->op == Op::RParen) break;
    if (token.kind == TokenKind::Operator && token.op->op == Op::Comma) continue;
    if (!IsArgumentToken(token)) return FailNear(ev, token);
    if (args.size() == kEvalMaxArguments) return Fail(ev, "parse error: too many arguments");
    if (token.kind == TokenKind::Number) {
      char digits[32];
      snprintf(digits, sizeof digits, "%" PRId64, static_cast<int64_t>(token.number));
      args.emplace_back(digits);
    } else {
      args.push_back(token.text);
    }
  }
  const char* argv[kEvalMaxArguments];
  for (size_t i = 0; i < args.size(); i++) argv[i] = args[i].c_str();
  return static_cast<uint64_t>(ev.client->call_function(name.c_str(), static_cast<int>(args.size()), argv, skip));
}

bool OnRecursionList(const Evaluation& ev, const char* text) {
  for (const std::string& entry : ev.recursion)
    if (entry == text) return true;
  return false;
}

// macro -> NAME, whose text is a NUMBER or an expression(0) in turn
uint64_t MacroValue(Evaluation& ev, const std::string& name, bool skip) {
  if (skip) return 0;
  const char* text = ev.client->lookup_name(name.c_str(), true);
  if (!text || !*text) return 0;
  uint64_t value;
  if (ut_parse_number_text(text, &value)) return value;
  if (OnRecursionList(ev, text)) return Fail(ev, "parse error: infinite recursion");
  // The client's text may change while it is evaluated (functions look up
  // names), so the evaluation works on its own copy.
  ev.recursion.emplace_back(text);
  std::string own = ev.recursion.back();
  Scanner sub(own.c_str());
  value = ParseExpression(ev, sub, 0, skip);
  ev.recursion.pop_back();
  return value;
}

// primary -> NUMBER | call | macro | '(' expression(0) ')'
//          | ('-' | '+') expression(13) | '!' expression(14)
uint64_t ParsePrimary(Evaluation& ev, Scanner& sc, bool skip) {
  Token token = sc.Next();
  switch (token.kind) {
    case TokenKind::Number:
      return token.number;
    case TokenKind::Name:
      if (sc.PeekIs(Op::LParen)) return CallFunction(ev, sc, token.text, skip);
      return MacroValue(ev, token.text, skip);
    case TokenKind::Operator:
      break;
    default:
      return FailNear(ev, token);
  }
  switch (token.op->op) {
    case Op::LParen: {
      uint64_t value = ParseExpression(ev, sc, 0, skip);
      if (ev.failed) return value;
      if (!sc.PeekIs(Op::RParen)) return FailNear(ev, sc.Peek());
      sc.Next();
      return value;
    }
    case Op::Minus:
      return 0 - ParseExpression(ev, sc, kUnarySignPrecedence, skip);
    case Op::Plus:
      return ParseExpression(ev, sc, kUnarySignPrecedence, skip);
    case Op::Not:
      return ParseExpression(ev, sc, kUnaryNotPrecedence, skip) == 0 ? 1 : 0;
    default:
      return FailNear(ev, token);
  }
}

uint64_t ApplyBinary(const OperatorRow& row, uint64_t left, uint64_t right) {
  switch (row.op) {
    case Op::Comma: return right;
    case Op::Or: return left | right;
    case Op::Xor: return left ^ right;
    case Op::And: return left & right;
    case Op::Shl: return left << (right & 63);
    case Op::Shr: return left >> (right & 63);
    case Op::Plus: return left + right;
    case Op::Minus: return left - right;
    case Op::Times: return left * right;
    default: break;
  }
  int compare = left < right ? -1 : (left > right ? 1 : 0);
  return (compare == row.accept_a || compare == row.accept_b) ? 1 : 0;
}

// operand(q) -> expression(q) | expression(q) ':' expression(q)   (after '?')
// The operator of row (precedence q) has been taken; left is the value
// before it. || and && skip the side that cannot change the outcome, ?: the
// side not chosen.
uint64_t ParseOperand(Evaluation& ev, Scanner& sc, const OperatorRow& row, uint64_t left, bool skip) {
  switch (row.op) {
    case Op::OrOr:
      return (ParseExpression(ev, sc, row.precedence, skip || left != 0) != 0 || left != 0) ? 1 : 0;
    case Op::AndAnd:
      return (ParseExpression(ev, sc, row.precedence, skip || left == 0) != 0 && left != 0) ? 1 : 0;
    case Op::Question: {
      uint64_t when_true = ParseExpression(ev, sc, row.precedence, skip || left == 0);
      if (ev.failed) return 0;
      if (!sc.PeekIs(Op::Colon)) return FailNear(ev, sc.Peek());
      sc.Next();
      uint64_t when_false = ParseExpression(ev, sc, row.precedence, skip || left != 0);
      return left != 0 ? when_true : when_false;
    }
    default:
      return ApplyBinary(row, left, ParseExpression(ev, sc, row.precedence, skip));
  }
}

// expression(p) -> primary { binop(q >= p) operand(q) }
uint64_t ParseExpression(Evaluation& ev, Scanner& sc, int min_precedence, bool skip) {
  if (ev.depth >= kEvalMaxDepth) {
    if (!ev.failed) PortMessage(MsgSeverity::Error, "parse error: nested too deeply near: \"%s\"", sc.Peek().start);
    ev.failed = true;
    return 0;
  }
  ev.depth++;
  uint64_t value = ParsePrimary(ev, sc, skip);
  while (!ev.failed) {
    const Token& token = sc.Peek();
    if (token.kind == TokenKind::Bad) {
      FailNear(ev, token);
      break;
    }
    if (token.kind != TokenKind::Operator || !token.op->binary || token.op->precedence < min_precedence) break;
    const OperatorRow& row = *sc.Next().op;
    value = ParseOperand(ev, sc, row, value, skip);
  }
  ev.depth--;
  return value;
}

}  // namespace

int64_t ut_simple_integer_evaluate(ut_simple_integer_evaluator_client_interface* client, const char* text,
                                   bool eval_skip) {
  Evaluation ev{client, {}, 0, false};
  Scanner sc(text ? text : "");
  return static_cast<int64_t>(ParseExpression(ev, sc, 0, eval_skip));
}
