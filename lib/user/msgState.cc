// The message layer's process-wide state: the callbacks, the locale with
// its catalogue, the severity titles; and the rendering of messages in the
// user's language from them.
//
// All of it is guarded by "msgLock". The catalogue is a Dictionary, which
// has no lock of its own and changes even on reads (a missing id gets a
// default entry), so every lookup holds the lock; callbacks never run under
// it.

#include <brellis/codeset.h>
#include <brellis/dictionary.h>
#include <brellis/err.h>
#include <brellis/internal/lockHeld.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/msgfmt.h>
#include <brellis/panic.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/unicode.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

#include <locale.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "msgInt.h"

namespace {

constexpr char kMarker[] = "@&!*@*@(";
constexpr size_t kMarkerLen = sizeof kMarker - 1;
// An id longer than this cannot be looked up.
constexpr size_t kIdSize = 128;

struct MsgState {
  MsgCallback callbacks;
  char *locale;
  Dictionary *catalogue;
  // The titles in the catalogue's language, made on first need and
  // dropped when the catalogue changes.
  bool titlesMade;
  char *titles[MSG_NUM_SEVERITIES];
  // The environment's locale for system error texts, asked for once.
  bool userLocaleTried;
  locale_t userLocale;
};

MXUserRecLock *msgLock = nullptr;
MsgState *msgState = nullptr;  // guarded by msgLock

// The state, made on first use. The caller holds the message lock.
MsgState &State() {
  if (msgState == nullptr) {
    msgState = new MsgState{};
    msgState->callbacks = msgConsoleCallbacks;
  }
  return *msgState;
}

void DropTitles(MsgState &st) {
  for (char *&title : st.titles) {
    free(title);
    title = nullptr;
  }
  st.titlesMade = false;
}

// Installs catalogue (which may be null) with a copy of locale, freeing
// what was there.
void Install(Dictionary *catalogue, const char *locale) {
  brellis::LockHeld held(MsgLock());
  MsgState &st = State();
  Dictionary_Free(st.catalogue);
  st.catalogue = catalogue;
  free(st.locale);
  st.locale = locale != nullptr ? Util_SafeStrdup(-1, locale, __FILE__, __LINE__) : nullptr;
  DropTitles(st);
}

// True, with the span of the id, when s carries the marker, "(" and a ")".
bool SplitId(const char *s, const char **id, const char **close) {
  if (s == nullptr || strncmp(s, kMarker, kMarkerLen) != 0) {
    return false;
  }
  *id = s + kMarkerLen;
  *close = strchr(*id, ')');
  return *close != nullptr;
}

// The catalogue's text for the id, when there is a catalogue and it has one.
bool Translation(const char *id, size_t idLen, std::string *text) {
  if (idLen >= kIdSize) {
    Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
  }
  char key[kIdSize];
  memcpy(key, id, idLen);
  key[idLen] = '\0';
  brellis::LockHeld held(MsgLock());
  Dictionary *catalogue = State().catalogue;
  if (catalogue == nullptr) {
    return false;
  }
  const char *none = nullptr;
  auto *value = static_cast<char *const *>(Dictionary_Get(catalogue, &none, DICT_TYPE_STRING, key));
  if (value == nullptr || *value == nullptr) {
    return false;
  }
  *text = *value;
  return true;
}

bool HaveCatalogue() {
  brellis::LockHeld held(MsgLock());
  return State().catalogue != nullptr;
}

// The text of a system error in the user's language.
std::string SystemErrorText(const MsgFmt_Arg &a, bool haveCatalogue) {
  const char *english = a.v.string8 != nullptr ? a.v.string8 : "";
  int number = static_cast<int>(a.errorNumber);
  if (a.errorKind == MSGFMT_ERROR_ERRNO) {
    {
      brellis::LockHeld held(MsgLock());
      MsgState &st = State();
      if (!st.userLocaleTried) {
        st.userLocaleTried = true;
        st.userLocale = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
      }
      if (st.userLocale != static_cast<locale_t>(0)) {
        const char *text = strerror_l(number, st.userLocale);
        if (text != nullptr && *text != '\0') {
          return text;
        }
      }
    }
    return Err_Errno2String(number);
  }
  if (!haveCatalogue) {
    return english;
  }
  std::unique_ptr<char, decltype(&free)> text(
      a.errorKind == MSGFMT_ERROR_WINDOWS
          ? Msg_Format("@&!*@*@(msg.msg.systemErrorWindows)Error %d (0x%x) [%s]", number,
                       static_cast<unsigned>(number), english)
          : Msg_Format("@&!*@*@(msg.msg.systemError)Error %d [%s]", number, english),
      free);
  return text.get();
}

// One message in the user's language: its translated format, with
// localisable string arguments and system errors replaced by their texts.
std::string RenderOne(const MsgList *m, bool haveCatalogue) {
  if (m->args == nullptr && strcmp(m->id, "msg.literal") == 0) {
    return m->text;
  }
  std::string translated;
  bool changed = Translation(m->id, strlen(m->id), &translated);
  bool useTranslation = changed;
  std::vector<MsgFmt_Arg> args(m->args, m->args + m->numArgs);
  // Reserved up front: the records point into these strings.
  std::vector<std::string> substitutes;
  substitutes.reserve(args.size());
  for (MsgFmt_Arg &a : args) {
    if (a.type == MSGFMT_ARG_ERRSTR) {
      substitutes.push_back(SystemErrorText(a, haveCatalogue));
    } else if (a.type == MSGFMT_ARG_STRING8 && haveCatalogue &&
               strncmp(a.v.string8 != nullptr ? a.v.string8 : "", kMarker, kMarkerLen) == 0) {
      substitutes.push_back(MsgLookUp(a.v.string8));
    } else {
      continue;
    }
    a.p.localString = substitutes.back().data();
    changed = true;
  }
  if (!changed) {
    return m->text;
  }
  char *text = nullptr;
  if (useTranslation) {
    text = MsgFmt_Asprintf(nullptr, translated.c_str(), args.data(), m->numArgs);
  }
  // A translation that does not fit the message's arguments is not shown.
  if (text == nullptr) {
    text = MsgFmt_Asprintf(nullptr, m->format, args.data(), m->numArgs);
  }
  if (text == nullptr) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  std::string out = text;
  free(text);
  return out;
}

// Logs a failed catalogue load with whatever the load reported.
void LogLoadFailure(MsgList *messages, const char *path, bool warn) {
  Msg_AppendMsgList(messages);
  MsgList_Free(messages);
  Msg_Reset(true);
  if (warn) {
    Log_Warning("Cannot load message dictionary \"%s\".\n", path);
  }
}

const char *CurrentEncodingName() {
  const char *name = Unicode_EncodingEnumToName(Unicode_GetCurrentEncoding());
  return name != nullptr ? name : "unknown";
}

}  // namespace

