// Messages for users: the calling thread's pending messages, kept as a
// message list, and posting them through the callback table.

#include <brellis/internal/lockHeld.h>
#include <brellis/internal/msgListOrder.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/userlock.h>

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

constexpr char kProductName[] = "brellis";

// The default text of a localisable string: what follows the id.
const char *DefaultText(const char *s) {
  if (s == nullptr) {
    return "";
  }
  if (strncmp(s, "@&!*@*@(", 8) == 0) {
    const char *close = strchr(s + 8, ')');
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

void AppendText(std::string &out, const MsgList *m) {
  out += m->text;
  if (!EndsWithNewline(m->text)) {
    out += '\n';
  }
}

void WriteAll(int fd, const char *text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

// Written unbuffered and without allocating: a post may be the last thing a
// panicking process says.
void ConsolePost(MsgSeverity severity, const char *, const char *text) {
  const char *title =
      severity >= 0 && severity < MSG_NUM_SEVERITIES ? DefaultText(Msg_Severities[severity]) : "";
  for (const char *piece : {"\n", kProductName, " ", title, ":\n", text, "\n"}) {
    WriteAll(STDERR_FILENO, piece, strlen(piece));
  }
}

// Pending messages of one thread, oldest first; discarded when the thread
// ends, so that a thread that reuses its number starts with none.
struct Pending {
  MsgList *head = nullptr;
  MsgList *tail = nullptr;
  std::string rendered;
  MsgCallback callbacks{};

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
  ~Pending() { Clear(); }
};

Pending &ThreadPending() {
  thread_local Pending pending;
  return pending;
}

// The process-wide callbacks, guarded by the message lock. Plain data:
// nothing to destroy when the process ends.
MsgCallback processCallbacks = {ConsolePost};
MXUserRecLock *msgLock = nullptr;

MXUserRecLock *MsgLock() {
  return MXUser_CreateSingletonRecLock(&msgLock, "msgLock", 0xFEFFFFFF);
}

// The process-wide table with the thread's own slots laid over it.
MsgCallback Effective() {
  MsgCallback table;
  {
    brellis::LockHeld held(MsgLock());
    table = processCallbacks;
  }
  const MsgCallback &own = ThreadPending().callbacks;
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

std::string Render(const MsgList *oldestFirst) {
  std::string out;
  for (const MsgList *m = oldestFirst; m != nullptr; m = m->next) {
    AppendText(out, m);
  }
  return out;
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

// Whether the configuration answers an OK-only message, so that nobody
// needs to see it.
bool IsAnswered(const char *id) {
  std::unique_ptr<char, decltype(&free)> answer(Config_GetString(nullptr, "answer.%s", id), free);
  if (answer != nullptr) {
    std::string wanted = StripMnemonic(answer.get());
    if (strcasecmp(wanted.c_str(), StripMnemonic(DefaultText(Msg_OKButtons[0])).c_str()) == 0) {
      Log_Info("%s: Using config default '%s' as the answer for '%s'\n", "MsgIsAnswered",
               answer.get(), id);
      return true;
    }
  }
  if (Config_GetBool(false, "msg.autoAnswer")) {
    Log_Info("%s: Using builtin default '%s' as the answer for '%s'\n", "MsgIsAnswered",
             DefaultText(Msg_OKButtons[0]), id);
    return true;
  }
  return false;
}

}  // namespace

const char *MsgProductName() {
  return kProductName;
}

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
  ThreadPending().Add(m);
}

void Msg_AppendStr(const char *string) {
  MsgList *m = nullptr;
  MsgList_AppendStr(&m, string);
  ThreadPending().Add(m);
}

void Msg_AppendMsgList(const MsgList *list) {
  MsgList *copy = MsgListReverse(MsgList_Copy(list));
  while (copy != nullptr) {
    MsgList *next = copy->next;
    copy->next = nullptr;
    ThreadPending().Add(copy);
    copy = next;
  }
}

bool Msg_Present(void) {
  return ThreadPending().head != nullptr;
}

void Msg_Reset(bool log) {
  Pending &p = ThreadPending();
  if (log && p.head != nullptr) {
    LogList("Msg_Reset", "", p.head);
  }
  p.Clear();
}

const char *Msg_GetMessages(void) {
  Pending &p = ThreadPending();
  p.rendered = Render(p.head);
  return p.rendered.c_str();
}

const char *Msg_GetMessagesAndReset(void) {
  const char *text = Msg_GetMessages();
  ThreadPending().Clear();
  return text;
}

void Msg_SetCallbacks(const MsgCallback *callbacks) {
  brellis::LockHeld held(MsgLock());
  processCallbacks = *callbacks;
}

void Msg_GetCallbacks(MsgCallback *callbacks) {
  brellis::LockHeld held(MsgLock());
  *callbacks = processCallbacks;
}

void Msg_SetThreadCallbacks(const MsgCallback *callbacks) {
  ThreadPending().callbacks = *callbacks;
}

void Msg_GetThreadCallbacks(MsgCallback *callbacks) {
  *callbacks = ThreadPending().callbacks;
}

void Msg_Post(MsgSeverity severity, const char *format, ...) {
  MsgList *m = nullptr;
  va_list args;
  va_start(args, format);
  MsgList_VAppend(&m, format, args);
  va_end(args);
  Pending &p = ThreadPending();
  p.Add(m);
  std::unique_ptr<MsgList, decltype(&MsgList_Free)> list(p.Detach(), MsgList_Free);
  const char *title =
      severity >= 0 && severity < MSG_NUM_SEVERITIES ? DefaultText(Msg_Severities[severity]) : "";
  LogList("Msg_Post", title, list.get());
  if (IsAnswered(m->id)) {
    return;
  }
  if (severity != MSG_ERROR && Config_GetBool(false, "msg.noOK")) {
    if (!Config_GetBool(false, "msg.noOKnoWarning")) {
      Log_Warning("MSG: %s\n", Render(list.get()).c_str());
    }
    return;
  }
  MsgCallback table = Effective();
  if (table.postList != nullptr) {
    table.postList(severity, list.get());
  }
  if (table.post != nullptr) {
    table.post(severity, m->id, Render(list.get()).c_str());
  }
}

}  // extern "C"
