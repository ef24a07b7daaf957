#include "packing_run.h"

#include "console.h"
#include "content_digest.h"
#include "file_list.h"
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

// The intermediate files, in the order they are removed.
void deleteIntermediates(Platform& system) {
  system.deleteFileW(u"FlashDrive\\$FileList.txt");
  system.deleteFileW(u"FlashDrive\\$FolderList.txt");
  system.deleteFileW(u"FlashDrive\\$md5.bin");
}

// Runs the archiver from inside the staging folder and checks what it came
// to. The intermediate files are gone afterwards either way, and a failed
// run leaves no archive.
int packStagingFolder(Platform& system, ArchiveCheck checkArchive) {
  std::string startFolder;
  if (!system.getWorkingFolder(&startFolder) || !system.changeWorkingFolder("FlashDrive")) {
    printWide(u"The staging folder 'FlashDrive' could not be entered; no archive was made\n");
    deleteIntermediates(system);
    return kExitArchiverFailed;
  }
  const CommandResult archiver = system.runCommand(system.archiverCommandLine());
  if (!system.changeWorkingFolder(startFolder.c_str())) {
    // The relative paths below would miss; nothing more can be done safely.
    printWide(u"The working folder could not be entered again\n");
    return kExitArchiverFailed;
  }
  deleteIntermediates(system);
  if (!archiver.started) {
    system.deleteFileW(u"ZarvoEUupdate.zip");
    printWide(u"The archiver '7za' could not be started; no archive was made\n");
    return kExitArchiverFailed;
  }
  if (archiver.exitCode != 0) {
    system.deleteFileW(u"ZarvoEUupdate.zip");
    printWide(u"The archiver failed with exit code %d; no archive was made\n", {archiver.exitCode});
    return kExitArchiverFailed;
  }
  // The archive stays only when it holds exactly what was listed and
  // digested; the check works from what the digest recorded.
  if (!checkArchive()) {
    system.deleteFileW(u"ZarvoEUupdate.zip");
    printWide(u"The archive does not hold what was listed and digested; it was removed\n");
    return kExitArchiveCheckFailed;
  }
  return kExitPacked;
}

// Steps after the walk: load and rewrite the list, the digest, the archive.
int packLists(Platform& system, ArchiveCheck checkArchive) {
  if (fileList_Load() != 1) {
    fileList_Release();
    printWide(u"The file list could not be loaded; no archive was made\n");
    deleteIntermediates(system);
    return kExitListFailed;
  }
  if (fileList_StripPrefix() != 1) {
    fileList_Release();
    printWide(u"The file list could not be rewritten; no archive was made\n");
    deleteIntermediates(system);
    return kExitListFailed;
  }
  const int digest = calculateMd5();
  fileList_Release();
  // After a failed digest the lists stay in the staging folder to be looked at.
  if (digest != 1) return kExitDigestFailed;
  return packStagingFolder(system, checkArchive);
}

}  // namespace

int packingRun(ArchiveCheck checkArchive) {
  Platform& system = platform();
  printWide(kRule);
  printWide(u"Start to pack ZarvoEUupdate.zip...\n");

  // A user's own file by the scratch file's name stops the run before
  // anything is deleted or written.
  int exitCode = kExitWalkFailed;
  if (fileList_ScratchNameIsFree() == 1) {
    // What an earlier run left: the archive, then the intermediate files.
    system.deleteFileW(u"ZarvoEUupdate.zip");
    deleteIntermediates(system);
    exitCode = makeList() == 1 ? packLists(system, checkArchive) : kExitWalkFailed;
  }

  printBanner();
  printWide(u"Press any key to continue...");
  system.readChar();
  return exitCode;
}

}  // namespace quillet
