// Per-thread identity.
//
// Identities are handed out from a counter and names kept in thread-local
// storage; reuse of the identities of ended threads comes with the
// identity table.

#include <brellis/str.h>
#include <brellis/vthreadBase.h>

#include <atomic>
#include <cstring>

namespace {

struct ThreadRecord {
  uint32_t id = 0;
  char name[VTHREADBASE_MAX_NAME] = {};
  bool valid = false;
};

std::atomic<uint32_t> nextId{0};
thread_local ThreadRecord self;

ThreadRecord &Self() {
  if (!self.valid) {
    self.id = nextId.fetch_add(1);
    Str_Snprintf(self.name, sizeof self.name, "vthread-%u", self.id);
    self.valid = true;
  }
  return self;
}

}  // namespace

extern "C" {

uint32_t VThreadBase_CurID(void) { return Self().id; }

const char *VThreadBase_CurName(void) { return Self().name; }

void VThreadBase_SetName(const char *name) {
  ThreadRecord &rec = Self();
  size_t len = strnlen(name, sizeof rec.name - 1);
  memcpy(rec.name, name, len);
  rec.name[len] = '\0';
}

}  // extern "C"