MXUserRecLock *MsgLock() {
  return MXUser_CreateSingletonRecLock(&msgLock, "msgLock", 0xFEFFFFFF);
}

MsgCallback MsgProcessCallbacks() {
  brellis::LockHeld held(MsgLock());
  return State().callbacks;
}

std::string MsgLookUp(const char *string) {
  const char *id;
  const char *close;
  if (!SplitId(string, &id, &close)) {
    return string != nullptr ? string : "";
  }
  std::string text;
  if (Translation(id, static_cast<size_t>(close - id), &text)) {
    return text;
  }
  return close + 1;
}

std::string MsgRenderList(const MsgList *oldestFirst) {
  int savedErrno = errno;
  bool haveCatalogue = HaveCatalogue();
  std::string out;
  for (const MsgList *m = oldestFirst; m != nullptr; m = m->next) {
    std::string text = RenderOne(m, haveCatalogue);
    out += text;
    if (text.empty() || text.back() != '\n') {
      out += '\n';
    }
  }
  errno = savedErrno;
  return out;
}

void MsgSeverityTitle(MsgSeverity severity, char *buf, size_t size) {
  brellis::LockHeld held(MsgLock());
  MsgState &st = State();
  if (!st.titlesMade) {
    for (int i = 0; i < MSG_NUM_SEVERITIES; i++) {
      if (Msg_Severities[i] != nullptr) {
        st.titles[i] =
            Util_SafeStrdup(-1, MsgLookUp(Msg_Severities[i]).c_str(), __FILE__, __LINE__);
      }
    }
    st.titlesMade = true;
  }
  const char *title =
      severity >= 0 && severity < MSG_NUM_SEVERITIES ? st.titles[severity] : nullptr;
  Str_Snprintf(buf, size, "%s", title != nullptr ? title : "");
}

void MsgExitState() {
  {
    brellis::LockHeld held(MsgLock());
    if (msgState != nullptr) {
      DropTitles(*msgState);
      Dictionary_Free(msgState->catalogue);
      free(msgState->locale);
      if (msgState->userLocale != static_cast<locale_t>(0)) {
        freelocale(msgState->userLocale);
      }
      delete msgState;
      msgState = nullptr;
    }
  }
  MXUser_DestroyRecLock(std::atomic_ref<MXUserRecLock *>(msgLock).exchange(nullptr));
}

