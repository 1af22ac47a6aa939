// Reading a thread's registers against a stand-in host, for what the records
// (tests/records/registers) do not show: what the host sees while a read
// runs, the layout choice as build options settle, a CPU change between two
// reads, failures that must answer 1 or the service's code, 64-bit ids, and
// the target record outliving a cleanup that comes during a callback.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/threadx/tx_call.h"
#include "os_aware/threadx/tx_layout_db.h"
#include "os_aware/threadx/tx_target.h"
#include "shared/port_alloc.h"
#include "tests/config/config_test_util.h"
#include "tests/threadx/tx_fake_host.h"

namespace {

constexpr uint64_t kRunning = 0x1000;
constexpr uint64_t kSuspended = 0x2000;
constexpr uint64_t kStack = 0x8000;

class RegisterRead : public testing::Test {
 protected:
  void SetUp() override {
    current_ = this;
    TxLayoutDatabaseReset();
    BridgeResetHostSettings();
    fake.bc.services.memoryRead = MemoryRead;
    fake.bc.services.registerRead = LiveRegister;
    fake.Fail("__user_cfg_dir");
    fake.Number("_tx_thread_current_ptr", kRunning);
    fake.Number("((struct TX_THREAD_STRUCT *)0x2000)->tx_thread_stack_ptr", kStack);
    target = static_cast<ThreadxTargetState*>(PortAllocZero(1, sizeof(ThreadxTargetState)));
    Cpu(16, 7);  // built-in layout A: PowerPC
  }
  void TearDown() override {
    TxForgetLayouts(target);
    PortFree(target);
    TxLayoutDatabaseReset();
    BridgeResetHostSettings();
    current_ = nullptr;
  }

  void Cpu(int16_t major, int16_t minor) {
    fake.bc.settings.cpumajor = target->cpumajor = major;
    fake.bc.settings.cpuminor = target->cpuminor = minor;
  }
  // A frame at address: the kind word, then words at the given offsets.
  void Frame(uint64_t address, uint32_t kind, const std::map<int, uint32_t>& words, int size = 408) {
    std::vector<uint8_t>& bytes = memory[address];
    bytes.assign(static_cast<size_t>(size), 0);
    auto put = [&](int offset, uint32_t value) {
      for (int i = 0; i < 4; i++) {
        int shift = fake.bc.settings.bigEndianTarget ? 24 - 8 * i : 8 * i;
        bytes[static_cast<size_t>(offset + i)] = static_cast<uint8_t>(value >> shift);
      }
    };
    put(0, kind);
    for (const auto& [offset, value] : words) put(offset, value);
  }
  // A database in the user configuration directory the host names.
  void UserDatabase(const std::string& text) {
    scratch.Write("os_aware/threadx_fm.odb", text);
    fake.rules.insert(fake.rules.begin(), FakeRule{"__user_cfg_dir", kStatusOk, 0, scratch.path(), -1});
  }
  void Rule(const std::string& match, uint64_t number, int times = -1) {
    fake.rules.insert(fake.rules.begin(), FakeRule{match, kStatusOk, number, {}, times});
  }
  int Read(uint64_t thread, int32_t reg, uint64_t* value) {
    return TxTaskRegisterRead(&fake.bc, target, thread, reg, value);
  }
  uint64_t Value(uint64_t thread, int32_t reg) {
    uint64_t value = ~0ull;
    EXPECT_EQ(Read(thread, reg, &value), kStatusOk) << "register " << reg;
    return value;
  }

  static int MemoryRead(BridgeContext*, int32_t space, uint64_t address, int32_t count, int32_t size, void* buffer) {
    RegisterRead* self = current_;
    self->reads.push_back(address);
    self->flagsSeen.push_back(inRegisterRead);
    if (self->onMemoryRead) std::exchange(self->onMemoryRead, nullptr)();
    EXPECT_EQ(space, 4);
    EXPECT_EQ(size, 1);
    if (self->memoryStatus != kStatusOk) return self->memoryStatus;
    for (const auto& [base, bytes] : self->memory) {
      if (address >= base && address + static_cast<uint64_t>(count) <= base + bytes.size()) {
        memcpy(buffer, bytes.data() + (address - base), static_cast<size_t>(count));
        return kStatusOk;
      }
    }
    return kStatusFailed;
  }
  static int LiveRegister(BridgeContext*, int64_t core, int32_t reg, uint32_t* value) {
    current_->liveReads.push_back(reg);
    current_->liveCores.push_back(core);
    *value = 0x11110000u + static_cast<uint32_t>(reg);
    return kStatusOk;
  }

