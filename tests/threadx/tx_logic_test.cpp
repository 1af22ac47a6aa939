// The ThreadX operations against a fake host: list walks (created lists,
// suspension lists, refused kinds), attribute templates and number
// conversion, thread name and status, cores and the current-thread cache,
// and the session operations (CPU commands, halt notices, cleanup).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "os_aware/threadx/tx_objects.h"
#include "tests/threadx/tx_fake_host.h"

namespace {

class ThreadxLogic : public testing::Test {
 protected:
  void TearDown() override {
    if (value.type == VUSK_TYPE_STRING) PortFree(value.value.string);
  }

  // Answers attribute (kind, index) asked as type with the host's text.
  int Attribute(int32_t kind, int32_t index, int32_t type, const char* answer, const VuskParentRef* parent = nullptr) {
    fake.rules.clear();
    fake.Text("`", answer);
    value = VuskValueOfType(type);
    return TxObjectListAttribute(&fake.bc, &target, kind, parent, index, &value);
  }

  FakeHost fake;
  ThreadxTargetState target{};
  VuskValue value = VuskValueOfType(VUSK_TYPE_UINT64);
};

// ---- Lists -------------------------------------------------------------------

TEST_F(ThreadxLogic, EmptyCreatedListLeavesTheWalkVariableAlone) {
  fake.Number("_tx_thread_created_count", 0);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, nullptr), kStatusEmptyList);
  EXPECT_EQ(fake.sent.size(), 1u);
}

// Every answer comes back whole from the host; the kernel's counts and the
// walk's continue flag are 32-bit, so only their low halves count.
TEST_F(ThreadxLogic, CountsAndContinueFlagsAreReadAtTheKernelsWidth) {
  fake.Number("_tx_thread_created_count", 0x100000000ull);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, nullptr), kStatusEmptyList);
  fake.Number("_tx_timer_created_count", 0xffffffffull);  // -1
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjTimer, nullptr), kStatusEmptyList);
  fake.Number("$sl_temp = $sl_temp->tx_semaphore_created_next", 0);
  fake.Number("$sl_tempcont", 0x100000000ull);
  EXPECT_EQ(TxObjectListNext(&fake.bc, kObjSemaphore, nullptr), kStatusFailed) << "the walk ends";
}

// An expression that would not fit the evaluator's room is never sent cut
// short: a field name from a hostile database fails the read instead.
TEST_F(ThreadxLogic, OverlongThreadFieldIsRefusedWithoutAsking) {
  fake.Number("->", 7);
  uint64_t value = 0;
  EXPECT_EQ(TxEvaluateThreadField(&fake.bc, 0x20, "tx_thread_fp_enable", &value), kStatusOk);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(fake.Last(), "eval: ((struct TX_THREAD_STRUCT *)0x20)->tx_thread_fp_enable");
  std::string field(kExpressionCapacity, 'f');
  EXPECT_EQ(TxEvaluateThreadField(&fake.bc, 0x20, field.c_str(), &value), kStatusFailed);
  EXPECT_EQ(fake.sent.size(), 1u);
}

TEST_F(ThreadxLogic, UnreadableCountIsAFailureNotAnEmptyList) {
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjMutex, nullptr), kStatusFailed);
  EXPECT_EQ(fake.Last(), "eval: _tx_mutex_created_count");
}

TEST_F(ThreadxLogic, WalkOfTwoObjectsEndsWhenContinueTurnsZero) {
  fake.Number("_tx_queue_created_count", 3);
  fake.Number("$ql_tempcont=1,$ql_temp=(struct TX_QUEUE_STRUCT *)_tx_queue_created_ptr", 0);
  fake.Number("$ql_temp = $ql_temp->tx_queue_created_next", 0);
  fake.Number("$ql_tempcont", 1, 1);
  fake.Number("$ql_tempcont", 0);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjQueue, nullptr), kStatusOk);
  EXPECT_EQ(TxObjectListNext(&fake.bc, kObjQueue, nullptr), kStatusOk);
  EXPECT_EQ(TxObjectListNext(&fake.bc, kObjQueue, nullptr), kStatusFailed);
  EXPECT_EQ(fake.sent.back(), "eval: $ql_tempcont");
}

