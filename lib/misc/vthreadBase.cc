// Per-thread identity.
//
// Each thread's record lives in thread-specific storage under one key, so
// that the key's destructor releases the record and frees its identity when
// the thread ends. The identity table maps each identity ever handed out to
// the thread holding it; an empty value marks an identity free for reuse,
// claimed again with compare-and-replace so that identities stay dense.

#include <brellis/hashTable.h>
#include <brellis/internal/threadId.h>
#include <brellis/log.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/userlock.h>
#include <brellis/util.h>
#include <brellis/vthreadBase.h>

#include <pthread.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

// Where the platform's thread library is absent at run time these resolve to
// null and a single-thread substitute stands in.
#pragma weak pthread_key_create
#pragma weak pthread_key_delete
#pragma weak pthread_getspecific
#pragma weak pthread_setspecific

// The record as last stored in thread-specific storage: every store goes
// through SetRecord, so this mirror answers the hot lookups without a call.
__thread VThreadBaseData *vthreadBaseCurRecord;

namespace {

constexpr pthread_key_t keyUnset = 1024;
constexpr pthread_key_t substituteKey = 74565;
constexpr uint32_t lastIdentity = 0xFFFFFFF4;

// Thread-specific storage, through the thread library or the substitute.
struct TlsOps {
  int (*create)(pthread_key_t *, void (*)(void *));
  int (*remove)(pthread_key_t);
  void *(*get)(pthread_key_t);
  int (*set)(pthread_key_t, const void *);
};

void *substituteSlot;

int SubstituteCreate(pthread_key_t *key, void (*)(void *)) {
  *key = substituteKey;
  return 0;
}
void *SubstituteGet(pthread_key_t) {
  return substituteSlot;
}
int SubstituteSet(pthread_key_t, const void *value) {
  substituteSlot = const_cast<void *>(value);
  return 0;
}

const TlsOps &Tls() {
  static const TlsOps ops =
      pthread_key_create != nullptr
          ? TlsOps{pthread_key_create, pthread_key_delete, pthread_getspecific, pthread_setspecific}
          : TlsOps{SubstituteCreate, nullptr, SubstituteGet, SubstituteSet};
  return ops;
}

void KeyDestructor(void *data);
void DefaultAllocator();
void DefaultThreadExit(VThreadBaseData *record);

std::atomic<pthread_key_t> vthreadKey{keyUnset};
HashTable *identityTable;
std::atomic<uint32_t> nextIdentity{0};
std::atomic<int32_t> liveThreads{0};
std::atomic<bool> multipleThreadsLogged{false};
void (*identityAllocator)() = DefaultAllocator;
void (*threadExitFn)(VThreadBaseData *) = DefaultThreadExit;

// A lookup of this thread's name is allocating its record (and may log).
thread_local int nameRecursion;
// "host-%lu" needs at most 26 bytes.
thread_local char fallbackName[48];

pthread_key_t Key() {
  pthread_key_t key = vthreadKey.load();
  if (key != keyUnset) {
    return key;
  }
  const TlsOps &ops = Tls();
  pthread_key_t fresh;
  if (ops.create(&fresh, KeyDestructor) != 0) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  // 0 would read as "no key" to code that zero-initialises; take another.
  if (fresh == 0 && ops.create(&fresh, KeyDestructor) != 0) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  if (vthreadKey.compare_exchange_strong(key, fresh)) {
    return fresh;
  }
  if (ops.remove == nullptr) {
    Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
  }
  ops.remove(fresh);
  return key;
}

VThreadBaseData *GetRecord() {
  return vthreadBaseCurRecord;
}

int SetRecord(VThreadBaseData *record) {
  int rc = Tls().set(Key(), record);
  if (rc == 0) {
    vthreadBaseCurRecord = record;
  }
  return rc;
}

HashTable *IdentityTable() {
  return HashTable_AllocOnce(&identityTable, 128, HASH_INT_KEY | HASH_FLAG_ATOMIC, nullptr);
}

void *IdentityKey(uint32_t id) {
  return reinterpret_cast<void *>(static_cast<uintptr_t>(id));
}

// A signal handler must never see a half-installed record.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGBUS);
    sigdelset(&all, SIGSEGV);
    sigdelset(&all, SIGILL);
    sigdelset(&all, SIGABRT);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~AsyncSignalsBlocked() { Restore(); }
  void Restore() {
    if (!restored_) {
      restored_ = true;
      pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
  }
  AsyncSignalsBlocked(const AsyncSignalsBlocked &) = delete;
  AsyncSignalsBlocked &operator=(const AsyncSignalsBlocked &) = delete;

 private:
  sigset_t saved_;
  bool restored_ = false;
};

VThreadBaseData *SafeRecord() {
  VThreadBaseData *record = GetRecord();
  if (record == nullptr) {
    Atomic_Init();
    {
      AsyncSignalsBlocked blocked;
      if (GetRecord() == nullptr) {
        identityAllocator();
      }
    }
    record = GetRecord();
  }
  return record;
}

void DefaultAllocator() {
  HashTable *table = IdentityTable();
  void *self = reinterpret_cast<void *>(pthread_self());
  uint32_t id = VTHREADBASE_INVALID_ID;
  uint32_t limit = nextIdentity.load();
  for (uint32_t i = 0; i < limit; i++) {
    if (HashTable_ReplaceIfEqual(table, IdentityKey(i), nullptr, self)) {
      id = i;
      break;
    }
  }
  if (id == VTHREADBASE_INVALID_ID) {
    id = nextIdentity.fetch_add(1);
    if (id > lastIdentity) {
      Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
    }
    if (!HashTable_Insert(table, IdentityKey(id), self)) {
      Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
    }
  }
  auto *record = static_cast<VThreadBaseData *>(
      Util_SafeCalloc(-1, 1, sizeof(VThreadBaseData), __FILE__, __LINE__));
  record->id = id;
  Str_Snprintf(record->name, sizeof record->name, "vthread-%u", id);
  if (!VThreadBase_InitWithTLS(record)) {
    free(record);
  }
  if (liveThreads.load() > 1 && !multipleThreadsLogged.exchange(true)) {
    Log_Info("VThreadBase detected multiple threads.\n");
  }
}

void DefaultThreadExit(VThreadBaseData *record) {
  HashTable_ReplaceOrInsert(IdentityTable(), IdentityKey(record->id), nullptr);
  free(record);
}

void KeyDestructor(void *data) {
  auto *record = static_cast<VThreadBaseData *>(data);
  if (threadExitFn != nullptr) {
    // Whatever the exit function logs still carries this thread's name.
    VThreadBaseData copy = *record;
    if (SetRecord(&copy) != 0) {
      Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
    }
    threadExitFn(record);
    if (SetRecord(nullptr) != 0) {
      Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
    }
  }
  liveThreads.fetch_sub(1);
}

}  // namespace

