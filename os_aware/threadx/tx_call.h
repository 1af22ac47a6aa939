// tx_call: one awareness call from its start to its end, and what is given
// up while calls run.
//
// Every callback of the ThreadX logic runs inside a TxCallScope. A host
// request served inside a call (a nested TargetInit, TargetCleanup or CPU
// command) may replace the target record or the register layouts that the
// outer call is still working on. Whatever is given up while any call is in
// progress is kept, and freed when the outermost call ends, so that no call
// ever works on freed memory; given up outside calls (the frame dropping a
// record), it is freed at once.
//
// Invariants: the count of calls in progress is never negative, and nothing
// waits to be freed while it is 0.
#pragma once

struct ThreadxTargetState;

class TxCallScope {
 public:
  TxCallScope();
  ~TxCallScope();  // the outermost call frees what was given up meanwhile
  TxCallScope(const TxCallScope&) = delete;
  TxCallScope& operator=(const TxCallScope&) = delete;
};

// Frees a target record with the layouts it owns (null is ignored).
void TxFreeTarget(ThreadxTargetState* target);

// Frees the layouts the record owns and forgets both (the record keeps none).
void TxForgetLayouts(ThreadxTargetState* target);