TEST_F(ThreadxLogic, SuspensionListsNameTheParentByItsWholeAddress) {
  VuskParentRef parent{0x123456789a0ull, kObjSemaphore, -1, 0};
  fake.Number("tx_semaphore_suspension_list", 0x2000);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, &parent), kStatusOk);
  EXPECT_EQ(fake.Last(),
            "eval: $thl_temp=((struct TX_SEMAPHORE_STRUCT *)0x123456789a0)->tx_semaphore_suspension_list,"
            "$thl_tempcont = $thl_temp && ($thl_temp->tx_thread_id == 0x54485244)");

  parent.parentObjTypeId = kObjMutex;
  parent.parentObjId = 0x800;
  fake.rules.clear();
  fake.Number("tx_mutex_suspension_list", 0);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, &parent), kStatusEmptyList);
  fake.rules.clear();
  fake.Number("tx_mutex_suspension_list", 0x100000000ull);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, &parent), kStatusOk) << "a first waiter at 4 GiB is no empty list";
}

TEST_F(ThreadxLogic, RefusedKindsAndParentsAskNothing) {
  VuskParentRef thread{0x100, kObjThread, -1, 0};
  VuskParentRef timer{0x100, kObjTimer, -1, 0};
  VuskParentRef unknown{0x100, 8, -1, 0};
  EXPECT_EQ(TxObjectListInit(&fake.bc, 8, nullptr), kStatusFailed);
  EXPECT_EQ(TxObjectListInit(&fake.bc, -1, nullptr), kStatusFailed);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, &thread), kStatusFailed);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjThread, &timer), kStatusFailed);
  EXPECT_EQ(TxObjectListNext(&fake.bc, kObjThread, &unknown), kStatusFailed);
  EXPECT_EQ(TxObjectListNext(&fake.bc, 8, nullptr), kStatusFailed);
  EXPECT_TRUE(fake.sent.empty());
}

TEST_F(ThreadxLogic, OtherKindsBelowAParentWalkTheirWholeListWithoutCount) {
  VuskParentRef parent{0x100, kObjQueue, -1, 0};
  fake.Number("$til_tempcont=1", 0);
  EXPECT_EQ(TxObjectListInit(&fake.bc, kObjTimer, &parent), kStatusOk);
  ASSERT_EQ(fake.sent.size(), 1u);
  EXPECT_EQ(Attribute(kObjTimer, 0, VUSK_TYPE_STRING, "t", &parent), kStatusFailed);
}

// ---- Attributes --------------------------------------------------------------

TEST_F(ThreadxLogic, NumbersFollowTheAskedType) {
  EXPECT_EQ(Attribute(kObjSemaphore, 2, VUSK_TYPE_INT64, "0xffffffff"), kStatusOk);
  EXPECT_EQ(value.type, VUSK_TYPE_INT64);
  EXPECT_EQ(value.value.i64, -1) << "type 10 is a 32-bit answer, sign-extended";
  EXPECT_EQ(Attribute(kObjSemaphore, 2, VUSK_TYPE_UINT64, "0xffffffff"), kStatusOk);
  EXPECT_EQ(value.value.u64, 0xffffffffu);
  EXPECT_EQ(Attribute(kObjSemaphore, 2, VUSK_TYPE_UINT64, "12 (3)"), kStatusOk);
  EXPECT_EQ(value.value.u64, 12u);
  EXPECT_EQ(Attribute(kObjThread, 5, VUSK_TYPE_UINT64, "40/256"), kStatusOk);
  EXPECT_EQ(value.value.u64, 40u) << "the stack column answers the number before the slash";
  EXPECT_EQ(Attribute(kObjSemaphore, 2, VUSK_TYPE_INT64, "-5"), kStatusOk);
  EXPECT_EQ(value.value.i64, -5);
  EXPECT_EQ(Attribute(kObjSemaphore, 2, VUSK_TYPE_UINT8, "0x1ff"), kStatusOk);
  EXPECT_EQ(value.value.u8, 0xff);
  EXPECT_EQ(Attribute(kObjSemaphore, 2, VUSK_TYPE_ADDRESS, "0x80001000"), kStatusOk);
  EXPECT_EQ(value.value.u64, 0x80001000u);
}

TEST_F(ThreadxLogic, AddressesAbove4GiBStayWhole) {
  EXPECT_EQ(Attribute(kObjThread, 1, VUSK_TYPE_UINT64, "0x100001000"), kStatusOk);
  EXPECT_EQ(value.value.u64, 0x100001000u);
  EXPECT_EQ(Attribute(kObjThread, 1, VUSK_TYPE_INT64, "0x100001000"), kStatusOk);
  EXPECT_EQ(value.value.i64, 0x100001000);
}

