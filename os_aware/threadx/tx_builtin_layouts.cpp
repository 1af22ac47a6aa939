// tx_builtin_layouts: the built-in CPU table and its frame layouts.
//
// Every layout keeps the frame-kind word (0 solicited, 1 interrupt) in the
// first 4 bytes of the frame and starts both frames at the saved stack
// pointer. Registers are given as runs of consecutive register numbers whose
// saved words follow one another (step 4, or -4 where the port pushes them in
// descending order); the runs are expanded at compile time, and the checks
// below hold each layout to its register count, its frame sizes and sorted,
// distinct register numbers.
//
// What the layouts are for (register numbers are the debugger's for the
// family):
//   A  PowerPC, integer only. r0-r31 are 0-31; 32 PC, 33 MSR, 34 CR, 35 LR,
//      36 CTR, 37 XER, 38 SRR0, 39 SRR1. Interrupt frame: type, SRR0, SRR1,
//      LR, CTR, XER, CR, r0, r3-r12, r14-r31. Solicited frame: type, CR, LR,
//      r14-r31; the volatile registers read 0 (r3 carries the kernel call's
//      result, which is 0), r2 and r13 (small-data anchors) are never
//      switched and read live, r1 is the stack pointer above the frame.
//   B  PowerPC with a hardware FPU: A, then f0-f31 as 40-103 (high word of
//      fN at 40+2N, low word at 41+2N) and FPSCR as 104. The interrupt frame
//      appends f0-f31 and FPSCR (stored as a double), the solicited frame
//      the non-volatile f14-f31 and FPSCR.
//   C  PowerPC with SPE (64-bit GPRs): A, then the upper halves of r0-r31 as
//      40-71, ACC (low word) as 72 and SPEFSCR as 73, appended to the frames
//      for the registers each frame saves.
//   D  32-register CPUs with three more per-thread system registers: E, with
//      35-37 kept in interrupt frames only. Offsets are provisional.
//   E  32-register CPUs (r0 reads 0, r3 the stack pointer, r4 and r5 the
//      global and thread anchors read live); 32 PC, 33 PSW, 34 CTPC.
//      Solicited frames keep PSW, the link (as PC), r20-r30 and r2.
//      Offsets are provisional.
//   F  ARM7/ARM9-style frames: r0-r15 as 0-15, CPSR 16. Interrupt frame:
//      type, CPSR, r0-r12, LR, PC; solicited frame: type, CPSR, r4-r11, LR
//      (the return address, also read as PC).
//   G  MIPS32 without FPU: GPRs as 0-31 (k0/k1 absent: they read live), 32
//      SR, 33 LO, 34 HI, 37 PC. Interrupt frame: type, s8, s7-s0, HI, LO,
//      t9-t0, a3-a0, v1, v0, at, ra, EPC, SR; solicited frame: type, s8,
//      s7-s0, HI, LO, ra (also PC), SR.
//   H  MIPS32 with FPU: G (zero register left to the live read), f0-f31 as
//      38-69 and FCSR 70 after the integer frame (solicited: f20-f31, FCSR).
//   I  CPUs with a large register file (128 general registers, 30 system
//      registers); provisional offsets.
//   J  Small CPUs with eight general registers: r0-r7, 8 SP, 9 PC, 10 status,
//      11 extended status; provisional offsets.
//   K  ARC with the program counter kept in status-word form (PC[25:2] in
//      bits 23:0): r0-r31 (r26 gp live, r28 sp), 60 LP_COUNT, 66 LP_START,
//      67 LP_END, 70 PC read from blink (solicited) or ilink1 (interrupt)
//      through the status-word rule.
//   L  later ARC cores: K with a byte-address PC and STATUS32 as 64.
#include "os_aware/threadx/tx_builtin_layouts.h"

#include <array>
#include <cstddef>
#include <iterator>

