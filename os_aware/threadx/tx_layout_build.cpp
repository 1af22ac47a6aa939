// tx_layout_build: layouts from database blocks; see tx_layout_build.h.
#include "os_aware/threadx/tx_layout_build.h"

#include <algorithm>
#include <set>
#include <string>

#include "os_aware/threadx/tx_builtin_layouts.h"
#include "os_aware/threadx/tx_frame.h"
#include "shared/port_alloc.h"
#include "shared/port_msg.h"

namespace {

constexpr const char kCpuBlock[] = "threadx_vusk_cpu";
constexpr const char kFpFrameFlagBlock[] = "fp_frame_flag";
// An alignment pad is a few bytes; more says the entry is wrong.
constexpr int64_t kMaxStackPadBytes = 64;
// Minor numbers an entry gives for "any minor".
constexpr int32_t kEntryAnyMinor = -1;
constexpr int32_t kEntryAnyMinorAlias = 255;
constexpr int32_t kMissing = -1;
// Distinct rejections remembered between two TxLayoutForgetReports; past
// this many every further one is reported each time it is met.
constexpr size_t kMaxRememberedReports = 256;

// The rejections reported since the database was loaded. A rejected entry
// is met again at every register read (no layout was kept), and one
// report per load is what a reader needs.
std::set<std::string> g_reported;

bool MinorListMatches(const attr_int32_node* node, int32_t cpuminor) {
  for (; node; node = node->next)
    if (node->value == kEntryAnyMinor || node->value == cpuminor) return true;
  return false;
}

// Appends one register block's slot, growing the array kLayoutSlotGrowth
// slots at a time.
void AppendSlot(RegisterLayout* layout, int32_t* capacity, attr_block* reg) {
  if (layout->registerCount == *capacity) {
    *capacity += kLayoutSlotGrowth;
    layout->slots = static_cast<RegisterSlot*>(
        PortRealloc(layout->slots, static_cast<size_t>(*capacity) * sizeof(RegisterSlot)));
  }
  RegisterSlot& slot = layout->slots[layout->registerCount++];
  slot.regnum = get_int32(reg, "regnum", kMissing);
  slot.solicitedSize = get_child_int32(reg, "solicited", "regsize", kMissing);
  slot.solicitedOffset = get_child_int32(reg, "solicited", "offset", kMissing);
  slot.interruptSize = get_child_int32(reg, "interrupt", "regsize", kMissing);
  slot.interruptOffset = get_child_int32(reg, "interrupt", "offset", kMissing);
}

RegisterLayout* Reject(attr_block* entry, RegisterLayout* layout, const std::string& why) {
  std::string report = "\"";
  report += block_path(entry);
  report += "\": register layout not used: ";
  report += why;
  bool reported = g_reported.count(report) > 0;
  if (!reported && g_reported.size() < kMaxRememberedReports) g_reported.insert(report);
  if (!reported) PortMessage(MsgSeverity::Warning, "%s", report.c_str());
  TxLayoutFree(layout);
  return nullptr;
}

// Reads a frame word test block (offset, size, mask, value). False, with
// *why, when a value is missing or the test could never hold.
bool ReadWordTest(attr_block* block, FrameWordTest* test, std::string* why) {
  test->offset = get_int64(block, "offset", kMissing, false);
  test->size = get_int64(block, "size", kMissing, false);
  test->mask = static_cast<uint64_t>(get_int64(block, "mask", 0, true));
  test->value = static_cast<uint64_t>(get_int64(block, "value", 0, true));
  std::string name = block_path(block);
  if (block->required_missing) {
    *why = name + " lacks a value";
  } else if (!TxFrameWordSizeValid(test->size)) {
    *why = name + ": the word must have 1, 2, 4 or 8 bytes";
  } else if (test->size < 8 && (test->mask | test->value) >> (8 * test->size) != 0) {
    *why = name + ": mask or value is wider than the word";
  } else if ((test->value & ~test->mask) != 0) {
    *why = name + ": the value has bits outside the mask, so the test never holds";
  } else {
    return true;
  }
  return false;
}

// The entry's stack pad block (absent: no pad) into the layout.
bool ReadStackPad(attr_block* padBlock, RegisterLayout* layout, std::string* why) {
  if (!padBlock) return true;
  if (!ReadWordTest(padBlock, &layout->stackPadTest, why)) return false;
  layout->stackPadBytes = get_int64(padBlock, "bytes", 0, false);
  if (layout->stackPadBytes > 0 && layout->stackPadBytes <= kMaxStackPadBytes) return true;
  *why = block_path(padBlock) + ": bytes must lie between 1 and " + std::to_string(kMaxStackPadBytes);
  return false;
}

bool BuildOptionsAllow(attr_block* entry, const TxBuildOptions& options) {
  if (!options.symbolPresent) return true;
  int32_t wanted = find_int32(entry, "buildopt", 0);
  int32_t mask = find_int32(entry, "buildoptmask", 0);
  return (mask & options.value) == wanted;
}

// The entry's frame word test for floating-point frames; size 0 without
// one. False, with a warning, when the test is unusable or has no
// floating-point layout to choose.
bool ReadFpFrameTest(attr_block* entry, const char* fpTable, FrameWordTest* test) {
  *test = FrameWordTest{};
  attr_block* block = block_find_child(entry, kFpFrameFlagBlock);
  if (!block) return true;
  std::string why;
  if (!fpTable) why = std::string(kFpFrameFlagBlock) + " without regtbl_fp";
  if (why.empty() && ReadWordTest(block, test, &why)) return true;
  Reject(entry, nullptr, why);
  return false;
}

// Builds the layouts of a matching entry (steps after the build-option
// check). False when the entry names no register table: the built-in table
// answers then. A floating-point layout is built when the thread field
// fp_flag or the frame word test fp_frame_flag (or both) can choose it.
bool BuildEntryLayouts(attr_block* root, attr_block* entry, TxLayoutChoice* choice) {
  const char* fpFlag = find_str(entry, "fp_flag", nullptr);
  const char* table = get_str(entry, "regtbl", nullptr);
  if (!table) return false;
  const char* fpTable = find_str(entry, "regtbl_fp", nullptr);
  FrameWordTest fpFrameTest{};
  // Without its floating-point layout such a CPU's frames cannot all be
  // decoded: no layout at all rather than wrong values.
  if (!ReadFpFrameTest(entry, fpTable, &fpFrameTest)) return true;
  RegisterLayout* fpLayout = nullptr;
  if ((fpFlag || fpFrameTest.size != 0) && fpTable) {
    fpLayout = TxLayoutBuild(root, entry, fpTable, "interrupt_flag_fp", "register_save_format_fp", "stack_pad_fp");
    if (!fpLayout) return true;
  }
  RegisterLayout* intLayout =
      TxLayoutBuild(root, entry, table, "interrupt_flag", "register_save_format", "stack_pad");
  if (!intLayout) {
    TxLayoutFree(fpLayout);
    return true;
  }
  choice->intLayout = intLayout;
  choice->ownsIntLayout = true;
  choice->fpLayout = fpLayout;
  choice->ownsFpLayout = fpLayout != nullptr;
  choice->fpFlag = fpLayout ? fpFlag : nullptr;
  choice->fpFrameTest = fpLayout ? fpFrameTest : FrameWordTest{};
  return true;
}

}  // namespace