TEST_F(ThreadxLogic, RealNumbersMustConvert) {
  EXPECT_EQ(Attribute(kObjQueue, 4, VUSK_TYPE_DOUBLE, "2.5"), kStatusOk);
  EXPECT_DOUBLE_EQ(value.value.f64, 2.5);
  EXPECT_EQ(Attribute(kObjQueue, 4, VUSK_TYPE_FLOAT, "0.25"), kStatusOk);
  EXPECT_FLOAT_EQ(value.value.f32, 0.25f);
  EXPECT_EQ(Attribute(kObjQueue, 4, VUSK_TYPE_FLOAT, "none"), kStatusFailed);
  EXPECT_EQ(Attribute(kObjQueue, 4, VUSK_TYPE_COUNT, "1"), kStatusFailed);
}

TEST_F(ThreadxLogic, IndexesPastEachTableAskNothing) {
  const int32_t firstMissing[kObjectKindCount] = {9, 5, 4, 5, 4, 5, 4, 5};
  for (int32_t kind = 0; kind < kObjectKindCount; kind++) {
    EXPECT_EQ(Attribute(kind, firstMissing[kind], VUSK_TYPE_STRING, "x"), kStatusFailed) << kind;
    EXPECT_EQ(Attribute(kind, firstMissing[kind] - 1, VUSK_TYPE_STRING, "x"), kStatusOk) << kind;
    PortFree(value.value.string);
    value = VuskValueOfType(VUSK_TYPE_UINT64);
    EXPECT_EQ(Attribute(kind, -1, VUSK_TYPE_STRING, "x"), kStatusFailed) << kind;
  }
  fake.sent.clear();
  EXPECT_EQ(Attribute(kObjectKindCount, 0, VUSK_TYPE_STRING, "x"), kStatusFailed);
  EXPECT_TRUE(fake.sent.empty());
}

TEST_F(ThreadxLogic, ValidationModeHidesAddressesWhereItHasAVariant) {
  fake.bc.settings.pliskInValidation = true;
  ASSERT_EQ(Attribute(kObjThread, 1, VUSK_TYPE_STRING, "0xlocation"), kStatusOk);
  EXPECT_EQ(fake.Last(), "string: `print \"0xlocation\"`");
  PortFree(value.value.string);
  ASSERT_EQ(Attribute(kObjThread, 1, VUSK_TYPE_UINT64, "0x1000"), kStatusOk);
  EXPECT_EQ(fake.Last(), "string: `print/x $thl_temp+0`") << "numbers stay real in validation mode";
  ASSERT_EQ(Attribute(kObjThread, 5, VUSK_TYPE_STRING, "stack_use/stack_size"), kStatusOk);
  EXPECT_EQ(fake.Last(), "string: `print \"stack_use/stack_size\"`");
  PortFree(value.value.string);
  ASSERT_EQ(Attribute(kObjMutex, 0, VUSK_TYPE_STRING, "0x00001000"), kStatusOk);
  EXPECT_EQ(fake.Last(),
            "string: `if($ml_temp->tx_mutex_name) {mprintf(\"%s\", $ml_temp->tx_mutex_name)} else "
            "{mprintf(\"0x%8.8x\", $ml_temp+0)}`");
  PortFree(value.value.string);
  ASSERT_EQ(Attribute(kObjTimer, 0, VUSK_TYPE_STRING, "0xlocation"), kStatusOk);
  EXPECT_EQ(fake.Last(),
            "string: `if($til_temp->tx_timer_name) {mprintf(\"%s\", $til_temp->tx_timer_name)} else {print "
            "\"0xlocation\"}`");
}

