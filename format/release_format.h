// What a release is, in names and numbers: the files the device reads, and
// every limit of the release format, each defined once with what it
// bounds. The packer refuses what goes past a limit, the check flags it;
// both take the numbers from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

// --- Fixed names.
inline constexpr char kStagingFolderName[] = "FlashDrive";    // the folder a release is made from
inline constexpr char kStagingPrefix[] = "FlashDrive\\";      // a first-form list line begins so
inline constexpr std::size_t kStagingPrefixUnits = 11;        // ... in UTF-16 units
inline constexpr char kArchiveName[] = "ZarvoEUupdate.zip";   // the release archive
inline constexpr char kFileListName[] = "$FileList.txt";      // every file, one line each
inline constexpr char kFolderListName[] = "$FolderList.txt";  // the folders, first form
inline constexpr char kDigestName[] = "$md5.bin";             // MD5 of the listed files
// A listed path that holds this is a configuration file: left out of the
// digest, which it may differ from on each device.
inline constexpr char kConfigurationMark[] = "$FileList-cfg.txt";

// --- The lists.
inline constexpr std::uint32_t kListLinesMax = 65535;       // lines the 16-bit header can count
inline constexpr std::size_t kListLineUnitsMax = 511;       // UTF-16 units of text in one line
inline constexpr std::size_t kListLineReadUnitsMax = 1023;  // units one read of a line takes

// --- The device.
// A path as the lists' first form names it ("FlashDrive\" and the path
// below the staging folder), in UTF-16 units, as the device counts them.
inline constexpr std::size_t kPathUnitsMax = 255;
// The largest file the device's FAT file system holds: 4 GiB less a byte.
inline constexpr std::uint64_t kFileBytesMax = 0xFFFFFFFFu;
// Folders the packer's walk scans, the staging folder's own included.
inline constexpr std::uint32_t kFoldersMax = 65535;

// --- What follows from them.
// The entries a release's archive can hold: a full file list's files,
// $md5.bin, and as many folders as the walk scans.
inline constexpr std::uint64_t kReleaseEntriesMax = std::uint64_t{kListLinesMax} + 1 + kFoldersMax;
// The longest entry name, in bytes of UTF-8, that a list line can name (a
// UTF-16 unit is at most three bytes).
inline constexpr std::size_t kEntryNameBytesMax = 3 * kListLineUnitsMax;

}  // namespace quillet
