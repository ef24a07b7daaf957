#include "ostrel_device.h"

#include <fstream>

#include "marker.h"
#include "resource.h"
#include "win_app.h"

namespace ostrel::testing {

void InstallResources(fw::sim::Device& device) {
  device.addDialogTemplate({IDD_OSTREL_DIALOG,
                            u"Ostrel",
                            141,
                            59,
                            {{IDC_YES, u"Yes", {7, 38, 57, 52}},
                             {IDC_NO, u"No", {84, 38, 134, 52}},
                             {IDC_MESSAGE, u"", {7, 7, 134, 28}}}});
  device.addIconResource(IDI_OSTREL);
}

void OstrelDeviceTest::SetUp() { Reboot(); }

void OstrelDeviceTest::TearDown() {
  if (!expectStall) {
    EXPECT_FALSE(device_->loop().stalled()) << "the modal run ran out of events";
  }
  installed_.reset();
  device_.reset();
}

int OstrelDeviceTest::Start() { return fw::AppMain(fw::StartupValues{}); }

void OstrelDeviceTest::Reboot() {
  installed_.reset();
  device_ = std::make_unique<fw::sim::Device>(storage_.path());
  InstallResources(*device_);
  installed_.emplace(*device_);
}

void OstrelDeviceTest::MakeMarkerFolder() {
  std::filesystem::create_directories(MarkerFile().parent_path());
}

std::filesystem::path OstrelDeviceTest::MarkerFile() const {
  return device_->storage().hostPath(kMarkerPath);
}

bool OstrelDeviceTest::MarkerExists() const { return std::filesystem::exists(MarkerFile()); }

void OstrelDeviceTest::WriteMarker(const std::string& contents) {
  MakeMarkerFolder();
  std::ofstream(MarkerFile(), std::ios::binary) << contents;
}

std::vector<std::string> OstrelDeviceTest::Counts() const {
  std::vector<std::string> counts;
  for (const fw::sim::TextChange& change : device_->textHistory(IDC_MESSAGE)) {
    const std::string text = fw::sim::Utf8(change.text);
    if (text.rfind("After ", 0) == 0) counts.push_back(std::to_string(change.time) + " " + text);
  }
  return counts;
}

std::vector<std::string> OstrelDeviceTest::CountTexts(std::uint64_t start, int first, int last) {
  std::vector<std::string> texts;
  for (int n = first; n >= last; --n) {
    texts.push_back(std::to_string(start + 1000 * static_cast<std::uint64_t>(first - n)) +
                    " After " + std::to_string(n) + " seconds -> reboot system");
  }
  return texts;
}

}  // namespace ostrel::testing