  ScratchDir scratch;
  FakeHost fake;
  ThreadxTargetState* target = nullptr;
  std::map<uint64_t, std::vector<uint8_t>> memory;
  std::vector<uint64_t> reads;
  std::vector<uint8_t> flagsSeen;
  std::vector<int32_t> liveReads;
  std::vector<int64_t> liveCores;  // the core each live read named
  int memoryStatus = kStatusOk;
  std::function<void()> onMemoryRead;  // runs once, at the next memory read
  static inline RegisterRead* current_ = nullptr;
};

TEST_F(RegisterRead, InterruptFrameOfASuspendedThread) {
  Frame(kStack, 1, {{28, 0xa0}, {72, 0xe14}, {4, 0x4000}});
  EXPECT_EQ(Value(kSuspended, 0), 0xa0u);
  EXPECT_EQ(Value(kSuspended, 14), 0xe14u);
  EXPECT_EQ(Value(kSuspended, 32), 0x4000u);        // PC from SRR0
  EXPECT_EQ(Value(kSuspended, 1), kStack + 144);    // stack pointer above the frame
  EXPECT_EQ(Value(kSuspended, 2), 0x11110002u);     // small-data anchor: live
  EXPECT_EQ(Value(kSuspended, 200), 0x111100c8u);   // not in the layout: live
  // The flag and the frame once, however many registers follow.
  EXPECT_EQ(reads, (std::vector<uint64_t>{kStack, kStack}));
  EXPECT_EQ(flagsSeen, (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(inRegisterRead, 0);
}

TEST_F(RegisterRead, CpuCommandDropsLayoutAndFrame) {
  Frame(kStack, 1, {{72, 0xe14}, {24, 0x77}});
  EXPECT_EQ(Value(kSuspended, 14), 0xe14u);
  EXPECT_EQ(TxCmdExecute(&fake.bc, target, "cpumajor 24"), kStatusOk);  // built-in layout F: ARM
  EXPECT_EQ(target->intLayout, nullptr);
  EXPECT_EQ(Value(kSuspended, 4), 0x77u);  // r4 at 24 of F's interrupt frame
  EXPECT_EQ(reads.size(), 4u);
}

TEST_F(RegisterRead, FailuresAnswerOneOrTheServiceCode) {
  uint64_t value = 0;
  EXPECT_EQ(Read(kSuspended, 14, &value), kStatusFailed);  // no memory there
  memoryStatus = kStatusAborted;
  EXPECT_EQ(Read(kSuspended, 14, &value), kStatusAborted);  // the flag read's own code
  memoryStatus = kStatusOk;
  Frame(kStack, 1, {{72, 9}});
  EXPECT_EQ(Value(kSuspended, 14), 9u);  // nothing half-cached from the failures

  fake.rules.insert(fake.rules.begin(), FakeRule{"0x3000)->tx_thread_stack_ptr", kStatusFailed, 0, {}, -1});
  EXPECT_EQ(Read(0x3000, 14, &value), kStatusFailed);
  Cpu(77, 0);  // known neither to the database nor to the built-in table
  TxForgetLayouts(target);
  EXPECT_EQ(Read(kSuspended, 14, &value), kStatusFailed);
  EXPECT_EQ(inRegisterRead, 0);
}

// On an SMP kernel the running thread's registers are its core's: the live
// read names the host core (its id - 1) of the kernel core the thread is
// mapped to, through the bridge's copy of the host's cores.
TEST_F(RegisterRead, SmpRunningThreadReadsTheRegistersOfItsCore) {
  target->smpMode = true;
  target->coreCount = 2;
  target->coreField = "tx_thread_smp_core_mapped";
  fake.SetCores({3, 5});
  Rule("0x1000)->tx_thread_smp_core_mapped", 1);
  Rule("_tx_thread_current_ptr[1]", kRunning);
  EXPECT_EQ(Value(kRunning, 15), 0x1111000fu);
  EXPECT_EQ(liveCores, (std::vector<int64_t>{4}));
  EXPECT_EQ(target->currentCore, 5u);
  EXPECT_EQ(fake.Last(), "eval: (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[1]");

  // Mapped past the host's cores: no core at all, nothing read.
  Rule("0x1000)->tx_thread_smp_core_mapped", 2);
  target->currentThread = 0;
  uint64_t value = 0;
  EXPECT_EQ(Read(kRunning, 15, &value), kStatusFailed);
  EXPECT_EQ(liveCores.size(), 1u);
}

TEST_F(RegisterRead, CurrentThreadUnknownEndsTheRead) {
  fake.rules.clear();
  fake.Fail("__user_cfg_dir");
  fake.Fail("_tx_thread_current_ptr");
  uint64_t value = 0;
  EXPECT_EQ(Read(kSuspended, 14, &value), kStatusFailed);
  EXPECT_TRUE(reads.empty());
}

TEST_F(RegisterRead, ThreadIdsAndStackPointersStayWhole) {
  constexpr uint64_t kHigh = 0x12345678abcdef00ull;
  constexpr uint64_t kHighStack = 0x7fff00001000ull;
  fake.Number("((struct TX_THREAD_STRUCT *)0x12345678abcdef00)->tx_thread_stack_ptr", kHighStack);
  Frame(kHighStack, 1, {{72, 5}});
  EXPECT_EQ(Value(kHigh, 14), 5u);
  EXPECT_EQ(Value(kHigh, 1), static_cast<uint32_t>(kHighStack + 144));
  // Another thread with the same low half has a stack pointer of its own.
  uint64_t value = 0;
  EXPECT_EQ(Read(0xabcdef00, 14, &value), kStatusFailed);
  EXPECT_EQ(fake.Last(), "eval: ((struct TX_THREAD_STRUCT *)0xabcdef00)->tx_thread_stack_ptr");
}

// CPU 16/7 in the database: an entry for kernels built with option 0x10
// (solicited frame 8 bytes, r14 at 4), then one for every other kernel (r14
// at 0), each with a floating-point variant whose frames are larger.
constexpr char kDatabase[] = R"(
threadx_vusk_cpu {
    opt {
        cpumajor = 16
        cpuminor = { 7 }
        buildopt = 0x10
        buildoptmask = 0x30
        regtbl = "regs_opt"
        interrupt_flag { offset = 0 size = 4 }
        register_save_format { solicited { size = 8 offset = 0 } interrupt { size = 8 offset = 0 } }
    }
    plain {
        cpumajor = 16
        cpuminor = 255
        fp_flag = "tx_thread_fp_enable"
        regtbl = "regs_plain"
        regtbl_fp = "regs_fp"
        interrupt_flag { offset = 0 size = 4 }
        register_save_format { solicited { size = 8 offset = 0 } interrupt { size = 8 offset = 0 } }
        interrupt_flag_fp { offset = 0 size = 4 }
        register_save_format_fp { solicited { size = 16 offset = 0 } interrupt { size = 16 offset = 0 } }
    }
}
regs_opt   { r14 { regnum = 14 solicited { regsize = 4 offset = 4 } interrupt { regsize = 4 offset = 4 } } }
regs_plain { r14 { regnum = 14 solicited { regsize = 2 offset = 0 } interrupt { regsize = 2 offset = 0 } } }
regs_fp    { r14 { regnum = 14 solicited { regsize = 4 offset = 12 } interrupt { regsize = 4 offset = 12 } } }
)";

TEST_F(RegisterRead, BuildOptionsPickTheDatabaseEntry) {
  UserDatabase(kDatabase);
  Rule("_tx_build_options", 0);  // the symbol exists
  Rule("(int)_tx_thread_created_count", 0, 1);
  Rule("(int)_tx_build_options", 0x10);
  Frame(kStack, 0, {{4, 0x44}}, 16);
  uint64_t value = 0;
  // No thread created yet: the options are open and the database knows the
  // CPU, so there is no layout to read with.
  EXPECT_EQ(Read(kSuspended, 14, &value), kStatusFailed);
  EXPECT_FALSE(target->buildOptionsSettled);
  Rule("(int)_tx_thread_created_count", 3);
  EXPECT_EQ(Value(kSuspended, 14), 0x44u);
  EXPECT_TRUE(target->buildOptionsSettled);
  EXPECT_EQ(target->buildOptions, 0x10);

  // Options 0x20 skip the first entry: the second one reads two bytes at 0.
  TxForgetLayouts(target);
  TxTargetNotify(&fake.bc, target, 0);
  target->buildOptions = 0x20;
  Rule("tx_thread_fp_enable", 0);
  EXPECT_EQ(Value(kSuspended, 14), 0u);  // the frame kind word's low half
  EXPECT_NE(target->fpLayout, nullptr);
}

// CPU 16/7 in the database with frames told apart by their first word, as
// EXC_RETURN tells them on Cortex-M (bit 4 clear: floating point). The
// integer frame keeps r4 at 4 and a status word at 12 (16 bytes), the
// floating-point frame s0 at 4, r4 at 8 and the status word at 20 (24
// bytes); status bit 9 adds a 4-byte pad above either frame.
constexpr char kFrameWordDatabase[] = R"(
threadx_vusk_cpu {
    m {
        cpumajor = 16
        cpuminor = 7
        regtbl = "regs_int"
        interrupt_flag { offset = 0 size = 4 }
        register_save_format { solicited { size = 16 offset = 0 } interrupt { size = 16 offset = 0 } }
        stack_pad { offset = 12 size = 4 mask = 0x200 value = 0x200 bytes = 4 }
        fp_frame_flag { offset = 0 size = 4 mask = 0x10 value = 0 }
        regtbl_fp = "regs_fp"
        interrupt_flag_fp { offset = 0 size = 4 }
        register_save_format_fp { solicited { size = 24 offset = 0 } interrupt { size = 24 offset = 0 } }
        stack_pad_fp { offset = 20 size = 4 mask = 0x200 value = 0x200 bytes = 4 }
    }
}
regs_int {
    r4 { regnum = 4  solicited { regsize = 4 offset = 4 } interrupt { regsize = 4 offset = 4 } }
    sp { regnum = 13 solicited { regsize = 0x2000 offset = 16 } interrupt { regsize = 0x2000 offset = 16 } }
    s0 { regnum = 64 solicited { regsize = -1 offset = 0 } interrupt { regsize = -1 offset = 0 } }
}
regs_fp {
    r4 { regnum = 4  solicited { regsize = 4 offset = 8 } interrupt { regsize = 4 offset = 8 } }
    sp { regnum = 13 solicited { regsize = 0x2000 offset = 24 } interrupt { regsize = 0x2000 offset = 24 } }
    s0 { regnum = 64 solicited { regsize = 4 offset = 4 } interrupt { regsize = 4 offset = 4 } }
}
)";

constexpr uint64_t kFpThread = 0x3000;
constexpr uint64_t kFpStack = 0x9000;
constexpr uint32_t kIntegerWord = 0xfffffffd;
constexpr uint32_t kExtendedWord = 0xffffffed;

class FrameWordRead : public RegisterRead {
 protected:
  void SetUp() override {
    RegisterRead::SetUp();
    fake.Number("((struct TX_THREAD_STRUCT *)0x3000)->tx_thread_stack_ptr", kFpStack);
    Frame(kStack, kIntegerWord, {{4, 0x44}, {12, 0x61000200}}, 16);
    Frame(kFpStack, kExtendedWord, {{4, 0x42c80000}, {8, 0x88}, {20, 0x61000000}}, 24);
  }
};

TEST_F(FrameWordRead, EachThreadsFrameChoosesItsLayout) {
  UserDatabase(kFrameWordDatabase);
  EXPECT_EQ(Value(kSuspended, 4), 0x44u);
  EXPECT_EQ(Value(kSuspended, 13), kStack + 16 + 4);  // status bit 9: the pad
  uint64_t value = 0;
  // The integer frame holds no s0: no value, and not another thread's from
  // the CPU either.
  EXPECT_EQ(Read(kSuspended, 64, &value), kStatusFailed);
  EXPECT_EQ(Value(kSuspended, 2), 0x11110002u);  // in neither table: live
  EXPECT_EQ(liveReads, (std::vector<int32_t>{2}));
  EXPECT_EQ(Value(kFpThread, 4), 0x88u);
  EXPECT_EQ(Value(kFpThread, 64), 0x42c80000u);
  EXPECT_EQ(Value(kFpThread, 13), kFpStack + 24);
  // Per thread the word (which is also the frame kind) once, then the frame.
  EXPECT_EQ(reads, (std::vector<uint64_t>{kStack, kStack, kFpStack, kFpStack}));
  EXPECT_EQ(inRegisterRead, 0);
}

TEST_F(FrameWordRead, ThreadFieldAndFrameWordMustBothSayFloatingPoint) {
  std::string database = kFrameWordDatabase;
  database.insert(database.find("        fp_frame_flag"), "        fp_flag = \"tx_thread_fp_enable\"\n");
  UserDatabase(database);
  Rule("0x3000)->tx_thread_fp_enable", 0);
  Rule("0x2000)->tx_thread_fp_enable", 1);
  // The field says no: the integer layout, whatever the word says.
  EXPECT_EQ(Value(kFpThread, 4), 0x42c80000u);
  // The field says yes, the word says no: the integer layout.
  EXPECT_EQ(Value(kSuspended, 4), 0x44u);
  TxTargetNotify(&fake.bc, target, 0);
  Rule("0x3000)->tx_thread_fp_enable", 1);
  EXPECT_EQ(Value(kFpThread, 4), 0x88u);
}

TEST_F(FrameWordRead, SizeCodeMinusOneFailsWithoutTheFrameTest) {
  // The same tables chosen by the thread field alone, as older entries do:
  // the integer table's s0 still has no value.
  std::string database = kFrameWordDatabase;
  std::string test = "        fp_frame_flag { offset = 0 size = 4 mask = 0x10 value = 0 }\n";
  database.replace(database.find(test), test.size(), "        fp_flag = \"tx_thread_fp_enable\"\n");
  UserDatabase(database);
  Rule("tx_thread_fp_enable", 0);
  uint64_t value = 0;
  EXPECT_EQ(Read(kSuspended, 64, &value), kStatusFailed);
  EXPECT_TRUE(liveReads.empty());
  EXPECT_EQ(target->fpFrameTest.size, 0);
}

TEST_F(FrameWordRead, CpuChangeWhileTheWordIsReadFinishesOnWhatTheReadBegan) {
  UserDatabase(kFrameWordDatabase);
  EXPECT_EQ(Value(kSuspended, 4), 0x44u);  // layouts chosen
  TxTargetNotify(&fake.bc, target, 0);
  // The host changes the CPU (freeing the layouts) while the plugin waits
  // for the frame word; as inside a host call, the layouts are retired.
  onMemoryRead = [this] { EXPECT_EQ(TxCmdExecute(&fake.bc, target, "cpumajor 24"), kStatusOk); };
  uint64_t value = 0;
  {
    TxCallScope call;
    EXPECT_EQ(Read(kFpThread, 64, &value), kStatusOk);
  }
  EXPECT_EQ(value, 0x42c80000u);
  EXPECT_FALSE(target->frameValid);  // read for the old CPU: not kept
  EXPECT_EQ(target->intLayout, nullptr);
}

}  // namespace