TEST_F(ThreadxLogic, EightByteTargetsShowAddressesWhole) {
  struct Case {
    uint32_t addressSize;
    const char* unnamed;
    const char* waitCast;
  };
  const Case cases[] = {{0, "mprintf(\"0x%8.8x\", $sl_temp+0)", "((ULONG)$thl_temp->tx_thread_suspend_control_block)"},
                        {4, "mprintf(\"0x%8.8x\", $sl_temp+0)", "((ULONG)$thl_temp->tx_thread_suspend_control_block)"},
                        {8, "mprintf(\"0x%16.16llx\", $sl_temp+0)",
                         "((unsigned long long)$thl_temp->tx_thread_suspend_control_block)"}};
  for (const Case& c : cases) {
    fake.bc.settings.cpuAddressSize = c.addressSize;
    ASSERT_EQ(Attribute(kObjSemaphore, 0, VUSK_TYPE_STRING, "0x1"), kStatusOk);
    EXPECT_NE(fake.Last().find(c.unnamed), std::string::npos) << c.addressSize << ": " << fake.Last();
    PortFree(value.value.string);
    ASSERT_EQ(Attribute(kObjThread, 6, VUSK_TYPE_STRING, "Sleep"), kStatusOk);
    EXPECT_NE(fake.Last().find(c.waitCast), std::string::npos) << c.addressSize << ": " << fake.Last();
    PortFree(value.value.string);
  }
  fake.bc.settings.pliskInValidation = true;
  ASSERT_EQ(Attribute(kObjThread, 0, VUSK_TYPE_STRING, "0xlocation"), kStatusOk);
  EXPECT_NE(fake.Last().find("print \"0xlocation\""), std::string::npos) << "validation mode hides it either way";
}

TEST_F(ThreadxLogic, SmpColumnsComeFromTheCoreTable) {
  target.smpMode = true;
  target.coreField = "tx_thread_smp_core_mapped";
  target.currentCoreExpression = "$mpidr_el1.Aff0";
  target.coreDisplayTemplate = "`{print/x (unsigned short)($thl_temp->tx_thread_smp_cores_excluded)}`";
  ASSERT_EQ(Attribute(kObjThread, 8, VUSK_TYPE_STRING, "0x1"), kStatusOk);
  EXPECT_EQ(fake.Last(), "string: `{print/x (unsigned char)$thl_temp->tx_thread_smp_core_mapped}`");
  PortFree(value.value.string);
  ASSERT_EQ(Attribute(kObjThread, 7, VUSK_TYPE_STRING, "0x0"), kStatusOk);
  EXPECT_EQ(fake.Last(), std::string("string: ") + target.coreDisplayTemplate);
  PortFree(value.value.string);
  ASSERT_EQ(Attribute(kObjThread, 5, VUSK_TYPE_STRING, "1/2"), kStatusOk);
  EXPECT_NE(fake.Last().find("`if ($thl_temp->tx_thread_state == 0) {if ($thl_temp == (struct TX_THREAD_STRUCT "
                             "*)_tx_thread_current_ptr[$mpidr_el1.Aff0]) {if"),
            std::string::npos)
      << "the core expression is asked only of a ready thread";
  PortFree(value.value.string);
  target.smpMode = false;
  ASSERT_EQ(Attribute(kObjThread, 7, VUSK_TYPE_STRING, "N/A"), kStatusOk);
  EXPECT_EQ(fake.Last(), "string: `{print \"N/A\"}`");
}

TEST_F(ThreadxLogic, NameAndStatusNameTheThreadByItsWholeAddress) {
  fake.Text("`", "worker");
  value = VuskValueOfType(VUSK_TYPE_STRING);
  ASSERT_EQ(TxTaskNameGet(&fake.bc, 0x1234567890ull, &value), kStatusOk);
  EXPECT_STREQ(value.value.string, "worker");
  EXPECT_EQ(fake.Last(),
            "string: `if(((struct TX_THREAD_STRUCT *)0x1234567890)->tx_thread_name) {mprintf(\"%s\", ((struct "
            "TX_THREAD_STRUCT *)0x1234567890)->tx_thread_name)} else {print/x ((struct TX_THREAD_STRUCT "
            "*)0x1234567890)+0}`");
  PortFree(value.value.string);

  value = VuskValueOfType(VUSK_TYPE_STRING);
  ASSERT_EQ(TxTaskStatusGet(&fake.bc, &target, 0x20, &value), kStatusOk);
  const char* r = "((struct TX_THREAD_STRUCT *)0x20)";
  EXPECT_EQ(fake.Last(), std::string("string: `if (") + r +
                             " == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr) {print \"Executing\"} else {if (" +
                             r + "->tx_thread_state == 0) {print \"Ready\"} else {if (" + r +
                             "->tx_thread_state > 2) {print \"Suspended\"} else {if (" + r +
                             "->tx_thread_state == 2) {print \"Terminated\"} else {print \"Completed\"}}}}`");
  PortFree(value.value.string);

  value = VuskValueOfType(VUSK_TYPE_UINT64);
  EXPECT_EQ(TxTaskNameGet(&fake.bc, 0x20, &value), kStatusFailed) << "a name is always a text";
  EXPECT_EQ(TxTaskStatusGet(&fake.bc, &target, 0x20, &value), kStatusFailed);
  value = VuskValueOfType(VUSK_TYPE_UINT64);
}

