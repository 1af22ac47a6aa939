// The bridge: the pool of 15 contexts under load and nesting, what an entry
// copies from the service context and writes back, the abort rule of the
// register and memory services, and the two host settings asked by command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os_aware/interface/vusk_awareness.h"
#include "os_aware/interface/vusk_context.h"
#include "os_aware/interface/vusk_entry.h"
#include "os_aware/jsonrpc/jr_client.h"
#include "tests/threadx/tx_fake_host.h"

namespace {

std::vector<std::string> gRequests;

const char* AnswerEverything(const char* request) {
  gRequests.emplace_back(request);
  return "{ \"jsonrpc\" : \"2.0\", \"result\" : { \"return\" : 0 }, \"id\" : 0 }";
}

class BridgePool : public testing::Test {
 protected:
  static void SetUpTestSuite() { VUSK_Client_CmdInit(0, nullptr, AnswerEverything); }

  void SetUp() override {
    VuskHostClient()->send = AnswerEverything;
    gRequests.clear();
    BridgePoolInit();
    for (int i = 0; i < kSessions; i++) contexts[i] = VuskContextCreate(100 + i);
  }

  void TearDown() override {
    for (VUSK_ServiceCntx* context : contexts) VuskContextDestroy(context);
  }

  static constexpr int kSessions = kBridgePoolSize + 1;
  VUSK_ServiceCntx* contexts[kSessions] = {};
};

TEST_F(BridgePool, SixteenthSessionIsToldAndRefusedWhileNestedCallsStillShare) {
  BridgeContext* held[kBridgePoolSize];
  for (int i = 0; i < kBridgePoolSize; i++) {
    held[i] = BridgeAcquire(contexts[i]);
    ASSERT_NE(held[i], nullptr) << i;
  }
  EXPECT_TRUE(gRequests.empty());

  EXPECT_EQ(BridgeAcquire(contexts[kBridgePoolSize]), nullptr);
  ASSERT_EQ(gRequests.size(), 1u);
  EXPECT_NE(gRequests[0].find("\"method\" : \"VUSK_Service_MessageDisplay\""), std::string::npos);
  EXPECT_NE(gRequests[0].find("\"context\" : 115, \"messageType\" : 2, \"message\" : "
                              "\"VUSK Bridge: Failed to get service context.\\n\""),
            std::string::npos)
      << gRequests[0];

  // The same refusal reaches the callback's caller as 1; a callback of a
  // session that already holds an entry shares it and succeeds.
  EXPECT_EQ(vuskCallbackTable.targetNotify(contexts[kBridgePoolSize], &contexts[kBridgePoolSize]->info, nullptr, 0),
            kStatusFailed);
  EXPECT_EQ(vuskCallbackTable.targetNotify(contexts[3], &contexts[3]->info, nullptr, 0), kStatusOk);
  BridgeContext* nested = BridgeAcquire(contexts[3]);
  EXPECT_EQ(nested, held[3]);
  EXPECT_EQ(BridgeUseCount(3), 2);
  BridgeRelease(nested);
  EXPECT_EQ(held[3]->host, contexts[3]) << "the outer call still holds the entry";

  for (BridgeContext* bc : held) BridgeRelease(bc);
  for (int i = 0; i < kBridgePoolSize; i++) EXPECT_EQ(BridgeUseCount(i), 0);
  EXPECT_NE(BridgeAcquire(contexts[kBridgePoolSize]), nullptr);
}

TEST_F(BridgePool, EntryCopiesSessionAndWritesItsAnswersBackAtEachRelease) {
  VUSK_ServiceCntx* host = contexts[0];
  host->majorCpuType = 16;
  host->minorCpuType = 7;
  VuskCntxSet(host, kCntxTargetBigEndian, true);
  VuskCntxSet(host, kCntxAbortAction, true);
  VuskCntxSet2(host, kCntx2PliskInValidation, true);
  VuskInfoSet(&host->info, kInfoFixVuskMemSpc, true);
  host->info.reserved = 5;

  BridgeContext* bc = BridgeAcquire(host);
  ASSERT_NE(bc, nullptr);
  EXPECT_EQ(bc->settings.cpumajor, 16);
  EXPECT_EQ(bc->settings.cpuminor, 7);
  EXPECT_TRUE(bc->settings.bigEndianTarget);
  EXPECT_TRUE(bc->settings.abortAction);
  EXPECT_TRUE(bc->settings.pliskInValidation);
  EXPECT_TRUE(bc->settings.explorerInactive);
  EXPECT_TRUE(bc->info.fixVuskMemSpc);
  EXPECT_TRUE(bc->info.spare);
  EXPECT_EQ(BridgeInfoFlags(&bc->info), kInfoFixVuskMemSpc) << "the spare bit never reaches the host layout";

  // abortAction: register and memory services answer 3 without a request.
  uint32_t reg = 0;
  uint8_t bytes[4];
  EXPECT_EQ(bc->services.registerRead(bc, kVuskNoCore, 1, &reg), kStatusAborted);
  EXPECT_EQ(bc->services.registerRead(bc, 1, 1, &reg), kStatusAborted);
  EXPECT_EQ(bc->services.registerWrite(bc, 1, 2), kStatusAborted);
  EXPECT_EQ(bc->services.memoryRead(bc, 4, 0x100, 1, 4, bytes), kStatusAborted);
  EXPECT_EQ(bc->services.memoryWrite(bc, 4, 0x100, 1, 4, bytes), kStatusAborted);
  EXPECT_EQ(bc->services.memoryPrefetch(bc, 4, 0x100, 1, 4, 0), kStatusAborted);
  EXPECT_TRUE(gRequests.empty());

  // A nested call shares the entry: its answers reach the host as its own
  // release ends it (the handler reports them right after), while what the
  // host's handler set for the call it serves stays.
  BridgeContext* nested = BridgeAcquire(host);
  ASSERT_EQ(nested, bc);
  VuskInfoSet(&host->info, kInfoShowObjectNumber, true);
  host->info.versionRequired = 7;
  nested->info.kernelInPhysicalAddress = true;
  nested->info.pageSize = 4096;
  nested->info.reserved = 9;
  BridgeRelease(nested);
  EXPECT_TRUE(VuskInfoHas(&host->info, kInfoKernelInPhysicalAddress));
  EXPECT_EQ(host->info.pageSize, 4096u);
  EXPECT_EQ(host->info.reserved, 9u);
  EXPECT_TRUE(VuskInfoHas(&host->info, kInfoShowObjectNumber));
  EXPECT_EQ(host->info.versionRequired, 7u);
  EXPECT_EQ(bc->host, host) << "the outer call still holds the entry";
  BridgeRelease(bc);
  EXPECT_EQ(bc->host, nullptr);
  EXPECT_TRUE(VuskInfoHas(&host->info, kInfoShowObjectNumber));

  BridgeContext outsider{};
  BridgeRelease(&outsider);  // not a pool entry: ignored
  EXPECT_EQ(BridgeUseCount(0), 0);
}

// The host's cores reach the logic in the entry's settings, as a copy of
// its own: a TargetInit served during the call replaces the context's list.
TEST_F(BridgePool, EntryKeepsItsOwnCopyOfTheHostCores) {
  VUSK_ServiceCntx* host = contexts[0];
  host->coreCount = 2;
  host->coreIdList = static_cast<uint64_t*>(PortAllocZero(2, sizeof(uint64_t)));
  host->coreIdList[0] = 1;
  host->coreIdList[1] = 2;
  BridgeContext* bc = BridgeAcquire(host);
  ASSERT_NE(bc, nullptr);
  ASSERT_NE(bc->settings.coreIdList, nullptr);
  EXPECT_NE(bc->settings.coreIdList, host->coreIdList);
  PortFree(host->coreIdList);  // as a nested TargetInit of one core does
  host->coreIdList = nullptr;
  host->coreCount = 1;
  EXPECT_EQ(bc->settings.coreCount, 2u);
  EXPECT_EQ(bc->settings.coreIdList[1], 2u);
  BridgeRelease(bc);
  EXPECT_EQ(bc->settings.coreIdList, nullptr) << "freed with the entry";

  bc = BridgeAcquire(host);
  EXPECT_EQ(bc->settings.coreCount, 1u);
  EXPECT_EQ(bc->settings.coreIdList, nullptr) << "one core: no list";
  BridgeRelease(bc);
}

// A release without its acquire breaks the pool's count: debug builds stop
// there, others ignore it.
TEST_F(BridgePool, ReleaseOfAFreeEntryIsABrokenInvariant) {
  BridgeContext* bc = BridgeAcquire(contexts[0]);
  BridgeRelease(bc);
  EXPECT_DEBUG_DEATH(BridgeRelease(bc), "");
  EXPECT_EQ(BridgeUseCount(0), 0);
}

TEST_F(BridgePool, ServicesSendTheirFixedArguments) {
  BridgeContext* bc = BridgeAcquire(contexts[0]);
  uint32_t value = 0;
  inRegisterRead = 1;
  bc->services.registerRead(bc, kVuskNoCore, 13, &value);
  inRegisterRead = 0;
  bc->services.threadRegisterRead(bc, 0x5000, 2, &value);
  bc->services.commandExec(bc, "info");
  BridgeRelease(bc);
  ASSERT_EQ(gRequests.size(), 3u);
  EXPECT_NE(gRequests[0].find("{ \"context\" : 100, \"register\" : 13, \"width\" : -1, \"fromDebugger\" : 1 }"),
            std::string::npos)
      << gRequests[0];
  EXPECT_NE(gRequests[1].find("\"threadId\" : 20480, \"register\" : 2, \"coreId\" : 1 }"), std::string::npos)
      << gRequests[1];
  EXPECT_NE(gRequests[2].find("\"command\" : \"info\", \"outputMask\" : 0, \"allowBpOps\" : 0, \"searchFlag\" : 0 }"),
            std::string::npos)
      << gRequests[2];
}

// ---- Host settings -------------------------------------------------------

class HostSettings : public testing::Test {
 protected:
  void SetUp() override { BridgeResetHostSettings(); }
  void TearDown() override { BridgeResetHostSettings(); }
  FakeHost fake;
};

TEST_F(HostSettings, PhySpaceOffAnywhereInTheOutputIsZeroAndIsAskedOnce) {
  fake.Text("__debugFlag TxVuskUsePhySpace", "flag TxVuskUsePhySpace = off\n");
  EXPECT_EQ(BridgeUsePhySpace(&fake.bc), 0);
  EXPECT_EQ(BridgeUsePhySpace(&fake.bc), 0);
  EXPECT_EQ(fake.sent.size(), 1u);
  EXPECT_EQ(fake.sent[0], "command: __debugFlag TxVuskUsePhySpace");
}

TEST_F(HostSettings, PhySpaceOtherTextIsOne) {
  fake.Text("TxVuskUsePhySpace", "TxVuskUsePhySpace = on");
  EXPECT_EQ(BridgeUsePhySpace(&fake.bc), 1);
}

TEST_F(HostSettings, PhySpaceFailureAnswersOffAndAsksAgain) {
  fake.Fail("TxVuskUsePhySpace", 1);
  fake.Text("TxVuskUsePhySpace", "= on");
  EXPECT_EQ(BridgeUsePhySpace(&fake.bc), 0);
  EXPECT_EQ(BridgeUsePhySpace(&fake.bc), 1);
  EXPECT_EQ(fake.sent.size(), 2u);
}

TEST_F(HostSettings, UserConfigDirLosesTrailingLineEnds) {
  fake.Text("__user_cfg_dir", "/home/dev/.dbg\r\n\r\n");
  ASSERT_NE(BridgeUserConfigDir(&fake.bc), nullptr);
  EXPECT_STREQ(BridgeUserConfigDir(&fake.bc), "/home/dev/.dbg");
  EXPECT_EQ(fake.sent.size(), 1u);
  EXPECT_EQ(fake.sent[0], "command: __user_cfg_dir");
}

TEST_F(HostSettings, UserConfigDirOfLineEndsOnlyIsEmptyAndFailureAsksAgain) {
  fake.Fail("__user_cfg_dir", 1);
  fake.Text("__user_cfg_dir", "\n\r\n");
  EXPECT_EQ(BridgeUserConfigDir(&fake.bc), nullptr);
  ASSERT_NE(BridgeUserConfigDir(&fake.bc), nullptr);
  EXPECT_STREQ(BridgeUserConfigDir(&fake.bc), "");
  EXPECT_EQ(fake.sent.size(), 2u);
}

TEST(BridgeSlots, AwarenessFillsItsFourteenSlots) {
  VuskCallbackTable table{};
  EXPECT_EQ(VuskAwarenessStart(0, nullptr, &table), 0);
  const int filled[] = {0, 1, 2, 3, 4, 5, 6, 7, 10, 13, 14, 20, 28, 29};
  int count = 0;
  for (int slot = 0; slot < kVuskSlotCount; slot++) count += VuskSlotFilled(&table, slot) ? 1 : 0;
  EXPECT_EQ(count, 14);
  for (int slot : filled) EXPECT_TRUE(VuskSlotFilled(&table, slot)) << slot;
}

}  // namespace
