#include "store.h"

#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/log.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tarnwell.h"

uint64_t FreeSpace::Available() {
  uint64_t now = now_();
  if (!read_ || now - readAt_ >= kRefreshMicros) {
    struct statvfs st;
    if (measure_) {
      available_ = measure_();
    } else if (statvfs(dir_.c_str(), &st) == 0) {
      available_ = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    } else {
      available_ = UINT64_MAX;  // unknown: no floor can be enforced on it
    }
    readAt_ = now;
    read_ = true;
  }
  return available_;
}

void FreeSpace::Consumed(uint64_t bytes) {
  if (read_ && available_ != UINT64_MAX) {
    available_ = available_ > bytes ? available_ - bytes : 0;
  }
}

namespace {

void Walk(const std::string &dir, int depth, StoreCensus *census) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return;
  }
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      continue;
    }
    if (S_ISDIR(st.st_mode) && depth < 4) {
      Walk(path, depth + 1, census);
    } else if (S_ISREG(st.st_mode) && depth == 4 && name.rfind("zdump_", 0) == 0) {
      census->files++;
      census->bytes += static_cast<uint64_t>(st.st_size);
    }
  }
  closedir(d);
}

}  // namespace

StoreCensus CountDumps(const std::string &baseDir) {
  StoreCensus census;
  Walk(baseDir, 0, &census);
  return census;
}

bool IsDumpName(const std::string &name, uint32_t ip) {
  char prefix[48];
  snprintf(prefix, sizeof prefix, "zdump_%u.%u.%u.%u-", IP_OCTETS(ip));
  if (name.rfind(prefix, 0) != 0) {
    return false;
  }
  // The date part, exactly as the collector writes it: YYYY-MM-DD-HH_MM-N.
  std::string rest = name.substr(strlen(prefix));
  static const char kShape[] = "dddd-dd-dd-dd_dd-";
  if (rest.size() < sizeof kShape || rest.size() > sizeof kShape + 2) {
    return false;
  }
  for (size_t i = 0; i < rest.size(); i++) {
    char want = i < sizeof kShape - 1 ? kShape[i] : 'd';
    bool ok = want == 'd' ? rest[i] >= '0' && rest[i] <= '9' : rest[i] == want;
    if (!ok) {
      return false;
    }
  }
  return true;
}

void PruneHostDumps(const std::string &dir, uint32_t ip, int32_t keep,
                    const std::function<bool(const std::string &)> &busy) {
  if (keep <= 0) {
    return;
  }
  struct Finished {
    std::string path;
    struct timespec mtime;
  };
  std::vector<Finished> finished;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    Log_Info("Retention: cannot list %s: %s\n", dir.c_str(), Err_Errno2String(errno));
    return;
  }
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (!IsDumpName(name, ip)) {
      continue;
    }
    std::string path = dir + pathsep + name;
    struct stat st;
    // A link or anything but a regular file is not a dump of ours.
    if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        busy(path)) {
      continue;
    }
    finished.push_back({path, st.st_mtim});
  }
  closedir(d);
  if (finished.size() <= static_cast<size_t>(keep)) {
    return;
  }
  // Newest first; names break ties so the order is the same every time.
  std::sort(finished.begin(), finished.end(), [](const Finished &a, const Finished &b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) {
      return a.mtime.tv_sec > b.mtime.tv_sec;
    }
    if (a.mtime.tv_nsec != b.mtime.tv_nsec) {
      return a.mtime.tv_nsec > b.mtime.tv_nsec;
    }
    return a.path > b.path;
  });
  for (size_t i = static_cast<size_t>(keep); i < finished.size(); i++) {
    if (File_UnlinkNoFollow(finished[i].path.c_str()) == 0) {
      Log_Info("Retention: removed %s, keeping the newest %d dumps of %u.%u.%u.%u.\n",
               finished[i].path.c_str(), keep, IP_OCTETS(ip));
    } else {
      Log_Info("Retention: failed to remove %s: %s\n", finished[i].path.c_str(),
               Err_Errno2String(errno));
    }
  }
}
