// Messages for users: the calling thread's pending messages, kept as a
// message list, and showing them (posts, questions, hints, progress)
// through the callback table.
//
// Each thread's record (its pending messages and its own callback slots)
// lives in a process-wide atomic hash table keyed by the thread's identity.
// Entries are never removed while the process runs, since removal would
// race with lookups in other threads; instead, a thread empties its own
// record as it ends, so that the next thread given the same identity starts
// with nothing. Only the owning thread ever touches a record.

#include <brellis/hashTable.h>
#include <brellis/internal/lockHeld.h>
#include <brellis/internal/msgListOrder.h>
#include <brellis/internal/productInfo.h>
#include <brellis/internal/threadId.h>
#include <brellis/internal/writeAll.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/msgfmt.h>
#include <brellis/panic.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "msgInt.h"

extern "C" {

const char *const Msg_OKButtons[] = {"@&!*@*@(button.ok)OK", nullptr};
const char *const Msg_OKCancelButtons[] = {"@&!*@*@(button.ok)OK", "@&!*@*@(button.cancel)Cancel",
                                           nullptr};
const char *const Msg_Severities[MSG_NUM_SEVERITIES] = {
    "@&!*@*@(msg.msg.info)Information",
    "@&!*@*@(msg.msg.info)Information",
    "@&!*@*@(msg.msg.warning)Warning",
    "@&!*@*@(msg.msg.error)Error",
    "@&!*@*@(msg.msg.configEditor)Configuration editor",
    nullptr,
    nullptr,
    nullptr,
    "@&!*@*@(msg.msg.homePageInfo)Home page information",
};

}  // extern "C"

namespace {

constexpr char kMarker[] = "@&!*@*@(";
constexpr size_t kMarkerLen = sizeof kMarker - 1;
// Questions offer at most this many buttons.
constexpr int kMaxButtons = 9;

// The default text of a localisable string: what follows the id.
const char *DefaultText(const char *s) {
  if (s == nullptr) {
    return "";
  }
  if (strncmp(s, kMarker, kMarkerLen) == 0) {
    const char *close = strchr(s + kMarkerLen, ')');
    if (close != nullptr) {
      return close + 1;
    }
  }
  return s;
}

bool EndsWithNewline(const char *s) {
  size_t len = strlen(s);
  return len > 0 && s[len - 1] == '\n';
}

void LogOne(const MsgList *m) {
  Log_Info("[%s] %s%s", m->id, m->text, EndsWithNewline(m->text) ? "" : "\n");
}

using brellis::WriteAll;
using OwnedList = std::unique_ptr<MsgList, decltype(&MsgList_Free)>;

// One thread's pending messages, oldest first, its own callback slots and
// the buffers its rendered messages are handed out in.
struct ThreadRecord {
  MsgList *head = nullptr;
  MsgList *tail = nullptr;
  MsgCallback callbacks{};
  std::string rendered[2];

