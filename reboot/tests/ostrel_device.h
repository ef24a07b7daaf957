// A simulated device set up for the reboot utility: its resources, storage
// in a scratch folder of the test's own, and helpers to start the program,
// reboot the device and read back what happened.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "scratch_folder.h"

namespace ostrel::testing {

using zarvo::testing::ScratchFolder;

// The dialog template and icon of the program's resources.
void InstallResources(fw::sim::Device& device);

class OstrelDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  fw::sim::Device& device() { return *device_; }
  const fw::sim::CallLog& log() const { return device_->log(); }
  // Starts the program as the device's entry does; returns its exit code.
  int Start();
  // A new device on the same storage: no programs, nothing queued, clock 0.
  void Reboot();

  // The folder the marker lives in, so the marker can be written.
  void MakeMarkerFolder();
  std::filesystem::path MarkerFile() const;
  bool MarkerExists() const;
  void WriteMarker(const std::string& contents);

  // The message field's texts after the question, as "<time> <text>".
  std::vector<std::string> Counts() const;
  // "<time> After <n> seconds -> reboot system" for n = first down to 0,
  // one second apart from `start`.
  static std::vector<std::string> CountTexts(std::uint64_t start, int first, int last = 0);

  // The modal run is expected to end by running out of events.
  bool expectStall = false;

 private:
  ScratchFolder storage_;
  std::unique_ptr<fw::sim::Device> device_;
  std::optional<fw::ScopedPlatform> installed_;
};

}  // namespace ostrel::testing