namespace {

constexpr int64_t kLive = kSlotLive;
constexpr int64_t kSpAfter = kSlotSpAfter;
constexpr int64_t kStatusWordPc = kSlotSpecial + 4;

// Registers firstRegnum .. firstRegnum+count-1; the offset moves by step per
// register for the codes that read frame bytes and stays for the others.
struct SlotRun {
  int32_t firstRegnum;
  int32_t count;
  int64_t solicitedOffset;
  int64_t solicitedSize;
  int64_t interruptOffset;
  int64_t interruptSize;
  int32_t step = 4;
};

constexpr int64_t OffsetAt(int64_t first, int64_t size, int32_t step, int32_t index) {
  return TxSlotBytesRead(size) ? first + int64_t{step} * index : first;
}

template <size_t R>
constexpr size_t CountRegisters(const SlotRun (&runs)[R]) {
  size_t count = 0;
  for (const SlotRun& run : runs) count += static_cast<size_t>(run.count);
  return count;
}

template <size_t N, size_t R>
constexpr std::array<RegisterSlot, N> ExpandRuns(const SlotRun (&runs)[R]) {
  std::array<RegisterSlot, N> slots{};
  size_t next = 0;
  for (const SlotRun& run : runs) {
    for (int32_t i = 0; i < run.count; i++) {
      slots[next++] = RegisterSlot{run.firstRegnum + i,
                                   OffsetAt(run.solicitedOffset, run.solicitedSize, run.step, i),
                                   run.solicitedSize,
                                   OffsetAt(run.interruptOffset, run.interruptSize, run.step, i),
                                   run.interruptSize};
    }
  }
  return slots;
}

template <size_t N>
constexpr bool SortedAndDistinct(const std::array<RegisterSlot, N>& slots) {
  for (size_t i = 1; i < N; i++)
    if (slots[i - 1].regnum >= slots[i].regnum) return false;
  return true;
}

constexpr bool InsideFrame(int64_t offset, int64_t size, int64_t frameSize) {
  int64_t bytes = TxSlotBytesRead(size);
  return bytes == 0 || (offset >= 0 && offset + bytes <= frameSize);
}

template <size_t N>
constexpr bool InsideFrames(const std::array<RegisterSlot, N>& slots, int64_t solicited, int64_t interrupt) {
  if (solicited > kFrameBufferSize || interrupt > kFrameBufferSize) return false;
  for (const RegisterSlot& slot : slots)
    if (!InsideFrame(slot.solicitedOffset, slot.solicitedSize, solicited) ||
        !InsideFrame(slot.interruptOffset, slot.interruptSize, interrupt))
      return false;
  return true;
}

// ---- A: PowerPC, integer only -------------------------------------------------

constexpr SlotRun kRunsA[] = {
    {0, 1, 0, 0, 28, 4},              // r0
    {1, 1, 84, kSpAfter, 144, kSpAfter},  // r1: stack pointer above the frame
    {2, 1, 0, kLive, 0, kLive},       // r2
    {3, 10, 0, 0, 32, 4},             // r3-r12
    {13, 1, 0, kLive, 0, kLive},      // r13
    {14, 18, 12, 4, 72, 4},           // r14-r31
    {32, 1, 8, 4, 4, 4},              // PC: LR of a kernel call, SRR0 of an interrupt
    {33, 1, 0, kLive, 8, 4},          // MSR
    {34, 1, 4, 4, 24, 4},             // CR
    {35, 1, 8, 4, 12, 4},             // LR
    {36, 2, 0, 0, 16, 4},             // CTR, XER
    {38, 1, 0, kLive, 4, 4},          // SRR0
    {39, 1, 0, kLive, 8, 4},          // SRR1
};

// ---- B: PowerPC with FPU --------------------------------------------------------

constexpr SlotRun kRunsB[] = {
    {0, 1, 0, 0, 28, 4},
    {1, 1, 236, kSpAfter, 408, kSpAfter},
    {2, 1, 0, kLive, 0, kLive},
    {3, 10, 0, 0, 32, 4},
    {13, 1, 0, kLive, 0, kLive},
    {14, 18, 12, 4, 72, 4},
    {32, 1, 8, 4, 4, 4},
    {33, 1, 0, kLive, 8, 4},
    {34, 1, 4, 4, 24, 4},
    {35, 1, 8, 4, 12, 4},
    {36, 2, 0, 0, 16, 4},
    {38, 1, 0, kLive, 4, 4},
    {39, 1, 0, kLive, 8, 4},
    {40, 28, 0, 0, 144, 4},   // f0-f13, high and low words
    {68, 36, 84, 4, 256, 4},  // f14-f31
    {104, 1, 232, 4, 404, 4}, // FPSCR: low word of its double
};

// ---- C: PowerPC with SPE ----------------------------------------------------------

constexpr SlotRun kRunsC[] = {
    {0, 1, 0, 0, 28, 4},
    {1, 1, 168, kSpAfter, 272, kSpAfter},
    {2, 1, 0, kLive, 0, kLive},
    {3, 10, 0, 0, 32, 4},
    {13, 1, 0, kLive, 0, kLive},
    {14, 18, 12, 4, 72, 4},
    {32, 1, 8, 4, 4, 4},
    {33, 1, 0, kLive, 8, 4},
    {34, 1, 4, 4, 24, 4},
    {35, 1, 8, 4, 12, 4},
    {36, 2, 0, 0, 16, 4},
    {38, 1, 0, kLive, 4, 4},
    {39, 1, 0, kLive, 8, 4},
    {40, 1, 0, 0, 144, 4},        // upper r0
    {41, 1, 0, 0, 0, 0},          // upper r1: the stack stays below 4 GiB
    {42, 1, 0, kLive, 0, kLive},  // upper r2
    {43, 10, 0, 0, 148, 4},       // upper r3-r12
    {53, 1, 0, kLive, 0, kLive},  // upper r13
    {54, 18, 84, 4, 188, 4},      // upper r14-r31
    {72, 1, 160, 4, 264, 4},      // ACC, low word
    {73, 1, 164, 4, 268, 4},      // SPEFSCR
};

// ---- E and D: 32-register CPUs (provisional) --------------------------------------

constexpr SlotRun kRunsE[] = {
    {0, 1, 0, 0, 0, 0},
    {1, 1, 0, 0, 12, 4},
    {2, 1, 56, 4, 16, 4},
    {3, 1, 60, kSpAfter, 128, kSpAfter},
    {4, 2, 0, kLive, 0, kLive},
    {6, 14, 0, 0, 20, 4},   // r6-r19
    {20, 11, 12, 4, 76, 4}, // r20-r30
    {31, 1, 8, 4, 120, 4},  // link
    {32, 1, 8, 4, 8, 4},    // PC
    {33, 1, 4, 4, 4, 4},    // PSW
    {34, 1, 0, 0, 124, 4},  // CTPC
};

constexpr SlotRun kRunsD[] = {
    {0, 1, 0, 0, 0, 0},
    {1, 1, 0, 0, 12, 4},
    {2, 1, 56, 4, 16, 4},
    {3, 1, 60, kSpAfter, 140, kSpAfter},
    {4, 2, 0, kLive, 0, kLive},
    {6, 14, 0, 0, 20, 4},
    {20, 11, 12, 4, 76, 4},
    {31, 1, 8, 4, 120, 4},
    {32, 1, 8, 4, 8, 4},
    {33, 1, 4, 4, 4, 4},
    {34, 1, 0, 0, 124, 4},
    {35, 3, 0, 0, 128, 4},
};

// ---- F: ARM7/ARM9 ----------------------------------------------------------------

constexpr SlotRun kRunsF[] = {
    {0, 4, 0, 0, 8, 4},                   // r0-r3
    {4, 8, 8, 4, 24, 4},                  // r4-r11
    {12, 1, 0, 0, 56, 4},                 // r12
    {13, 1, 44, kSpAfter, 68, kSpAfter},  // sp
    {14, 1, 40, 4, 60, 4},                // lr
    {15, 1, 40, 4, 64, 4},                // pc
    {16, 1, 4, 4, 4, 4},                  // CPSR
};

// ---- G and H: MIPS32 --------------------------------------------------------------

constexpr SlotRun kRunsG[] = {
    {0, 1, 0, 0, 0, 0},                   // zero
    {1, 1, 0, 0, 112, 4},                 // at
    {2, 2, 0, 0, 108, 4, -4},             // v0, v1
    {4, 4, 0, 0, 100, 4, -4},             // a0-a3
    {8, 8, 0, 0, 84, 4, -4},              // t0-t7
    {16, 8, 36, 4, 36, 4, -4},            // s0-s7
    {24, 2, 0, 0, 52, 4, -4},             // t8, t9
    {28, 1, 0, kLive, 0, kLive},          // gp
    {29, 1, 56, kSpAfter, 128, kSpAfter}, // sp
    {30, 1, 4, 4, 4, 4},                  // s8
    {31, 1, 48, 4, 116, 4},               // ra
    {32, 1, 52, 4, 124, 4},               // SR
    {33, 1, 44, 4, 44, 4},                // LO
    {34, 1, 40, 4, 40, 4},                // HI
    {37, 1, 48, 4, 120, 4},               // PC: ra of a kernel call, EPC of an interrupt
};

constexpr SlotRun kRunsH[] = {
    {1, 1, 0, 0, 112, 4},
    {2, 2, 0, 0, 108, 4, -4},
    {4, 4, 0, 0, 100, 4, -4},
    {8, 8, 0, 0, 84, 4, -4},
    {16, 8, 36, 4, 36, 4, -4},
    {24, 2, 0, 0, 52, 4, -4},
    {28, 1, 0, kLive, 0, kLive},
    {29, 1, 108, kSpAfter, 260, kSpAfter},
    {30, 1, 4, 4, 4, 4},
    {31, 1, 48, 4, 116, 4},
    {32, 1, 52, 4, 124, 4},
    {33, 1, 44, 4, 44, 4},
    {34, 1, 40, 4, 40, 4},
    {37, 1, 48, 4, 120, 4},
    {38, 20, 0, 0, 128, 4},   // f0-f19
    {58, 12, 56, 4, 208, 4},  // f20-f31
    {70, 1, 104, 4, 256, 4},  // FCSR
};

// ---- I: large register file (provisional) ------------------------------------------

constexpr SlotRun kRunsI[] = {
    {0, 1, 0, 0, 0, 0},
    {1, 1, 184, kSpAfter, 560, kSpAfter},
    {2, 30, 0, 0, 4, 4},
    {32, 40, 4, 4, 124, 4},
    {72, 56, 0, 0, 284, 4},
    {128, 5, 164, 4, 508, 4},
    {133, 8, 0, 0, 528, 4},
    {141, 17, 0, kLive, 0, kLive},
};

// ---- J: eight general registers (provisional) ----------------------------------------

constexpr SlotRun kRunsJ[] = {
    {0, 4, 0, 0, 12, 4},
    {4, 4, 12, 4, 28, 4},
    {8, 1, 32, kSpAfter, 48, kSpAfter},
    {9, 1, 8, 4, 8, 4},
    {10, 1, 4, 4, 4, 4},
    {11, 1, 28, 4, 44, 4},
};

// ---- K and L: ARC ---------------------------------------------------------------

constexpr SlotRun kRunsK[] = {
    {0, 13, 0, 0, 24, 4},                 // r0-r12
    {13, 13, 8, 4, 76, 4},                // r13-r25
    {26, 1, 0, kLive, 0, kLive},          // gp
    {27, 1, 60, 4, 128, 4},               // fp
    {28, 1, 68, kSpAfter, 168, kSpAfter}, // sp
    {29, 1, 0, 0, 20, 4},                 // ilink1
    {30, 1, 0, 0, 132, 4},                // ilink2
    {31, 1, 4, 4, 16, 4},                 // blink
    {60, 1, 64, 4, 4, 4},                 // LP_COUNT
    {66, 2, 0, 0, 8, 4},                  // LP_START, LP_END
    {70, 1, 4, kStatusWordPc, 20, kStatusWordPc},
};

constexpr SlotRun kRunsL[] = {
    {0, 13, 0, 0, 24, 4},
    {13, 13, 8, 4, 76, 4},
    {26, 1, 0, kLive, 0, kLive},
    {27, 1, 60, 4, 128, 4},
    {28, 1, 72, kSpAfter, 172, kSpAfter},
    {29, 1, 0, 0, 20, 4},
    {30, 1, 0, 0, 132, 4},
    {31, 1, 4, 4, 16, 4},
    {60, 1, 64, 4, 4, 4},
    {64, 1, 68, 4, 168, 4},               // STATUS32
    {66, 2, 0, 0, 8, 4},
    {70, 1, 4, 4, 20, 4},
};

// ---- Expansion and checks ------------------------------------------------------------

#define TX_EXPAND(letter)                                                             \
  constexpr auto kSlots##letter = ExpandRuns<CountRegisters(kRuns##letter)>(kRuns##letter); \
  constinit std::array<RegisterSlot, kSlots##letter.size()> g_slots##letter = kSlots##letter

TX_EXPAND(A);
TX_EXPAND(B);
TX_EXPAND(C);
TX_EXPAND(D);
TX_EXPAND(E);
TX_EXPAND(F);
TX_EXPAND(G);
TX_EXPAND(H);
TX_EXPAND(I);
TX_EXPAND(J);
TX_EXPAND(K);
TX_EXPAND(L);
#undef TX_EXPAND

// (solicited frame size, interrupt frame size, register count) per layout.
static_assert(kSlotsA.size() == 40 && SortedAndDistinct(kSlotsA) && InsideFrames(kSlotsA, 84, 144));
static_assert(kSlotsB.size() == 105 && SortedAndDistinct(kSlotsB) && InsideFrames(kSlotsB, 236, 408));
static_assert(kSlotsC.size() == 74 && SortedAndDistinct(kSlotsC) && InsideFrames(kSlotsC, 168, 272));
static_assert(kSlotsD.size() == 38 && SortedAndDistinct(kSlotsD) && InsideFrames(kSlotsD, 60, 140));
static_assert(kSlotsE.size() == 35 && SortedAndDistinct(kSlotsE) && InsideFrames(kSlotsE, 60, 128));
static_assert(kSlotsF.size() == 17 && SortedAndDistinct(kSlotsF) && InsideFrames(kSlotsF, 44, 68));
static_assert(kSlotsG.size() == 34 && SortedAndDistinct(kSlotsG) && InsideFrames(kSlotsG, 56, 128));
static_assert(kSlotsH.size() == 66 && SortedAndDistinct(kSlotsH) && InsideFrames(kSlotsH, 108, 260));
static_assert(kSlotsI.size() == 158 && SortedAndDistinct(kSlotsI) && InsideFrames(kSlotsI, 184, 560));
static_assert(kSlotsJ.size() == 12 && SortedAndDistinct(kSlotsJ) && InsideFrames(kSlotsJ, 32, 48));
static_assert(kSlotsK.size() == 36 && SortedAndDistinct(kSlotsK) && InsideFrames(kSlotsK, 68, 168));
static_assert(kSlotsL.size() == 37 && SortedAndDistinct(kSlotsL) && InsideFrames(kSlotsL, 72, 172));

// Flag word at offset 0 (4 bytes); both frames start at the stack pointer.
template <size_t N>
constexpr RegisterLayout Layout(int64_t solicited, int64_t interrupt, std::array<RegisterSlot, N>& slots) {
  return RegisterLayout{0, 4, solicited, interrupt, 0, 0, static_cast<int32_t>(N), slots.data()};
}

constinit RegisterLayout g_layouts[] = {
    Layout(84, 144, g_slotsA),  Layout(236, 408, g_slotsB), Layout(168, 272, g_slotsC),
    Layout(60, 140, g_slotsD),  Layout(60, 128, g_slotsE),  Layout(44, 68, g_slotsF),
    Layout(56, 128, g_slotsG),  Layout(108, 260, g_slotsH), Layout(184, 560, g_slotsI),
    Layout(32, 48, g_slotsJ),   Layout(68, 168, g_slotsK),  Layout(72, 172, g_slotsL),
};
static_assert(std::size(g_layouts) == static_cast<size_t>(BuiltinLayoutId::kCount));

// ---- The CPU table ----------------------------------------------------------------------

using enum BuiltinLayoutId;

constexpr BuiltinLayoutRow kRows[] = {
    {16, 7, A},  {16, 8, A},  {16, 21, A}, {16, 22, A}, {16, 26, A}, {16, 30, A},
    {16, 31, A}, {16, 32, A}, {16, 54, A}, {16, 56, A}, {16, 57, A}, {16, 58, A},
    {16, 59, A}, {16, 60, A}, {16, 75, A}, {16, 76, A}, {16, 77, A}, {16, 78, A},
    {16, 4, B},  {16, 11, B}, {16, 13, B}, {16, 14, B}, {16, 10, B}, {16, 16, B},
    {16, 15, A}, {16, 20, A},
    {16, 39, C}, {16, 44, C},
    {16, kAnyMinor, B},
    {14, 3, D},
    {14, kAnyMinor, E},
    {8, kAnyMinor, E},
    {24, kAnyMinor, F},
    {10, 3, G},  {10, 1, H},  {10, 0, G},  {10, kAnyMinor, G},
    {33, kAnyMinor, I},
    {4, kAnyMinor, J},
    {39, 0, K},
    {39, 1, L},  {39, 2, L},  {39, 3, L},  {39, kAnyMinor, L},
};
static_assert(std::size(kRows) == 44);

}  // namespace

RegisterLayout* TxBuiltinLayoutFor(int16_t cpumajor, int16_t cpuminor) {
  for (const BuiltinLayoutRow& row : kRows)
    if (row.cpumajor == cpumajor && (row.cpuminor == kAnyMinor || row.cpuminor == cpuminor))
      return TxBuiltinLayout(row.layout);
  return nullptr;
}

RegisterLayout* TxBuiltinLayout(BuiltinLayoutId id) {
  size_t index = static_cast<size_t>(id);
  return index < std::size(g_layouts) ? &g_layouts[index] : nullptr;
}

const BuiltinLayoutRow* TxBuiltinLayoutRows(int* count) {
  *count = static_cast<int>(std::size(kRows));
  return kRows;
}
