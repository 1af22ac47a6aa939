// tx_registers: a thread's registers. Reading them from saved stack frames
// is not built yet; every read answers 1, with the register-read flag kept
// right around the call so that nested service calls see it.
#include "os_aware/threadx/tx_target.h"

int TxTaskRegisterRead(BridgeContext*, ThreadxTargetState*, uint64_t, int32_t, uint64_t*) {
  uint8_t saved = inRegisterRead;
  inRegisterRead = 1;
  int status = kTxFailed;
  inRegisterRead = saved;
  return status;
}