namespace {

// A record the host drops without TargetCleanup (a VuskCleanup of its
// context) is released by the awareness, layouts included: a plain free
// would lose the layouts the record owns. The leak checker holds us to it.
TEST(TargetRecordLife, ReleaseFreesTheOwnedLayouts) {
  auto* record = static_cast<ThreadxTargetState*>(PortAllocZero(1, sizeof(ThreadxTargetState)));
  auto* layout = static_cast<RegisterLayout*>(PortAllocZero(1, sizeof(RegisterLayout)));
  layout->registerCount = 1;
  layout->slots = static_cast<RegisterSlot*>(PortAllocZero(1, sizeof(RegisterSlot)));
  record->intLayout = layout;
  record->ownsIntLayout = true;
  VuskAwarenessReleaseTarget(record);
  VuskAwarenessReleaseTarget(nullptr);
}

// A cleanup that arrives while a call still uses the record (the host calling
// in during a request) leaves it to the end of the outermost call to free it.
TEST(TargetRecordLife, CleanupWaitsForTheOutermostCall) {
  FakeHost fake;
  auto* record = static_cast<ThreadxTargetState*>(PortAllocZero(1, sizeof(ThreadxTargetState)));
  void* targetData = record;
  {
    TxCallScope outer;
    {
      TxCallScope inner;
      EXPECT_EQ(TxTargetCleanup(&fake.bc, &targetData), kStatusOk);
      EXPECT_EQ(targetData, nullptr);
      record->frame[0] = 1;  // still the calls' to use
    }
    record->frame[1] = 1;  // the outer call goes on with it
  }  // the outermost call frees it; the leak checker holds us to that
}

}  // namespace
