// Messages for users: lists and the calling thread's pending messages.

#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

struct MsgList {
  MsgList *next;
  char *id;
  char *text;
};

namespace {

constexpr std::string_view kMarker = "@&!*@*@(";

// Splits a localisable format into id and default text; false for any
// other string.
bool SplitId(const char *format, std::string_view &id, const char *&text) {
  std::string_view all(format);
  if (all.substr(0, kMarker.size()) != kMarker) {
    return false;
  }
  size_t close = all.find(')', kMarker.size());
  if (close == std::string_view::npos) {
    return false;
  }
  id = all.substr(kMarker.size(), close - kMarker.size());
  text = format + close + 1;
  return true;
}

MsgList *Build(const char *format, va_list args, bool formatArgs) {
  auto *m = static_cast<MsgList *>(Util_SafeCalloc(-1, 1, sizeof(MsgList), __FILE__, __LINE__));
  std::string_view id;
  const char *text;
  if (SplitId(format, id, text)) {
    m->id = Util_SafeStrndup(-1, id.data(), id.size(), __FILE__, __LINE__);
    if (formatArgs) {
      m->text = Str_SafeVasprintf(nullptr, text, args);
    } else {
      m->text = Util_SafeStrdup(-1, text, __FILE__, __LINE__);
    }
  } else {
    m->id = Util_SafeStrdup(-1, "msg.literal", __FILE__, __LINE__);
    m->text = Util_SafeStrdup(-1, format, __FILE__, __LINE__);
  }
  return m;
}

void FreeOne(MsgList *m) {
  free(m->id);
  free(m->text);
  free(m);
}

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
    while (head != nullptr) {
      MsgList *next = head->next;
      FreeOne(head);
      head = next;
    }
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

void MsgList_VAppend(MsgList **list, const char *format, va_list args) {
  if (list == nullptr) {
    return;
  }
  MsgList *m = Build(format, args, true);
  m->next = *list;
  *list = m;
}

void MsgList_Append(MsgList **list, const char *format, ...) {
  va_list args;
  va_start(args, format);
  MsgList_VAppend(list, format, args);
  va_end(args);
}

void MsgList_AppendStr(MsgList **list, const char *string) {
  if (list == nullptr) {
    return;
  }
  va_list unused{};
  MsgList *m = Build(string, unused, false);
  m->next = *list;
  *list = m;
}

void MsgList_Free(MsgList *list) {
  while (list != nullptr) {
    MsgList *next = list->next;
    FreeOne(list);
    list = next;
  }
}

const char *MsgList_GetId(const MsgList *message) {
  return message->id;
}
const char *MsgList_GetText(const MsgList *message) {
  return message->text;
}
const MsgList *MsgList_Next(const MsgList *message) {
  return message->next;
}

char *MsgList_ToString(const MsgList *list) {
  std::string out;
  for (const MsgList *m = list; m != nullptr; m = m->next) {
    AppendText(out, m);
  }
  return Util_SafeStrdup(-1, out.c_str(), __FILE__, __LINE__);
}

void MsgList_Log(const MsgList *list) {
  for (const MsgList *m = list; m != nullptr; m = m->next) {
    LogOne(m);
  }
}

void Msg_Append(const char *format, ...) {
  va_list args;
  va_start(args, format);
  ThreadPending().Add(Build(format, args, true));
  va_end(args);
}

void Msg_AppendStr(const char *string) {
  va_list unused{};
  ThreadPending().Add(Build(string, unused, false));
}

bool Msg_Present(void) {
  return ThreadPending().head != nullptr;
}

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