bool TxEntryMatchesCpu(attr_block* entry, int32_t cpumajor, int32_t cpuminor) {
  if (get_int32(entry, "cpumajor", kMissing) != cpumajor) return false;
  if (const attr_int32_node* list = find_int32_list(entry, "cpuminor")) return MinorListMatches(list, cpuminor);
  int32_t minor = find_int32(entry, "cpuminor", kEntryAnyMinor);
  return minor == kEntryAnyMinor || minor == kEntryAnyMinorAlias || minor == cpuminor;
}

attr_block* TxNextCpuEntry(attr_block* root, attr_block* after, int32_t cpumajor, int32_t cpuminor) {
  attr_block* entry = after ? block_next_sibling(after, false) : block_first_child(block_find_child(root, kCpuBlock), false);
  for (; entry; entry = block_next_sibling(entry, false)) {
    if (TxEntryMatchesCpu(entry, cpumajor, cpuminor)) return entry;
  }
  return nullptr;
}

RegisterLayout* TxLayoutBuild(attr_block* root, attr_block* entry, const char* tableName, const char* flagBlock,
                              const char* formatBlock, const char* padBlock) {
  attr_block* flag = block_find_child(entry, flagBlock);
  attr_block* format = block_find_child(entry, formatBlock);
  if (!flag) return Reject(entry, nullptr, std::string("no ") + flagBlock + " block");
  if (!format) return Reject(entry, nullptr, std::string("no ") + formatBlock + " block");
  attr_block* table = block_find_child(root, tableName);
  if (!table) return Reject(entry, nullptr, std::string("no register block \"") + tableName + "\"");

  auto* layout = static_cast<RegisterLayout*>(PortAllocZero(1, sizeof(RegisterLayout)));
  layout->interruptFlagOffset = get_int32(flag, "offset", kMissing);
  layout->interruptFlagSize = get_int32(flag, "size", kMissing);
  layout->solicitedFrameSize = get_child_int32(format, "solicited", "size", kMissing);
  layout->solicitedFrameOffset = get_child_int32(format, "solicited", "offset", kMissing);
  layout->interruptFrameSize = get_child_int32(format, "interrupt", "size", kMissing);
  layout->interruptFrameOffset = get_child_int32(format, "interrupt", "offset", kMissing);

  int32_t capacity = 0;
  for (attr_block* reg = block_first_child(table, false); reg; reg = block_next_sibling(reg, false))
    AppendSlot(layout, &capacity, reg);
  if (layout->registerCount == 0)
    return Reject(entry, layout, std::string("register block \"") + tableName + "\" holds no register");
  std::stable_sort(layout->slots, layout->slots + layout->registerCount,
                   [](const RegisterSlot& a, const RegisterSlot& b) { return a.regnum < b.regnum; });

  std::string why;
  if (!ReadStackPad(block_find_child(entry, padBlock), layout, &why)) return Reject(entry, layout, why);
  if (!TxLayoutCheck(*layout, &why)) return Reject(entry, layout, why);
  return layout;
}

void TxLayoutFree(RegisterLayout* layout) {
  if (!layout) return;
  PortFree(layout->slots);
  PortFree(layout);
}

void TxSelectLayout(attr_block* root, int16_t cpumajor, int16_t cpuminor, const TxBuildOptions* options,
                    TxLayoutChoice* choice) {
  *choice = TxLayoutChoice{};
  for (attr_block* entry = TxNextCpuEntry(root, nullptr, cpumajor, cpuminor); entry;
       entry = TxNextCpuEntry(root, entry, cpumajor, cpuminor)) {
    choice->databaseKnowsCpu = true;
    if (!options || !options->settled) return;
    if (!BuildOptionsAllow(entry, *options)) continue;
    if (BuildEntryLayouts(root, entry, choice)) return;
    break;
  }
  choice->intLayout = TxBuiltinLayoutFor(cpumajor, cpuminor);
}

void TxLayoutForgetReports() { g_reported.clear(); }

void TxLayoutChoiceRelease(TxLayoutChoice* choice) {
  if (choice->ownsIntLayout) TxLayoutFree(choice->intLayout);
  if (choice->ownsFpLayout) TxLayoutFree(choice->fpLayout);
  *choice = TxLayoutChoice{};
}
