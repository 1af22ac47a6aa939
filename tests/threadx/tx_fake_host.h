// A stand-in for the host behind a BridgeContext: the operations the ThreadX
// logic uses answer from rules (first rule whose text is part of the request
// wins; none: status 1) and every request text is kept in order.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "os_aware/interface/vusk_context.h"
#include "os_aware/threadx/tx_bridge.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/port_alloc.h"

struct FakeRule {
  std::string match;
  int status;
  uint64_t number;   // expression answers
  std::string text;  // string and command answers
  int times;         // uses left; -1 unlimited
};

class FakeHost {
 public:
  FakeHost() {
    current_ = this;
    bc.host = &host;
    bc.services = *BridgeStandardServices();
    bc.services.expressionEval = ExpressionEval;
    bc.services.stringEval = StringEval;
    bc.services.commandExecOutput = CommandExecOutput;
    bc.services.symbolLookup = SymbolLookup;
    bc.services.messageDisplay = MessageDisplay;
    bc.settings.coreCount = 1;
  }
  ~FakeHost() { current_ = nullptr; }

  // Answers for requests whose text contains match.
  void Number(const std::string& match, uint64_t number, int times = -1) {
    rules.push_back({match, kStatusOk, number, {}, times});
  }
  void Text(const std::string& match, const std::string& text, int times = -1) {
    rules.push_back({match, kStatusOk, 0, text, times});
  }
  void Fail(const std::string& match, int times = -1) { rules.push_back({match, kStatusFailed, 0, {}, times}); }

  // The host's core ids, as the bridge copies them into its settings.
  void SetCores(std::vector<uint64_t> ids) {
    coreIds = std::move(ids);
    bc.settings.coreCount = coreIds.size();
    bc.settings.coreIdList = coreIds.data();
  }

  std::string Last() const { return sent.empty() ? "(none)" : sent.back(); }

  BridgeContext bc{};
  VUSK_ServiceCntx host{};
  std::vector<uint64_t> coreIds;
  std::vector<FakeRule> rules;
  std::vector<std::string> sent;  // "eval: ...", "string: ...", "command: ...", "lookup: ...", "message: ..."

 private:
  static FakeRule* Find(const char* kind, const char* text) {
    current_->sent.push_back(std::string(kind) + ": " + text);
    for (FakeRule& rule : current_->rules) {
      if (rule.times == 0 || std::string(text).find(rule.match) == std::string::npos) continue;
      if (rule.times > 0) rule.times--;
      return &rule;
    }
    return nullptr;
  }

  static int ExpressionEval(BridgeContext*, const char* expression, VuskValue* value) {
    FakeRule* rule = Find("eval", expression);
    if (!rule) return kStatusFailed;
    if (rule->status == kStatusOk && value) VuskValueStoreInteger(value, rule->number);
    return rule->status;
  }

  static int StringEval(BridgeContext*, const char* input, char** text) {
    FakeRule* rule = Find("string", input);
    if (!rule) return kStatusFailed;
    if (rule->status == kStatusOk) *text = PortStrdup(rule->text.c_str());
    return rule->status;
  }

  static int CommandExecOutput(BridgeContext*, const char* command, int32_t, char** output) {
    FakeRule* rule = Find("command", command);
    if (!rule) return kStatusFailed;
    if (rule->status == kStatusOk) *output = PortStrdup(rule->text.c_str());
    return rule->status;
  }

  static int SymbolLookup(BridgeContext*, const char* name, uint64_t* address, int32_t*) {
    FakeRule* rule = Find("lookup", name);
    if (!rule) return kStatusFailed;
    if (address) *address = rule->number;
    return rule->status;
  }

  __attribute__((format(printf, 3, 0))) static int MessageDisplay(BridgeContext*, int32_t messageType,
                                                                  const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    current_->sent.push_back("message " + std::to_string(messageType) + ": " + text);
    return kStatusOk;
  }

  static inline FakeHost* current_ = nullptr;
};
