// Cached texts of errno values. A text, once handed out, lives until the
// process ends, so callers may keep the pointer.

#include <brellis/err.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

struct ErrCache {
  std::mutex lock;
  std::map<int, std::unique_ptr<const std::string>> texts;
};

ErrCache &Cache() {
  // Never destroyed: texts must outlive every caller, including atexit paths.
  static ErrCache *cache = new ErrCache;
  return *cache;
}

}  // namespace

extern "C" {

const char *Err_Errno2String(int errorNumber) {
  int savedErrno = errno;
  ErrCache &cache = Cache();
  const char *text;
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    auto &slot = cache.texts[errorNumber];
    if (!slot) {
      char buf[2048];
      const char *s = strerror_r(errorNumber, buf, sizeof buf);
      slot = std::make_unique<const std::string>(s);
    }
    text = slot->c_str();
  }
  errno = savedErrno;
  return text;
}

const char *Err_ErrString(void) { return Err_Errno2String(errno); }

}  // extern "C"
