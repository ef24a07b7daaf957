// The reboot marker: an empty file whose presence tells the next start of
// the utility that this start had the device reset. The path is held in
// both forms the platform calls take: 8-bit for streams, UTF-16 for deletion.
#pragma once

namespace ostrel {

inline constexpr char kMarkerPath[] = "\\USB Disk\\Zarvo\\reboot.txt";
inline constexpr char16_t kMarkerPathW[] = u"\\USB Disk\\Zarvo\\reboot.txt";

// True when both forms spell the same path.
constexpr bool MarkerPathsAgree() {
  for (unsigned i = 0;; ++i) {
    if (static_cast<char16_t>(static_cast<unsigned char>(kMarkerPath[i])) != kMarkerPathW[i]) {
      return false;
    }
    if (kMarkerPath[i] == 0) return true;
  }
}
static_assert(MarkerPathsAgree(), "the two forms of the marker path differ");

}  // namespace ostrel
