// Helpers of the configuration tests: captured messages and a scratch
// directory of small files written by the test itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "shared/port_msg.h"

// Captures every message for the life of the object.
class CapturedMessages {
 public:
  CapturedMessages() { PortSetMessageSink(Capture, this); }
  ~CapturedMessages() { PortSetMessageSink(nullptr, nullptr); }
  CapturedMessages(const CapturedMessages&) = delete;
  CapturedMessages& operator=(const CapturedMessages&) = delete;

  const std::vector<std::pair<MsgSeverity, std::string>>& all() const { return messages_; }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& message : messages_) out.push_back(message.second);
    return out;
  }
  void clear() { messages_.clear(); }

 private:
  static void Capture(void* user, MsgSeverity severity, const char* text) {
    static_cast<CapturedMessages*>(user)->messages_.emplace_back(severity, text);
  }
  std::vector<std::pair<MsgSeverity, std::string>> messages_;
};

// A fresh directory under the build tree, removed with its files afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::filesystem::path base = std::filesystem::path(VUSK_BINARY_DIR) / "config_scratch";
    for (int attempt = 0; path_.empty() && attempt < 1000; attempt++) {
      std::filesystem::path candidate = base / std::to_string(std::random_device{}());
      std::error_code error;
      if (std::filesystem::create_directories(candidate, error)) path_ = candidate.generic_string();
    }
  }
  ~ScratchDir() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes text to name (relative to the directory; subdirectories made as
  // needed) and returns the full path.
  std::string Write(const std::string& name, const std::string& text) const {
    std::string full = path_ + "/" + name;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path(), error);
    FILE* stream = fopen(full.c_str(), "wb");
    EXPECT_NE(stream, nullptr) << full;
    if (stream) {
      fwrite(text.data(), 1, text.size(), stream);
      fclose(stream);
    }
    return full;
  }

 private:
  std::string path_;
};
