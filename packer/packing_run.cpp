#include "packing_run.h"

#include "console.h"
#include "content_digest.h"
#include "file_list.h"
#include "own_archive_check.h"
#include "platform.h"
#include "walk.h"

namespace quillet {
namespace {

constexpr char16_t kRule[] = u"**********************************************************\n";

void printBanner() {
  printWide(kRule);
  printWide(u"[Name] ZarvoEU_Quillet.exe\t\t\t\t\t\t\t\t\t\n");
  printWide(u"[Description]\t\t\t\t\t\t\t\t\t\t\t\t\n");
  printWide(u"This tool is used to pack BSP & NAVI related files into\t\n");
  printWide(u"a release file, ZarvoEUupdate.zip. \t\t\t\t\t\t\t\n");
  printWide(u"[BSP] 0.90.019RO or laters\t\t\t\t\t\t\t\t\n");
  printWide(kRule);
}

const std::u16string kArchive = u"ZarvoEUupdate.zip";
const std::u16string kFileList = u"FlashDrive\\$FileList.txt";
const std::u16string kFolderList = u"FlashDrive\\$FolderList.txt";
const std::u16string kDigest = u"FlashDrive\\$md5.bin";
const std::u16string kScratch = u"FlashDrive\\$temp.txt";

// A step's result when the run was interrupted: the run cleans up and ends
// with the interruption's exit status.
constexpr int kStepInterrupted = -1;

// What this run has made so far, for the clean-up after an interruption.
struct RunProgress {
  bool ownsOutputs = false;      // the run lock is held and the stale outputs are gone
  bool rewritingList = false;    // the list rewrite, with its scratch file, has begun
  bool archiverStarted = false;  // an archive in the working folder is this run's
};

// The intermediate files, in the order they are removed.
void deleteIntermediates() {
  platform().deleteFileW(kFileList);
  platform().deleteFileW(kFolderList);
  platform().deleteFileW(kDigest);
}

// What an earlier run left: the archive, then the intermediate files. Each
// deletion is checked: a stale archive that stayed would be updated by the
// archiver instead of replaced, a stale digest would be listed and packed.
// False (with a message naming each one) when any of them remains.
bool deleteStaleOutputs() {
  bool cleared = true;
  for (const std::u16string* output : {&kArchive, &kFileList, &kFolderList, &kDigest}) {
    const EntryKind kind = platform().entryKindW(*output);
    if (kind == EntryKind::kNone) continue;
    if (kind == EntryKind::kFolder) {
      printWide(u"'%s' is a folder where the run writes a file; remove or rename it\n", {*output});
      cleared = false;
      continue;
    }
    if (kind == EntryKind::kFile) platform().setNormalAttributesW(*output);  // the read-only mark
    platform().deleteFileW(*output);
    if (platform().entryKindW(*output) != EntryKind::kNone) {
      printWide(u"The earlier '%s' could not be deleted; delete it and run again\n", {*output});
      cleared = false;
    }
  }
  return cleared;
}

// After an interruption: the archiver is already ended; whatever this run
// wrote goes. Returns the interruption's exit status.
int endInterruptedRun(const RunProgress& progress) {
  if (progress.ownsOutputs) {
    deleteIntermediates();
    if (progress.rewritingList) platform().deleteFileW(kScratch);
    if (progress.archiverStarted) platform().deleteFileW(kArchive);
  }
  printWide(u"\nThe run was interrupted; no archive was made\n");
  return platform().interruption();
}

// What the archiver came to: the one place where a finished archiver's
// archive is kept or removed. The intermediate files are gone afterwards
// either way, and a failed run leaves no archive. The archive stays only
// when it holds exactly what was listed and digested; the check works from
// what the digest recorded.
int finishArchive(const CommandResult& archiver, const ContentDigest& digest) {
  deleteIntermediates();
  if (archiver.started && archiver.exitCode == 0) {
    if (checkOwnArchive(digest)) return kExitPacked;
    if (platform().entryKindW(kArchive) == EntryKind::kNone) {
      printWide(u"The archiver reported success but made no archive\n");
      return kExitArchiveCheckFailed;
    }
    platform().deleteFileW(kArchive);
    if (platform().entryKindW(kArchive) == EntryKind::kNone) {
      printWide(u"The archive does not hold what was listed and digested; it was removed\n");
    } else {
      printWide(
          u"The archive does not hold what was listed and digested, and it could not be "
          u"removed: do not ship 'ZarvoEUupdate.zip'\n");
    }
    return kExitArchiveCheckFailed;
  }

  platform().deleteFileW(kArchive);
  const bool archiveLeft = platform().entryKindW(kArchive) != EntryKind::kNone;
  const std::u16string outcome =
      archiveLeft ? u"the archive it left, 'ZarvoEUupdate.zip', could not be removed"
                  : u"no archive was made";
  if (!archiver.started) {
    printWide(u"The archiver '7za' could not be started; %s\n", {outcome});
  } else {
    printWide(u"The archiver failed with exit code %d; %s\n", {archiver.exitCode, outcome});
  }
  return kExitArchiverFailed;
}

// Runs the archiver from inside the staging folder.
int packStagingFolder(const ContentDigest& digest, RunProgress* progress) {
  std::string startFolder;
  if (!platform().getWorkingFolder(&startFolder) || !platform().changeWorkingFolder("FlashDrive")) {
    printWide(u"The staging folder 'FlashDrive' could not be entered; no archive was made\n");
    deleteIntermediates();
    return kExitArchiverFailed;
  }
  progress->archiverStarted = true;
  const CommandResult archiver = platform().runCommand(platform().archiverCommandLine(startFolder));
  if (!platform().changeWorkingFolder(startFolder.c_str())) {
    // The relative paths below would miss; nothing more can be done safely.
    printWide(u"The working folder could not be entered again\n");
    return kExitArchiverFailed;
  }
  if (archiver.interrupted || platform().interrupted()) return kStepInterrupted;
  const int outcome = finishArchive(archiver, digest);
  // The check reads the whole archive; an interruption while it ran comes
  // before the outcome stands, so the archive goes with the run.
  if (platform().interrupted()) return kStepInterrupted;
  return outcome;
}

// Steps after the walk: load and rewrite the list, the digest, the archive.
// `digest` holds the folders the walk scanned.
int packLists(ContentDigest* digest, RunProgress* progress) {
  if (platform().interrupted()) return kStepInterrupted;
  if (fileList_Load() != 1) {
    fileList_Release();
    printWide(u"The file list could not be loaded; no archive was made\n");
    deleteIntermediates();
    return kExitListFailed;
  }
  if (platform().interrupted()) {
    fileList_Release();
    return kStepInterrupted;
  }
  progress->rewritingList = true;
  if (fileList_StripPrefix() != 1) {
    fileList_Release();
    printWide(u"The file list could not be rewritten; no archive was made\n");
    deleteIntermediates();
    return kExitListFailed;
  }
  if (platform().interrupted()) {
    fileList_Release();
    return kStepInterrupted;
  }
  const int digested = calculateMd5(digest);
  fileList_Release();
  if (platform().interrupted()) return kStepInterrupted;
  // After a failed digest the lists stay in the staging folder to be looked at.
  if (digested != 1) return kExitDigestFailed;
  return packStagingFolder(*digest, progress);
}

// Every step up to the archive; the banner and prompt follow.
int packRelease(RunProgress* progress) {
  switch (platform().lockWorkingFolder()) {
    case RunLock::kTaken:
      break;
    case RunLock::kBusy:
      printWide(
          u"Another run is packing in this working folder; this one stops and "
          u"changes nothing\n");
      return kExitWalkFailed;
    case RunLock::kFailed:
      printWide(u"The working folder could not be locked for this run; nothing was changed\n");
      return kExitWalkFailed;
  }
  if (platform().interrupted()) return kStepInterrupted;
  // No staging folder, or a user's own file by the scratch file's name,
  // stops the run before anything is deleted or written.
  if (!stagingFolderIsThere()) return kExitWalkFailed;
  if (fileList_ScratchNameIsFree() != 1) return kExitWalkFailed;
  if (!deleteStaleOutputs()) return kExitWalkFailed;
  progress->ownsOutputs = true;
  if (platform().interrupted()) return kStepInterrupted;

  ContentDigest digest;
  const int walked = makeList(&digest.folders);
  if (platform().interrupted()) return kStepInterrupted;
  return walked == 1 ? packLists(&digest, progress) : kExitWalkFailed;
}

}  // namespace

int packingRun() {
  // Before any file is opened, so that none becomes standard output.
  platform().openClosedStandardStreams();
  platform().watchInterruptions();
  printWide(kRule);
  printWide(u"Start to pack ZarvoEUupdate.zip...\n");

  RunProgress progress;
  const int exitCode = packRelease(&progress);
  if (exitCode == kStepInterrupted) return endInterruptedRun(progress);

  // From here on the outcome stands: an interruption during the banner or
  // the prompt keeps the archive (or the lists a failed digest left).
  printBanner();
  printWide(u"Press any key to continue...");
  platform().readChar();
  if (platform().interrupted()) {
    printWide(u"\n");
    return platform().interruption();
  }
  return exitCode;
}

}  // namespace quillet
