// Message lists.

#include <brellis/dynbuf.h>
#include <brellis/internal/msgListOrder.h>
#include <brellis/log.h>
#include <brellis/msgList.h>
#include <brellis/msgfmt.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/util.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kMarker[] = "@&!*@*@(";
constexpr size_t kMarkerLen = 8;

// True and the id's span when string carries the marker, "(" and a ")".
bool SplitId(const char *string, const char **idStart, const char **idEnd) {
  if (strncmp(string, kMarker, kMarkerLen) != 0) {
    return false;
  }
  const char *close = strchr(string + kMarkerLen, ')');
  if (close == nullptr) {
    return false;
  }
  *idStart = string + kMarkerLen;
  *idEnd = close;
  return true;
}

MsgList *NewMessage(const char *idStart, size_t idLen, const char *format, char *text,
                    MsgFmt_Arg *args = nullptr, int numArgs = 0) {
  auto *m = static_cast<MsgList *>(Util_SafeCalloc(-1, 1, sizeof(MsgList), __FILE__, __LINE__));
  m->id = Util_SafeStrndup(-1, idStart, idLen, __FILE__, __LINE__);
  m->format = Util_SafeStrdup(-1, format, __FILE__, __LINE__);
  m->text = text;
  m->args = args;
  m->numArgs = numArgs;
  return m;
}

// A text without the marker is its own message, kept as it is.
MsgList *Literal(const char *text) {
  static constexpr char kLiteral[] = "msg.literal";
  return NewMessage(kLiteral, sizeof kLiteral - 1, "%s",
                    Util_SafeStrdup(-1, text, __FILE__, __LINE__));
}

MsgList *Build(const char *format, va_list ap) {
  const char *idStart;
  const char *idEnd;
  if (!SplitId(format, &idStart, &idEnd)) {
    return Literal(format);
  }
  const char *body = idEnd + 1;
  MsgFmt_Arg *args = nullptr;
  int numArgs = 0;
  char *error = nullptr;
  if (!MsgFmt_GetArgs(body, ap, &args, &numArgs, &error, nullptr, nullptr)) {
    // A message that cannot be shown later is a bug of its caller.
    Log_Info("%s error: %s\nformat <%s>\n", "MsgList_VAppend", error, format);
    Panic("PANIC %s:%d\n", __FILE__, __LINE__);
  }
  char *text = MsgFmt_Asprintf(nullptr, body, args, numArgs);
  if (text == nullptr) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  return NewMessage(idStart, static_cast<size_t>(idEnd - idStart), body, text, args, numArgs);
}

MsgList *BuildStr(const char *string) {
  const char *idStart;
  const char *idEnd;
  if (!SplitId(string, &idStart, &idEnd)) {
    return Literal(string);
  }
  return NewMessage(idStart, static_cast<size_t>(idEnd - idStart), idEnd + 1,
                    Util_SafeStrdup(-1, idEnd + 1, __FILE__, __LINE__));
}

bool EndsWithNewline(const char *s) {
  size_t len = strlen(s);
  return len > 0 && s[len - 1] == '\n';
}

}  // namespace

extern "C" {

void MsgList_VAppend(MsgList **list, const char *format, va_list ap) {
  if (list == nullptr) {
    return;
  }
  MsgList *m = Build(format, ap);
  m->next = *list;
  *list = m;
}

void MsgList_Append(MsgList **list, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  MsgList_VAppend(list, format, ap);
  va_end(ap);
}

void MsgList_AppendStr(MsgList **list, const char *string) {
  if (list == nullptr) {
    return;
  }
  MsgList *m = BuildStr(string);
  m->next = *list;
  *list = m;
}

MsgList *MsgList_Create(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  MsgList *m = Build(format, ap);
  va_end(ap);
  return m;
}

MsgList *MsgList_CreateStr(const char *string) {
  return BuildStr(string);
}

MsgList *MsgList_Copy(const MsgList *list) {
  MsgList *head = nullptr;
  MsgList **tail = &head;
  for (const MsgList *m = list; m != nullptr; m = m->next) {
    MsgList *c = NewMessage(m->id, strlen(m->id), m->format,
                            Util_SafeStrdup(-1, m->text, __FILE__, __LINE__),
                            MsgFmt_CopyArgs(m->args, m->numArgs), m->numArgs);
    *tail = c;
    tail = &c->next;
  }
  return head;
}

void MsgList_Free(MsgList *list) {
  while (list != nullptr) {
    MsgList *next = list->next;
    free(list->id);
    free(list->format);
    free(list->text);
    MsgFmt_FreeArgs(list->args, list->numArgs);
    free(list);
    list = next;
  }
}

char *MsgList_ToString(const MsgList *list) {
  DynBuf b;
  DynBuf_Init(&b);
  for (const MsgList *m = list; m != nullptr; m = m->next) {
    if (!DynBuf_Append(&b, m->text, strlen(m->text)) ||
        (!EndsWithNewline(m->text) && !DynBuf_Append(&b, "\n", 1))) {
      Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
    }
  }
  if (!DynBuf_Append(&b, "", 1)) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  return static_cast<char *>(DynBuf_Detach(&b));
}

void MsgList_Log(const MsgList *list) {
  for (const MsgList *m = list; m != nullptr; m = m->next) {
    Log_Info("[%s] %s%s", m->id, m->text, EndsWithNewline(m->text) ? "" : "\n");
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

}  // extern "C"

MsgList *MsgListReverse(MsgList *list) {
  MsgList *reversed = nullptr;
  while (list != nullptr) {
    MsgList *next = list->next;
    list->next = reversed;
    reversed = list;
    list = next;
  }
  return reversed;
}