TEST_F(ThreadxLogic, SmpStatusNamesTheCoreAndChecksIt) {
  fake.SetCores({3, 4});
  target.smpMode = true;
  target.coreField = "tx_thread_smp_core_mapped";
  fake.Number("->tx_thread_smp_core_mapped", 1, 1);
  fake.Number("->tx_thread_smp_core_mapped", 2, 1);
  fake.Text("`", "Executing on Core 3");
  value = VuskValueOfType(VUSK_TYPE_STRING);
  ASSERT_EQ(TxTaskStatusGet(&fake.bc, &target, 0x20, &value), kStatusOk);
  const char* r = "((struct TX_THREAD_STRUCT *)0x20)";
  EXPECT_EQ(fake.Last(), std::string("string: `if (") + r + " == (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[" + r +
                             "->tx_thread_smp_core_mapped]) {print \"Executing on Core 3\"} else {if (" + r +
                             "->tx_thread_state == 0) {print \"Ready\"} else {if (" + r +
                             "->tx_thread_state > 2) {print \"Suspended\"} else {if (" + r +
                             "->tx_thread_state == 2) {print \"Terminated\"} else {print \"Completed\"}}}}`");
  PortFree(value.value.string);
  value = VuskValueOfType(VUSK_TYPE_STRING);
  EXPECT_EQ(TxTaskStatusGet(&fake.bc, &target, 0x20, &value), kStatusFailed) << "core 2 is not below coreCount 2";
}

// ---- Cores and the current thread ---------------------------------------------

TEST_F(ThreadxLogic, SmpNeedsTheArrayAndEnoughHostCores) {
  target.cpumajor = 50;
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_FALSE(target.smpMode);
  EXPECT_EQ(fake.Last(), "lookup: _tx_thread_current_ptr");

  fake.Number("$number_of_vpe", 4);
  fake.Number("_tx_thread_current_ptr", 0x9000);
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusFailed) << "four kernel cores, one host core";

  fake.SetCores({1, 2, 3, 4});
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_TRUE(target.smpMode);
  EXPECT_STREQ(target.coreField, "tx_thread_smp_core_mapped");
  EXPECT_STREQ(target.currentCoreExpression, "$mpidr_el1.Aff0");
}

TEST_F(ThreadxLogic, MipsTakesItsOwnRowAndSingleCoreStaysPlain) {
  target.cpumajor = 10;
  fake.Number("$number_of_vpe = (sizeof(_tx_thread_current_ptr)/sizeof(*_tx_thread_current_ptr))", 1);
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_FALSE(target.smpMode);
  fake.rules.clear();
  fake.Number("$number_of_vpe", 2);
  fake.SetCores({1, 2});
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_STREQ(target.coreField, "tx_thread_mips32_mapped_vpe");
  EXPECT_STREQ(target.currentCoreExpression, "$tcpind.CurVPE");
}

TEST_F(ThreadxLogic, EveryOtherCpuLooksForTheArrayWhenTheHostHasSeveralCores) {
  target.cpumajor = 77;
  fake.Number("$number_of_vpe", 4);
  fake.Number("_tx_thread_current_ptr", 0x9000);
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_FALSE(target.smpMode);
  EXPECT_TRUE(fake.sent.empty()) << "a one-core host is asked nothing: its sessions stay as they were";

  fake.SetCores({1, 2, 3, 4});
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  ASSERT_EQ(fake.sent.size(), 2u);
  EXPECT_EQ(fake.sent[0], "lookup: _tx_thread_current_ptr");
  EXPECT_TRUE(target.smpMode);
  EXPECT_EQ(target.coreCount, 4);
  EXPECT_STREQ(target.coreField, "tx_thread_smp_core_mapped");
  EXPECT_STREQ(target.currentCoreExpression, "$vusk_current_core");
  EXPECT_STREQ(target.coreDisplayTemplate, "`{print/x (unsigned short)($thl_temp->tx_thread_smp_cores_excluded)}`");
}

