// Messages for users: the calling thread's pending messages, kept as a
// message list.

#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>

#include <cstring>
#include <string>

namespace {

void LogOne(const MsgList *m) {
  size_t len = strlen(m->text);
  Log_Info("[%s] %s%s", m->id, m->text, len > 0 && m->text[len - 1] == '\n' ? "" : "\n");
}

void AppendText(std::string &out, const MsgList *m) {
  size_t len = strlen(m->text);
  out += m->text;
  if (len == 0 || m->text[len - 1] != '\n') {
    out += '\n';
  }
}

// Pending messages of one thread, oldest first; freed when the thread ends.
struct Pending {
  MsgList *head = nullptr;
  MsgList *tail = nullptr;
  std::string rendered;

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
  void Clear() {
    MsgList_Free(head);
    head = nullptr;
    tail = nullptr;
  }
  ~Pending() { Clear(); }
};

Pending &ThreadPending() {
  thread_local Pending pending;
  return pending;
}

}  // namespace

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

bool Msg_Present(void) { return ThreadPending().head != nullptr; }

void Msg_Reset(bool log) {
  Pending &p = ThreadPending();
  if (log && p.head != nullptr) {
    Log_Info("%s:%s%s\n", "Msg_Reset", "", "");
    for (const MsgList *m = p.head; m != nullptr; m = m->next) {
      LogOne(m);
    }
    Log_Info("----------------------------------------\n");
  }
  p.Clear();
}

const char *Msg_GetMessages(void) {
  Pending &p = ThreadPending();
  p.rendered.clear();
  for (const MsgList *m = p.head; m != nullptr; m = m->next) {
    AppendText(p.rendered, m);
  }
  return p.rendered.c_str();
}

const char *Msg_GetMessagesAndReset(void) {
  const char *text = Msg_GetMessages();
  ThreadPending().Clear();
  return text;
}

}  // extern "C"
