// tx_layout_build: register layouts from the blocks of the register-layout
// database, and the choice of a layout for a CPU (database entries first,
// then the built-in table).
//
// An entry of the top-level block "threadx_vusk_cpu" names its CPU
// (cpumajor; cpuminor as a number or list, -1 or 255 for any minor), the
// kernel build options it needs (buildopt under buildoptmask), its register
// block (regtbl, and regtbl_fp for threads that saved floating-point
// registers) and its frames: interrupt_flag { offset size },
// register_save_format { solicited { size offset } interrupt { size
// offset } } and optionally stack_pad { offset size mask value bytes } (the
// _fp forms for the floating-point layout). A thread follows the
// floating-point layout when its TX_THREAD field fp_flag is non-zero and/or
// (whichever the entry gives) when fp_frame_flag { offset size mask value }
// holds on its frame.
//
// Ownership: a built layout is owned by the caller and freed with
// TxLayoutFree; built-in layouts are borrowed. Texts (fp_flag) point into
// the database, which outlives every layout choice.
#pragma once

#include <cstdint>

#include "os_aware/threadx/tx_register_layout.h"
#include "shared/libcxxutil/ut_file_parser.h"

// Slots are added to a layout under construction this many at a time.
constexpr int32_t kLayoutSlotGrowth = 64;

// The kernel's build options as far as they are known.
struct TxBuildOptions {
  bool settled;        // known, or known to be absent
  bool symbolPresent;  // the kernel has _tx_build_options
  int32_t value;
};

struct TxLayoutChoice {
  bool databaseKnowsCpu;  // an entry of the database matched the CPU
  RegisterLayout* intLayout;
  bool ownsIntLayout;
  RegisterLayout* fpLayout;
  bool ownsFpLayout;
  const char* fpFlag;  // thread field naming floating-point frames; borrowed
  FrameWordTest fpFrameTest;  // frame word naming floating-point frames; size 0: none
};

// Whether an entry serves the CPU.
bool TxEntryMatchesCpu(attr_block* entry, int32_t cpumajor, int32_t cpuminor);

// The first CPU entry of the database whose root is given (null: an empty
// one) after `after` (null: from the start) that serves the CPU, or null.
attr_block* TxNextCpuEntry(attr_block* root, attr_block* after, int32_t cpumajor, int32_t cpuminor);

// Builds a layout from the register block tableName (a child of the
// database's root) and the entry's child blocks flagBlock, formatBlock and
// (optional) padBlock. Null, with a warning, when a block is missing or
// unusable, the table holds no register, or the layout does not fit the
// frame buffer (tx_register_layout.h). Each such warning is given once until
// TxLayoutForgetReports.
RegisterLayout* TxLayoutBuild(attr_block* root, attr_block* entry, const char* tableName, const char* flagBlock,
                              const char* formatBlock, const char* padBlock);

// Forgets the warnings given so far; called when a database is loaded, so
// that every load reports its problems once.
void TxLayoutForgetReports();

// Frees a built layout; null is ignored.
void TxLayoutFree(RegisterLayout* layout);

// Chooses the layouts for a CPU from the database whose root is given (null:
// an empty database). options is null when there is no target
// record: then, as with unsettled options, the walk stops at the first
// matching entry without building anything. Without a matching entry the
// built-in table answers. *choice is filled in every case (no layout: null
// pointers).
void TxSelectLayout(attr_block* root, int16_t cpumajor, int16_t cpuminor, const TxBuildOptions* options,
                    TxLayoutChoice* choice);

// Frees the owned layouts of a choice and clears it.
void TxLayoutChoiceRelease(TxLayoutChoice* choice);