  // Takes a one-message list.
  void Add(MsgList *m) {
    LogOne(m);
    if (tail == nullptr) {
      head = m;
    } else {
      tail->next = m;
    }
    tail = m;
  }
  MsgList *Detach() {
    MsgList *list = head;
    head = tail = nullptr;
    return list;
  }
  void Clear() { MsgList_Free(Detach()); }
  void Empty() {
    Clear();
    callbacks = MsgCallback{};
    for (std::string &r : rendered) {
      std::string().swap(r);
    }
  }
};

HashTable *threadTable = nullptr;

void FreeThreadRecord(void *value) {
  auto *record = static_cast<ThreadRecord *>(value);
  record->Clear();
  delete record;
}

const void *ThreadKey() {
  return reinterpret_cast<const void *>(static_cast<uintptr_t>(VThreadBaseCurID()));
}

// Runs as the thread ends, before its identity is given up (the thread
// layer lets go of it only after the thread's C++ objects are destroyed).
struct ThreadEndGuard {
  ~ThreadEndGuard() {
    HashTable *table = std::atomic_ref<HashTable *>(threadTable).load();
    void *value;
    if (table != nullptr && HashTable_Lookup(table, ThreadKey(), &value)) {
      static_cast<ThreadRecord *>(value)->Empty();
    }
  }
};

ThreadRecord &Current() {
  // Every thread that uses its record empties it at its end, also one that
  // found a record left by an earlier holder of its identity.
  thread_local ThreadEndGuard guard;
  (void)guard;
  HashTable *table =
      HashTable_AllocOnce(&threadTable, 128, HASH_INT_KEY | HASH_FLAG_ATOMIC, FreeThreadRecord);
  const void *key = ThreadKey();
  void *value;
  if (HashTable_Lookup(table, key, &value)) {
    return *static_cast<ThreadRecord *>(value);
  }
  auto *record = new ThreadRecord();
  // Only the thread itself inserts under its identity: losing the race
  // means two live threads share one.
  if (!HashTable_Insert(table, key, record)) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  return *record;
}

// The process-wide table with the thread's own slots laid over it.
MsgCallback Effective() {
  MsgCallback table = MsgProcessCallbacks();
  const MsgCallback &own = Current().callbacks;
  auto *slots = reinterpret_cast<void (**)()>(&table);
  auto *overrides = reinterpret_cast<void (*const *)()>(&own);
  for (size_t i = 0; i < sizeof table / sizeof(void (*)()); i++) {
    if (overrides[i] != nullptr) {
      slots[i] = overrides[i];
    }
  }
  return table;
}

void LogList(const char *name, const char *title, const MsgList *oldestFirst) {
  Log_Info("%s:%s%s\n", name, *title != '\0' ? " " : "", title);
  for (const MsgList *m = oldestFirst; m != nullptr; m = m->next) {
    LogOne(m);
  }
  Log_Info("----------------------------------------\n");
}

std::string StripMnemonic(const char *s) {
  std::string out;
  for (; *s != '\0'; s++) {
    if (*s == '_') {
      if (s[1] != '_') {
        continue;
      }
      s++;
    }
    out += *s;
  }
  return out;
}

enum class Answered { kNo, kByConfiguration, kAutomatically };

// Whether the configuration answers the message with the given buttons, and
// with which button.
Answered IsAnswered(const char *const *buttons, int defaultAnswer, const char *id, int *answer) {
  std::unique_ptr<char, decltype(&free)> configured(Config_GetString(nullptr, "answer.%s", id),
                                                    free);
  if (configured != nullptr) {
    std::string wanted = StripMnemonic(configured.get());
    for (int i = 0; buttons[i] != nullptr; i++) {
      if (strcasecmp(wanted.c_str(), StripMnemonic(DefaultText(buttons[i])).c_str()) == 0) {
        Log_Info("%s: Using config default '%s' as the answer for '%s'\n", "MsgIsAnswered",
                 configured.get(), id);
        *answer = i;
        return Answered::kByConfiguration;
      }
    }
  }
  if (Config_GetBool(false, "msg.autoAnswer")) {
    Log_Info("%s: Using builtin default '%s' as the answer for '%s'\n", "MsgIsAnswered",
             MsgLookUp(buttons[defaultAnswer]).c_str(), id);
    *answer = defaultAnswer;
    return Answered::kAutomatically;
  }
  return Answered::kNo;
}

// ---- The console callbacks ---------------------------------------------

// Written unbuffered and, once the titles exist, without allocating: a
// post may be the last thing a panicking process says.
void ConsolePost(MsgSeverity severity, const char *, const char *text) {
  char title[256];
  MsgSeverityTitle(severity, title, sizeof title);
  for (const char *piece :
       {"\n", ProductInfoName(), " ", static_cast<const char *>(title), ":\n", text, "\n"}) {
    WriteAll(STDERR_FILENO, piece, strlen(piece));
  }
}

// One line of standard input, at most 1024 bytes; false at its end or on
// a read error, so that a process without a console never waits for ever.
bool ReadLine(std::string *line) {
  line->clear();
  char c;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return !line->empty();
    }
    if (c == '\n') {
      return true;
    }
    if (line->size() < 1024) {
      *line += c;
    }
  }
}

// A decimal number below count, optionally surrounded by blanks; -1 else.
int ParseChoice(const std::string &line, int count) {
  size_t b = line.find_first_not_of(" \t\r");
  size_t e = line.find_last_not_of(" \t\r");
  if (b == std::string::npos) {
    return -1;
  }
  std::string digits = line.substr(b, e - b + 1);
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  int v = std::stoi(digits);
  return v < count ? v : -1;
}

void WriteText(int fd, const std::string &text) {
  WriteAll(fd, text.data(), text.size());
}

int CountButtons(const char *const *names) {
  int n = 0;
  while (names[n] != nullptr && n < kMaxButtons) {
    n++;
  }
  return n;
}

