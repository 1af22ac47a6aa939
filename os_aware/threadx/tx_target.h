// tx_target: the per-target record of the ThreadX logic and the operations
// that run on it, one per served callback slot.
//
// A ThreadxTargetState is made by TxTargetInit, handed to the host as its
// targetData, and freed by TxTargetCleanup, or through
// VuskAwarenessReleaseTarget when the frame drops a record still set; both
// free it with TxFreeTarget (tx_call.h), after the outermost call in
// progress. It owns the register layouts it built itself (ownsIntLayout /
// ownsFpLayout); built-in layouts are borrowed.
//
// Ids: thread and object ids are control-block addresses, kept whole as
// 64-bit values (targets may place control blocks above 4 GiB);
// TX_THREAD_AT names the thread at one in an expression.
//
// Every operation takes the borrowed BridgeContext of the call and answers
// a status of vusk_status.h (kStatusEmptyList from a list start only) or a
// service's own code.
#pragma once

#include <cinttypes>
#include <cstdint>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/threadx/tx_bridge.h"
#include "os_aware/threadx/tx_register_layout.h"

// printf format of a thread named by its control block's address (a uint64_t).
#define TX_THREAD_AT "((struct TX_THREAD_STRUCT *)0x%" PRIx64 ")"

struct ThreadxTargetState {
  int16_t cpumajor;
  int16_t cpuminor;

  // Register layouts (selected at the first register read).
  RegisterLayout* intLayout;
  bool ownsIntLayout;
  RegisterLayout* fpLayout;
  bool ownsFpLayout;
  const char* fpFlag;  // borrowed from the layout database
  FrameWordTest fpFrameTest;  // size 0: the frame does not choose the layout

  // Kernel build options.
  bool buildOptionsSettled;
  bool buildOptionsSymbol;
  int32_t buildOptions;

  // Frame cache: the saved frame of the last suspended thread read.
  uint8_t frame[kFrameBufferSize];
  uint8_t frameKind;  // 0 solicited, 1 interrupt
  bool frameFloatingPoint;  // the frame follows fpLayout (as fpFrameTest said)
  bool frameValid;
  uint64_t frameThread;
  uint32_t frameStackPointerLow;
  uint32_t frameStackPointerHigh;
  // Counts the times the cache was dropped: a frame read during which the
  // host dropped it (by a call in meanwhile) is not kept.
  uint32_t frameEpoch;

  // Cores and the current thread.
  int32_t coreCount;
  bool smpMode;
  const char* coreField;           // static texts of the core table
  const char* currentCoreExpression;
  const char* coreDisplayTemplate;
  uint64_t currentThread;  // 0 = none cached
  uint64_t currentCore;    // 1-based host core id of currentThread
};

// ---- Session and target (tx_session.cpp) -------------------------------------

int TxVuskInit(BridgeContext* bc);
// *targetData receives the new record on success.
int TxTargetInit(BridgeContext* bc, void** targetData);
int TxTargetCleanup(BridgeContext* bc, void** targetData);
int TxTargetNotify(BridgeContext* bc, ThreadxTargetState* target, int32_t notice);
int TxCmdExecute(BridgeContext* bc, ThreadxTargetState* target, const char* command);

// ---- Object lists (tx_objects.cpp) -------------------------------------------

int TxObjectListInit(BridgeContext* bc, int32_t kind, const VuskParentRef* parent);
int TxObjectListNext(BridgeContext* bc, int32_t kind, const VuskParentRef* parent);

// ---- Attributes (tx_attributes.cpp) ------------------------------------------

int TxObjectListAttribute(BridgeContext* bc, ThreadxTargetState* target, int32_t kind,
                          const VuskParentRef* parent, int32_t attribute, VuskValue* value);
// value must arrive with type 0; on success it holds a text the caller frees.
int TxTaskNameGet(BridgeContext* bc, uint64_t threadId, VuskValue* value);
int TxTaskStatusGet(BridgeContext* bc, ThreadxTargetState* target, uint64_t threadId, VuskValue* value);
// A field of the thread whose control block is at threadId, as a whole
// 64-bit integer (BridgeEvaluate).
int TxEvaluateThreadField(BridgeContext* bc, uint64_t threadId, const char* field, uint64_t* value);

// ---- Cores (tx_cores.cpp) -----------------------------------------------------

// Finds out whether the kernel runs SMP; kStatusFailed when it reports more cores
// than the host has.
int TxDetectCores(BridgeContext* bc, ThreadxTargetState* target);
// core: 0-based host core, -1 none.
int TxCurrentTaskGet(BridgeContext* bc, ThreadxTargetState* target, int64_t core, uint64_t* taskId);
// SMP: caches the thread running on the core that thread is mapped to
// (currentThread, with the core's host id in currentCore).
int TxCacheThreadRunningOnCoreOf(BridgeContext* bc, ThreadxTargetState* target, uint64_t thread);
// Forgets the cached current thread and its core.
void TxForgetCurrentThread(ThreadxTargetState* target);

// ---- Registers --------------------------------------------------------------

int TxTaskRegisterRead(BridgeContext* bc, ThreadxTargetState* target, uint64_t threadId, int32_t reg,
                       uint64_t* value);