extern "C" {

uint32_t VThreadBase_CurID(void) {
  VThreadBaseData *record = GetRecord();
  return record != nullptr ? record->id : SafeRecord()->id;
}

const char *VThreadBase_CurName(void) {
  VThreadBaseData *record = GetRecord();
  if (record != nullptr) {
    return record->name;
  }
  if (nameRecursion > 0) {
    Str_Snprintf(fallbackName, sizeof fallbackName, "host-%lu",
                 static_cast<unsigned long>(pthread_self()));
    return fallbackName;
  }
  nameRecursion++;
  record = SafeRecord();
  nameRecursion--;
  return record->name;
}

void VThreadBase_SetName(const char *name) {
  VThreadBaseData *record = SafeRecord();
  size_t len = strnlen(name, sizeof record->name - 1);
  memcpy(record->name, name, len);
  record->name[len] = '\0';
}

void VThreadBase_SetIsInSignal(uint32_t threadId, bool isInSignal) {
  (void)threadId;
  VThreadBaseData *record = GetRecord();
  if (record == nullptr) {
    return;
  }
  if (isInSignal) {
    __atomic_add_fetch(&record->signalNestCount, 1, __ATOMIC_SEQ_CST);
    return;
  }
  int32_t count = __atomic_load_n(&record->signalNestCount, __ATOMIC_SEQ_CST);
  while (count > 0 && !__atomic_compare_exchange_n(&record->signalNestCount, &count, count - 1,
                                                   false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
  }
}

bool VThreadBase_IsInSignal(void) {
  VThreadBaseData *record = GetRecord();
  return record != nullptr && __atomic_load_n(&record->signalNestCount, __ATOMIC_SEQ_CST) > 0;
}

bool VThreadBase_InitWithTLS(VThreadBaseData *record) {
  VThreadBaseData *old;
  {
    AsyncSignalsBlocked blocked;
    old = GetRecord();
    if (old == nullptr) {
      if (SetRecord(record) != 0) {
        blocked.Restore();
        Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
      }
      liveThreads.fetch_add(1);
      return true;
    }
  }
  Log_Info("VThreadBase reinitialization, old: %d %s, new: %d %s.\n", static_cast<int>(old->id),
           old->name, static_cast<int>(record->id), record->name);
  return false;
}

void VThreadBase_ForgetSelf(void) {
  VThreadBaseData *record = GetRecord();
  if (record == nullptr) {
    return;
  }
  if (SetRecord(nullptr) != 0) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  KeyDestructor(record);
}

}  // extern "C"