TEST_F(ThreadxLogic, EveryOtherCpuStaysSingleCoreWithoutTheArray) {
  target.cpumajor = 14;
  fake.SetCores({1, 2});
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_FALSE(target.smpMode) << "no symbol";
  fake.Number("$number_of_vpe", 0);  // a plain pointer: its size over its target's
  fake.Number("_tx_thread_current_ptr", 0x9000);
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
  EXPECT_FALSE(target.smpMode);
  fake.rules.clear();
  fake.Number("$number_of_vpe", 8);
  fake.Number("_tx_thread_current_ptr", 0x9000);
  EXPECT_EQ(TxDetectCores(&fake.bc, &target), kStatusFailed) << "eight kernel cores, two host cores";
}

// The SMP stack and mapped-core texts were once made for the first SMP
// target of the process and kept, so a later target of another CPU asked
// for the first one's core field.
TEST_F(ThreadxLogic, SmpTextsFollowEachTargetsCoreRow) {
  fake.SetCores({1, 2});
  struct Case {
    int16_t cpumajor;
    const char* mappedCore;
    const char* currentCore;
  };
  const Case cases[] = {
      {10, "$thl_temp->tx_thread_mips32_mapped_vpe}", "_tx_thread_current_ptr[$tcpind.CurVPE]"},
      {50, "$thl_temp->tx_thread_smp_core_mapped}", "_tx_thread_current_ptr[$mpidr_el1.Aff0]"},
      {77, "$thl_temp->tx_thread_smp_core_mapped}", "_tx_thread_current_ptr[$vusk_current_core]"},
      {10, "$thl_temp->tx_thread_mips32_mapped_vpe}", "_tx_thread_current_ptr[$tcpind.CurVPE]"},
  };
  for (const Case& c : cases) {
    target = ThreadxTargetState{};
    target.cpumajor = c.cpumajor;
    fake.rules.clear();
    fake.Number("$number_of_vpe", 2);
    fake.Number("_tx_thread_current_ptr", 0x9000);
    ASSERT_EQ(TxDetectCores(&fake.bc, &target), kStatusOk);
    ASSERT_TRUE(target.smpMode) << c.cpumajor;
    ASSERT_EQ(Attribute(kObjThread, 8, VUSK_TYPE_STRING, "0x1"), kStatusOk);
    EXPECT_NE(fake.Last().find(c.mappedCore), std::string::npos) << c.cpumajor << ": " << fake.Last();
    PortFree(value.value.string);
    ASSERT_EQ(Attribute(kObjThread, 5, VUSK_TYPE_STRING, "1/2"), kStatusOk);
    EXPECT_NE(fake.Last().find(c.currentCore), std::string::npos) << c.cpumajor << ": " << fake.Last();
    PortFree(value.value.string);
    value = VuskValueOfType(VUSK_TYPE_UINT64);
  }
}

TEST_F(ThreadxLogic, CurrentThreadIsCachedWholeUntilTheHaltNotice) {
  fake.Number("(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr", 0x180002000ull);
  uint64_t task = 0;
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, -1, &task), kStatusOk);
  EXPECT_EQ(task, 0x180002000ull);
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, -1, &task), kStatusOk);
  EXPECT_EQ(fake.sent.size(), 1u);

  EXPECT_EQ(TxTargetNotify(&fake.bc, &target, 1), kStatusOk);
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, -1, &task), kStatusOk);
  EXPECT_EQ(fake.sent.size(), 1u) << "only notice 0 clears the cache";

  target.frameValid = true;
  target.frameThread = 0x180002000ull;
  EXPECT_EQ(TxTargetNotify(&fake.bc, &target, 0), kStatusOk);
  EXPECT_FALSE(target.frameValid);
  EXPECT_EQ(target.frameThread, 0u);
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, -1, &task), kStatusOk);
  EXPECT_EQ(fake.sent.size(), 2u);
}

TEST_F(ThreadxLogic, ZeroCurrentThreadIsAnsweredAndAskedAgain) {
  fake.Number("_tx_thread_current_ptr", 0);
  uint64_t task = 7;
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, -1, &task), kStatusOk);
  EXPECT_EQ(task, 0u);
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, -1, &task), kStatusOk);
  EXPECT_EQ(fake.sent.size(), 2u);
}

