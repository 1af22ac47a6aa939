// The interface tests' fixture: the frame set up once per process, every
// slot empty at the start of each test, and a fresh context per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "os_aware/interface/vusk_callbacks.h"
#include "os_aware/interface/vusk_context.h"

// The text of a request with id 1.
std::string RequestText(const std::string& method, const std::string& params);

// Dispatches VUSK_Client_<method> with params and returns the envelope.
std::string Call(const std::string& method, const std::string& params);

// The success envelope around a result text, with id 1.
std::string Envelope(const std::string& result);

class InterfaceTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // params naming this test's context, followed by more members.
  std::string WithContext(const std::string& members = "") const;

  uint64_t handle_ = 0;
  VUSK_ServiceCntx* context_ = nullptr;
};
