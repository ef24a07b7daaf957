// The walk's look-ahead on POSIX: threads that look a searched folder's
// entries up ahead of the walk, so that a cold disk is asked for several
// inodes at once. Part of the POSIX platform layer (platform_posix.cpp);
// what lives here changes only what is in the cache, never what the search
// reports or in which order.
#include "platform_posix_lookahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet::posix {

// Helper threads block every signal: a process-wide signal then reaches the
// main thread, whose waits (sigsuspend for the archiver, a blocked write)
// it must end; one taken by a helper would leave the main thread waiting.
void blockSignals() {
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

namespace {

// On a cold disk the walk's file test waits for each entry's inode in turn.
// When a folder is searched, a few threads look its entries up (fstatat) in
// the order the search reports them, so the disk is asked for several inodes
// at once and the walk's own calls find them in the cache. Only the cache is
// warmed: what the search reports, and in which order, does not change. The
// newest folder goes first: the walk is depth-first.
class EntryLookAhead {
 public:
  ~EntryLookAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Looks up the entries of the folder `dir` was opened on, unless that
  // folder was the last one handed in (the walk searches each folder twice).
  void folder(DIR* dir) {
    struct stat info;
    if (::fstat(::dirfd(dir), &info) != 0) return;
    if (info.st_dev == lastDevice_ && info.st_ino == lastInode_) return;
    lastDevice_ = info.st_dev;
    lastInode_ = info.st_ino;
    // Its own open of the folder: the search's stream keeps its position.
    const int fd = ::openat(::dirfd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* names = ::fdopendir(fd);
    if (names == nullptr) {
      ::close(fd);
      return;
    }
    auto job = std::make_shared<Job>(::dup(fd));
    while (const dirent* entry = ::readdir(names)) job->names.emplace_back(entry->d_name);
    ::closedir(names);
    if (job->fd < 0 || job->names.size() < kFewestEntries) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (workers_.empty()) startWorkers();
    jobs_.push_back(std::move(job));
    work_.notify_all();
  }

 private:
  static constexpr std::size_t kFewestEntries = 16;  // fewer are looked up by the walk alone
  static constexpr int kWorkers = 6;

  struct Job {
    explicit Job(int folder) : fd(folder) {}
    ~Job() {
      if (fd >= 0) ::close(fd);
    }
    int fd;
    std::vector<std::string> names;
    std::size_t next = 0;  // guarded by the look-ahead's mutex
  };

  // With the lock held. Without threads the walk only goes slower.
  void startWorkers() {
    for (int i = 0; i < kWorkers; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  void work() {
    blockSignals();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      const std::shared_ptr<Job> job = jobs_.back();
      const std::size_t index = job->next++;
      if (job->next >= job->names.size()) jobs_.pop_back();
      lock.unlock();
      struct stat info;
      ::fstatat(job->fd, job->names[index].c_str(), &info, 0);
      lock.lock();
    }
  }

  dev_t lastDevice_ = 0;
  ino_t lastInode_ = 0;
  std::mutex mutex_;
  std::condition_variable work_;
  std::vector<std::shared_ptr<Job>> jobs_;  // the newest last
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

}  // namespace

void lookAheadOf(DIR* dir) {
  static EntryLookAhead instance;
  instance.folder(dir);
}

}  // namespace quillet::posix