TEST_F(ThreadxLogic, SmpCurrentThreadGoesByTheHostCoreIdList) {
  fake.SetCores({2, 1});
  target.smpMode = true;
  fake.Number("_tx_thread_current_ptr[0]", 0xA0);
  fake.Number("_tx_thread_current_ptr[1]", 0xB0);
  uint64_t task = 0;
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, 0, &task), kStatusOk);
  EXPECT_EQ(task, 0xB0u) << "host core 1 is the second entry";
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, 0, &task), kStatusOk);
  EXPECT_EQ(fake.sent.size(), 1u);
  ASSERT_EQ(TxCurrentTaskGet(&fake.bc, &target, 1, &task), kStatusOk);
  EXPECT_EQ(task, 0xA0u);
  EXPECT_EQ(fake.Last(), "eval: (struct TX_THREAD_STRUCT *)_tx_thread_current_ptr[0]");
  EXPECT_EQ(TxCurrentTaskGet(&fake.bc, &target, 5, &task), kStatusFailed) << "core 6 is not in the list";
}

// ---- Session -------------------------------------------------------------------

TEST_F(ThreadxLogic, CpuCommandsParseTheirNumber) {
  target.cpumajor = 4;
  target.cpuminor = 1;
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpumajor16"), kStatusOk);
  EXPECT_EQ(target.cpumajor, 16);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpumajor0"), kStatusOk);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpumajor"), kStatusOk);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpumajor x"), kStatusOk);
  EXPECT_EQ(target.cpumajor, 16);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpuminor 5"), kStatusOk);
  EXPECT_EQ(target.cpuminor, 5);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpuminor -2"), kStatusOk);
  EXPECT_EQ(target.cpuminor, -2);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpu"), kStatusFailed);
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "help"), kStatusFailed);
  EXPECT_TRUE(fake.sent.empty());
}

TEST_F(ThreadxLogic, CpuCommandDropsOwnedLayouts) {
  auto* layout = static_cast<RegisterLayout*>(PortAllocZero(1, sizeof(RegisterLayout)));
  layout->slots = static_cast<RegisterSlot*>(PortAllocZero(4, sizeof(RegisterSlot)));
  static RegisterLayout builtin{};
  target.intLayout = layout;
  target.ownsIntLayout = true;
  target.fpLayout = &builtin;
  EXPECT_EQ(TxCmdExecute(&fake.bc, &target, "cpuminor 9"), kStatusOk);
  EXPECT_EQ(target.intLayout, nullptr);
  EXPECT_EQ(target.fpLayout, nullptr);
  EXPECT_FALSE(target.ownsIntLayout);
}

TEST_F(ThreadxLogic, WithoutARecordNoticesSucceedAndCpuChangesFail) {
  EXPECT_EQ(TxTargetNotify(&fake.bc, nullptr, 0), kStatusOk);
  EXPECT_EQ(TxCmdExecute(&fake.bc, nullptr, "cpumajor 16"), kStatusFailed);
  EXPECT_EQ(TxCmdExecute(&fake.bc, nullptr, "cpumajor 0"), kStatusOk);
  EXPECT_EQ(TxCmdExecute(&fake.bc, nullptr, "cpu"), kStatusFailed);
  void* none = nullptr;
  EXPECT_EQ(TxTargetCleanup(&fake.bc, &none), kStatusOk);
  EXPECT_EQ(TxTargetCleanup(&fake.bc, nullptr), kStatusOk);
}

TEST_F(ThreadxLogic, TargetInitTakesTheSessionCpuAndReplacesAnOldRecord) {
  BridgeResetHostSettings();
  fake.Text("TxVuskUsePhySpace", "= on");
  fake.bc.settings.cpumajor = 16;
  fake.bc.settings.cpuminor = 7;
  void* data = nullptr;
  ASSERT_EQ(TxTargetInit(&fake.bc, &data), kStatusOk);
  auto* record = static_cast<ThreadxTargetState*>(data);
  EXPECT_EQ(record->cpumajor, 16);
  EXPECT_EQ(record->cpuminor, 7);
  EXPECT_FALSE(record->smpMode);
  EXPECT_TRUE(fake.bc.info.kernelInPhysicalAddress);
  ASSERT_EQ(TxTargetInit(&fake.bc, &data), kStatusOk);
  EXPECT_EQ(TxTargetCleanup(&fake.bc, &data), kStatusOk);
  EXPECT_EQ(data, nullptr);
  BridgeResetHostSettings();
}

}  // namespace