extern "C" {

void Msg_SetCallbacks(const MsgCallback *callbacks) {
  brellis::LockHeld held(MsgLock());
  State().callbacks = *callbacks;
}

void Msg_GetCallbacks(MsgCallback *callbacks) {
  *callbacks = MsgProcessCallbacks();
}

char *Msg_GetString(const char *idString) {
  return Util_SafeStrdup(-1, MsgLookUp(idString).c_str(), __FILE__, __LINE__);
}

char *Msg_GetStringSafe(const char *string) {
  return Msg_GetString(string);
}

char *Msg_Format(const char *idFormat, ...) {
  va_list ap;
  va_start(ap, idFormat);
  const char *id;
  const char *close;
  const char *body = idFormat;
  char *out = nullptr;
  if (SplitId(idFormat, &id, &close)) {
    body = close + 1;
    std::string translated;
    if (Translation(id, static_cast<size_t>(close - id), &translated)) {
      // The arguments are taken by the default text's conversions, so a
      // translation can only name them, never read them as other types.
      MsgFmt_Arg *args = nullptr;
      int numArgs = 0;
      char *error = nullptr;
      va_list scan;
      va_copy(scan, ap);
      if (MsgFmt_GetArgs(body, scan, &args, &numArgs, &error, nullptr, nullptr)) {
        out = MsgFmt_Asprintf(nullptr, translated.c_str(), args, numArgs);
        MsgFmt_FreeArgs(args, numArgs);
      }
      va_end(scan);
      free(error);
    }
  }
  if (out == nullptr) {
    out = Str_SafeVasprintf(nullptr, body, ap);
  }
  va_end(ap);
  return out;
}

void Msg_SetLocaleEx(const char *locale, const char *programName, const char *directory) {
  if (locale == nullptr) {
    Log_Info("%s: HostLocale=%s UserLocale=%s\n", "Msg_SetLocaleEx", CurrentEncodingName(), "NULL");
    Install(nullptr, nullptr);
    return;
  }
  Log_Info("%s: HostLocale=%s UserLocale=%s\n", "Msg_SetLocaleEx", CurrentEncodingName(), locale);
  std::unique_ptr<char, decltype(&free)> libdir(
      directory == nullptr ? Preference_GetPathName("/usr/lib/brellis", "libdir") : nullptr, free);
  const char *dir = directory != nullptr ? directory : libdir.get();
  std::unique_ptr<char, decltype(&free)> path(nullptr, free);
  if (dir != nullptr && *dir != '\0') {
    path.reset(Str_Asprintf(nullptr, "%s%smessages%s%s%s%s.%s", dir, "/", "/", locale, "/",
                            programName, "qmsg"));
  }
  if (path == nullptr) {
    Log_Warning("Cannot determine message file path for locale \"%s\".\n", locale);
    return;
  }
  Dictionary *catalogue = Dictionary_Create();
  MsgList *messages = nullptr;
  if (!Dictionary_Load(catalogue, path.get(), true, STRING_ENCODING_UTF8, &messages)) {
    Dictionary_Free(catalogue);
    // English needs no catalogue: its absence is no news.
    LogLoadFailure(messages, path.get(), strncmp(locale, "en", 2) != 0);
    return;
  }
  MsgList_Free(messages);
  Install(catalogue, locale);
}

void Msg_SetLocale(const char *locale, const char *programName) {
  Msg_SetLocaleEx(locale, programName, nullptr);
}

bool Msg_LoadMessageFile(const char *locale, const char *path) {
  MsgList *messages = nullptr;
  bool ok;
  {
    brellis::LockHeld held(MsgLock());
    MsgState &st = State();
    if (st.catalogue != nullptr) {
      ok = Dictionary_Load(st.catalogue, path, false, STRING_ENCODING_UTF8, &messages);
      DropTitles(st);
    } else {
      Dictionary *catalogue = Dictionary_Create();
      ok = Dictionary_Load(catalogue, path, true, STRING_ENCODING_UTF8, &messages);
      if (ok) {
        Install(catalogue, locale);
      } else {
        Dictionary_Free(catalogue);
      }
    }
  }
  if (!ok) {
    LogLoadFailure(messages, path, true);
    return false;
  }
  MsgList_Free(messages);
  return true;
}

char *Msg_GetLocale(void) {
  brellis::LockHeld held(MsgLock());
  const char *locale = State().locale;
  return locale != nullptr ? Util_SafeStrdup(-1, locale, __FILE__, __LINE__) : nullptr;
}

}  // extern "C"
