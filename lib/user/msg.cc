// Messages for users: the calling thread's pending messages, kept as a
// message list, and posting them through the callback table.

#include <brellis/internal/lockHeld.h>
#include <brellis/internal/msgListOrder.h>
#include <brellis/internal/writeAll.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/preference.h>
#include <brellis/str.h>
#include <brellis/userlock.h>
#include <brellis/util.h>

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

using brellis::WriteAll;

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
int ConsoleQuestion(char const *const *names, int defaultAnswer, const char *, const char *text);
int ConsoleHint(int buttonKind, const char *, const char *text);
MsgCallback processCallbacks = {ConsolePost, ConsoleQuestion, nullptr, ConsoleHint};
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
             DefaultText(buttons[defaultAnswer]), id);
    *answer = defaultAnswer;
    return Answered::kAutomatically;
  }
  return Answered::kNo;
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

// Offers the buttons on the console until a valid choice is read; at the
// end of input the default.
int ConsoleChoose(const char *heading, const char *text, const char *const *names, int count,
                  int defaultAnswer) {
  std::string out = std::string("\n\n") + kProductName + " " + heading + ":\n" + text + "\n";
  for (int i = 0; i < count; i++) {
    out += std::to_string(i) + ") " + DefaultText(names[i]) + "\n";
  }
  out += "\n";
  WriteText(STDOUT_FILENO, out);
  std::string prompt = "Select a number from 0-" + std::to_string(count - 1) + ": ";
  std::string line;
  for (;;) {
    WriteText(STDOUT_FILENO, prompt);
    if (!ReadLine(&line)) {
      return defaultAnswer;
    }
    int choice = ParseChoice(line, count);
    if (choice >= 0) {
      return choice;
    }
  }
}

int CountButtons(const char *const *names) {
  int n = 0;
  while (names[n] != nullptr && n < 9) {
    n++;
  }
  return n;
}

int ConsoleQuestion(char const *const *names, int defaultAnswer, const char *, const char *text) {
  return ConsoleChoose("Question", text, names, CountButtons(names), defaultAnswer);
}

int ConsoleHint(int buttonKind, const char *, const char *text) {
  const char *const *names = buttonKind == 1 ? Msg_OKCancelButtons : Msg_OKButtons;
  return ConsoleChoose("Hint", text, names, CountButtons(names), 0);
}

using OwnedList = std::unique_ptr<MsgList, decltype(&MsgList_Free)>;

// The thread's pending messages with a new one made from format appended,
// handed over to the caller; *added points at the new one among them.
OwnedList TakePendingWith(MsgList **added, const char *format, va_list args) {
  MsgList *m = nullptr;
  MsgList_VAppend(&m, format, args);
  Pending &p = ThreadPending();
  p.Add(m);
  *added = m;
  return OwnedList(p.Detach(), MsgList_Free);
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
  MsgList *m;
  va_list args;
  va_start(args, format);
  OwnedList list = TakePendingWith(&m, format, args);
  va_end(args);
  const char *title =
      severity >= 0 && severity < MSG_NUM_SEVERITIES ? DefaultText(Msg_Severities[severity]) : "";
  LogList("Msg_Post", title, list.get());
  int answer;
  if (IsAnswered(Msg_OKButtons, 0, m->id, &answer) != Answered::kNo) {
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
      std::string text = Render(list.get());
      ask([&] { return table.question(names, defaultAnswer, m->id, text.c_str()); });
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
  std::unique_ptr<MsgList, decltype(&MsgList_Free)> list(m, MsgList_Free);
  std::string text = Render(m);
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

char *Msg_StripMnemonic(const char *string) {
  return Util_SafeStrdup(-1, StripMnemonic(string).c_str(), __FILE__, __LINE__);
}

char *Msg_GetString(const char *idString) {
  return Util_SafeStrdup(-1, DefaultText(idString), __FILE__, __LINE__);
}

char *Msg_GetStringSafe(const char *string) {
  return Msg_GetString(string);
}

char *Msg_Format(const char *idFormat, ...) {
  va_list args;
  va_start(args, idFormat);
  char *s = Str_SafeVasprintf(nullptr, DefaultText(idFormat), args);
  va_end(args);
  return s;
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