// Offers the buttons on the console until a valid choice is read; at the
// end of input the default.
int ConsoleChoose(const char *heading, const char *text, const char *const *names,
                  int defaultAnswer) {
  int count = CountButtons(names);
  std::string out =
      std::string("\n\n") + ProductInfoName() + " " + MsgLookUp(heading) + ":\n" + text + "\n";
  for (int i = 0; i < count; i++) {
    out += std::to_string(i) + ") " + DefaultText(names[i]) + "\n";
  }
  out += "\n";
  WriteText(STDOUT_FILENO, out);
  std::unique_ptr<char, decltype(&free)> prompt(
      Msg_Format("@&!*@*@(msg.msg.chooseNumber)Select a number from 0-%d: ", count - 1), free);
  std::string line;
  for (;;) {
    WriteText(STDOUT_FILENO, prompt.get());
    if (!ReadLine(&line)) {
      return defaultAnswer;
    }
    int choice = ParseChoice(line, count);
    if (choice >= 0) {
      return choice;
    }
  }
}

int ConsoleQuestion(char const *const *names, int defaultAnswer, const char *, const char *text) {
  return ConsoleChoose("@&!*@*@(msg.msg.question)Question", text, names, defaultAnswer);
}

int ConsoleHint(int buttonKind, const char *, const char *text) {
  const char *const *buttons = buttonKind == 1 ? Msg_OKCancelButtons : Msg_OKButtons;
  std::string translated[2];
  const char *names[3] = {};
  for (int i = 0; buttons[i] != nullptr; i++) {
    translated[i] = MsgLookUp(buttons[i]);
    names[i] = translated[i].c_str();
  }
  return ConsoleChoose("@&!*@*@(msg.msg.hint)Hint", text, names, 0);
}

// One line on standard error per call: the text (its line ends made
// blanks) and the percentage when it is known.
int ConsoleProgress(const char *, const char *text, int percent, bool) {
  std::string line = ProductInfoName();
  std::string shown = text;
  while (!shown.empty() && shown.back() == '\n') {
    shown.pop_back();
  }
  for (char &c : shown) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  if (!shown.empty()) {
    line += ": " + shown;
  }
  if (percent >= 0) {
    line += " " + std::to_string(percent) + "%";
  }
  line += "\n";
  WriteText(STDERR_FILENO, line);
  return 0;
}

// ---- Building messages ---------------------------------------------------

// The thread's pending messages with a new one made from format appended,
// handed over to the caller; *added points at the new one among them.
OwnedList TakePendingWith(MsgList **added, const char *format, va_list args) {
  MsgList *m = nullptr;
  MsgList_VAppend(&m, format, args);
  ThreadRecord &r = Current();
  r.Add(m);
  *added = m;
  return OwnedList(r.Detach(), MsgList_Free);
}

// A one-message list for the progress callbacks, null for a null format.
// Arguments that do not parse are the caller's bug, reported under the
// operation's own name.
OwnedList ProgressMessage(const char *operation, const char *format, va_list args) {
  if (format == nullptr) {
    return OwnedList(nullptr, MsgList_Free);
  }
  const char *close;
  if (strncmp(format, kMarker, kMarkerLen) == 0 &&
      (close = strchr(format + kMarkerLen, ')')) != nullptr) {
    char *error = nullptr;
    va_list scan;
    va_copy(scan, args);
    bool ok = MsgFmt_GetArgs(close + 1, scan, nullptr, nullptr, &error, nullptr, nullptr);
    va_end(scan);
    if (!ok) {
      Log_Info("%s error: %s\nformat <%s>\n", operation, error, format);
      Panic("PANIC %s:%d\n", __FILE__, __LINE__);
    }
  }
  MsgList *m = nullptr;
  MsgList_VAppend(&m, format, args);
  return OwnedList(m, MsgList_Free);
}

const char *IdOf(const MsgList *m) {
  return m != nullptr ? m->id : "";
}

}  // namespace

const MsgCallback msgConsoleCallbacks = {ConsolePost, ConsoleQuestion, ConsoleProgress,
                                         ConsoleHint};

void MsgCallPanicCallback() {
  MsgCallback table = Effective();
  if (table.forceUnblock != nullptr) {
    table.forceUnblock();
  }
}

extern "C" {

void Msg_Append(const char *format, ...) {
  MsgList *m = nullptr;
  va_list args;
  va_start(args, format);
  MsgList_VAppend(&m, format, args);
  va_end(args);
  Current().Add(m);
}

void Msg_AppendStr(const char *string) {
  MsgList *m = nullptr;
  MsgList_AppendStr(&m, string);
  Current().Add(m);
}

void Msg_AppendMsgList(const MsgList *list) {
  MsgList *copy = MsgListReverse(MsgList_Copy(list));
  ThreadRecord &r = Current();
  while (copy != nullptr) {
    MsgList *next = copy->next;
    copy->next = nullptr;
    r.Add(copy);
    copy = next;
  }
}

bool Msg_Present(void) {
  return Current().head != nullptr;
}

void Msg_Reset(bool log) {
  ThreadRecord &r = Current();
  if (log && r.head != nullptr) {
    LogList("Msg_Reset", "", r.head);
  }
  r.Clear();
}

void Msg_LogAndReset(void) {
  OwnedList list(Current().Detach(), MsgList_Free);
  MsgList_Log(list.get());
}

const char *Msg_GetMessages(void) {
  ThreadRecord &r = Current();
  r.rendered[0] = MsgRenderList(r.head);
  return r.rendered[0].c_str();
}

const char *Msg_GetMessagesAndReset(void) {
  ThreadRecord &r = Current();
  r.rendered[1] = MsgRenderList(r.head);
  r.Clear();
  return r.rendered[1].c_str();
}

void Msg_SetThreadCallbacks(const MsgCallback *callbacks) {
  Current().callbacks = *callbacks;
}

void Msg_GetThreadCallbacks(MsgCallback *callbacks) {
  *callbacks = Current().callbacks;
}

void Msg_Post(MsgSeverity severity, const char *format, ...) {
  MsgList *m;
  va_list args;
  va_start(args, format);
  OwnedList list = TakePendingWith(&m, format, args);
  va_end(args);
  char title[256];
  MsgSeverityTitle(severity, title, sizeof title);
  LogList("Msg_Post", title, list.get());
  int answer;
  if (IsAnswered(Msg_OKButtons, 0, m->id, &answer) != Answered::kNo) {
    return;
  }
  if (severity != MSG_ERROR && Config_GetBool(false, "msg.noOK")) {
    if (!Config_GetBool(false, "msg.noOKnoWarning")) {
      Log_Warning("MSG: %s\n", MsgRenderList(list.get()).c_str());
    }
    return;
  }
  MsgCallback table = Effective();
  if (table.postList != nullptr) {
    table.postList(severity, list.get());
  }
  if (table.post != nullptr) {
    table.post(severity, m->id, MsgRenderList(list.get()).c_str());
  }
}

int Msg_Question(const char *const *names, int defaultAnswer, const char *format, ...) {
  MsgList *m;
  va_list args;
  va_start(args, format);
  OwnedList list = TakePendingWith(&m, format, args);
  va_end(args);
  LogList("Msg_Question", "", list.get());
  int reply;
  if (IsAnswered(names, defaultAnswer, m->id, &reply) == Answered::kNo) {
    MsgCallback table = Effective();
    int count = 0;
    auto ask = [&](auto &&call) {
      count = CountButtons(names);
      reply = call();
      if (reply < 0 || reply >= count) {
        Log_Info("%s: Invalid reply: %u (max = %u). Reposting question.\n", "MsgQuestion",
                 static_cast<unsigned>(reply), static_cast<unsigned>(count - 1));
        reply = call();
      }
    };
    if (table.question != nullptr) {
      std::vector<std::string> translated;
      const char *offered[kMaxButtons + 1] = {};
      {
        brellis::LockHeld held(MsgLock());
        translated.reserve(kMaxButtons);
        for (int i = 0; i < CountButtons(names); i++) {
          translated.push_back(MsgLookUp(names[i]));
          offered[i] = translated.back().c_str();
        }
      }
      std::string text = MsgRenderList(list.get());
      ask([&] { return table.question(offered, defaultAnswer, m->id, text.c_str()); });
    }
    if (table.questionList != nullptr) {
      ask([&] { return table.questionList(names, defaultAnswer, list.get()); });
    }
    if (reply < 0 || reply >= count) {
      Log_Info("%s: Invalid reply: %u (max = %u).  Using default value.\n", "MsgQuestion",
               static_cast<unsigned>(reply), static_cast<unsigned>(count > 0 ? count - 1 : 0));
      reply = defaultAnswer;
    }
  }
  Log_Info("%s: %s reply=%d\n", "MsgQuestion", m->id, reply);
  return reply;
}

int Msg_Hint(int buttonKind, const char *format, ...) {
  MsgList *m = nullptr;
  va_list args;
  va_start(args, format);
  MsgList_VAppend(&m, format, args);
  va_end(args);
  OwnedList list(m, MsgList_Free);
  std::string text = MsgRenderList(m);
  Log_Info("%s: %s\n%s---------------------------------------\n", "MsgHint", m->id, text.c_str());
  const char *const *buttons = buttonKind == 1 ? Msg_OKCancelButtons : Msg_OKButtons;
  int answer;
  switch (IsAnswered(buttons, 0, m->id, &answer)) {
    case Answered::kByConfiguration:
      return answer;
    case Answered::kAutomatically:
      return 2;
    case Answered::kNo:
      break;
  }
  if (Config_GetBool(false, "msg.noOK")) {
    Log_Info("%s: Not showing hint %s (%s).\n", "MsgHint", m->id, "msg.noOK");
    return 2;
  }
  MsgCallback table = Effective();
  int result = table.hint != nullptr ? table.hint(buttonKind, m->id, text.c_str()) : 2;
  if (table.hintList != nullptr) {
    result = table.hintList(buttonKind, m);
  }
  return result;
}

int Msg_Progress(int percent, bool cancelButton, const char *format, ...) {
  va_list args;
  va_start(args, format);
  OwnedList m = ProgressMessage("Msg_Progress", format, args);
  va_end(args);
  MsgCallback table = Effective();
  int result = 0;
  if (table.progress != nullptr) {
    result = table.progress(IdOf(m.get()), MsgRenderList(m.get()).c_str(), percent, cancelButton);
  }
  if (table.progressList != nullptr) {
    result = table.progressList(m.get(), percent, cancelButton);
  }
  return result;
}

void *Msg_LazyProgressStart(bool allowCancel, const char *format, ...) {
  va_list args;
  va_start(args, format);
  OwnedList m = ProgressMessage("Msg_LazyProgressStart", format, args);
  va_end(args);
  MsgCallback table = Effective();
  void *handle = nullptr;
  if (table.lazyProgressStart != nullptr) {
    handle = table.lazyProgressStart(IdOf(m.get()), MsgRenderList(m.get()).c_str(), allowCancel);
  }
  if (table.lazyProgressStartList != nullptr) {
    handle = table.lazyProgressStartList(m.get());
  }
  return handle;
}

bool Msg_LazyProgress(void *handle, bool allowCancel, int percent, const char *format, ...) {
  va_list args;
  va_start(args, format);
  OwnedList m = ProgressMessage("Msg_LazyProgress", format, args);
  va_end(args);
  MsgCallback table = Effective();
  if (table.lazyProgress == nullptr) {
    return true;
  }
  return table.lazyProgress(handle, IdOf(m.get()), MsgRenderList(m.get()).c_str(), allowCancel,
                            percent);
}

void Msg_Exit(void) {
  // Every thread's record goes with the table; a thread that goes on
  // makes a new one on its next use.
  HashTable_Free(std::atomic_ref<HashTable *>(threadTable).exchange(nullptr));
  MsgExitState();
}

char *Msg_StripMnemonic(const char *string) {
  return Util_SafeStrdup(-1, StripMnemonic(string).c_str(), __FILE__, __LINE__);
}

char *Msg_FormatSizeInBytes(uint64_t size) {
  struct Unit {
    int shift;
    const char *format;
  };
  static constexpr Unit kUnits[] = {
      {40, "@&!*@*@(msg.msg.terabyte.abbreviation)%s TB"},
      {30, "@&!*@*@(msg.msg.gigabyte.abbreviation)%s GB"},
      {20, "@&!*@*@(msg.msg.megabyte.abbreviation)%s MB"},
      {10, "@&!*@*@(msg.msg.kilobyte.abbreviation)%s KB"},
  };
  const char *format = size >= 2   ? "@&!*@*@(msg.msg.byte.twoOrMore)%s bytes"
                       : size == 1 ? "@&!*@*@(msg.msg.byte.one)%s byte"
                                   : "@&!*@*@(msg.msg.byte.zero)%s bytes";
  double value = static_cast<double>(size);
  unsigned decimals = 0;
  for (const Unit &u : kUnits) {
    if (size >= uint64_t{1} << u.shift) {
      format = u.format;
      value /= static_cast<double>(uint64_t{1} << u.shift);
      double rounded = static_cast<double>(static_cast<uint64_t>(value + 0.5));
      decimals = (value > rounded ? value - rounded : rounded - value) < 0.01 ? 0 : 1;
      if (decimals == 0) {
        value = rounded;
      }
      break;
    }
  }
  char numberFormat[16];
  Str_Sprintf(numberFormat, sizeof numberFormat, "%%'.%uf", decimals);
  char *number = Str_SafeAsprintf(nullptr, numberFormat, value);
  char *out = Msg_Format(format, number);
  free(number);
  return out;
}

}  // extern "C"
