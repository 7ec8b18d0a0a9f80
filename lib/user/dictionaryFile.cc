// Reading dictionary files, streams and buffers, and their encodings.

#include <brellis/dictionary.h>
#include <brellis/dictll.h>
#include <brellis/err.h>
#include <brellis/fileIO.h>
#include <brellis/internal/dictLineParse.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/panic.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "user/dictionaryInt.h"

namespace {

constexpr int kMaxRejectedLines = 100;

void ZeroAndFree(char *s) {
  if (s != nullptr) {
    explicit_bzero(s, strlen(s));
    free(s);
  }
}

// The variant of every message is chosen by what is known: file and line,
// file only (the encoding settled at end of file), or neither (buffers).
enum class Where { kLine, kFile, kNone };

Where WhereOf(const Dictionary *dict) {
  if (dict->fileName == nullptr) return Where::kNone;
  return dict->lineNumber > 0 ? Where::kLine : Where::kFile;
}

// An encoding the readers and writers can work in: -1 resolved, and UTF-8
// when the process's character set is not a supported one.
int Usable(int encoding) {
  encoding = Unicode_ResolveEncoding(encoding);
  return encoding >= 0 ? encoding : STRING_ENCODING_UTF8;
}

bool IsEncodingName(std::string_view name) {
  static constexpr std::string_view kNames[] = {".encoding", "config.encoding",
                                                "preferences.encoding", "vmlist.encoding",
                                                "snapshot.encoding"};
  for (std::string_view n : kNames) {
    if (name.size() == n.size() && strncasecmp(name.data(), n.data(), n.size()) == 0) return true;
  }
  return false;
}

bool OnlyBlanksOrComment(const char *line) {
  const char *p = line;
  while (*p == ' ' || *p == '\t') p++;
  return *p == '\0' || *p == '#';
}

// Text read from a file is a byte string ended by one NUL byte, whatever its
// encoding: its length is counted in bytes, never by looking for a NUL as
// wide as the encoding's code unit, which could lie past the string's end.
ptrdiff_t Bytes(const char *text) {
  return static_cast<ptrdiff_t>(strlen(text));
}

void AppendBadInput(Dictionary *dict, const char *value, const char *name, int encoding,
                    MsgList **messages) {
  if (messages == nullptr) {
    return;
  }
  char *escaped = Unicode_EscapeBuffer(value, Bytes(value), encoding);
  const char *shown = escaped ? escaped : "";
  const char *encName = Unicode_EncodingEnumToName(encoding);
  switch (WhereOf(dict)) {
    case Where::kLine:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.badEncodedInput)File \"%s\" line %d: Value \"%s\" "
                     "for variable \"%s\" is not valid in encoding \"%s\".\n",
                     dict->fileName, dict->lineNumber, shown, name, encName);
      break;
    case Where::kFile:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.badEncodedInputNoLine)File \"%s\": Value \"%s\" for "
                     "variable \"%s\" is not valid in encoding \"%s\".\n",
                     dict->fileName, shown, name, encName);
      break;
    case Where::kNone:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.badEncodedInputNoFile)Value \"%s\" for variable "
                     "\"%s\" is not valid in encoding \"%s\".\n",
                     shown, name, encName);
      break;
  }
  free(escaped);
}

// Decodes every value that still holds file bytes. Without dropInvalid the
// first invalid value fails the whole change and nothing is converted; with
// it, invalid values are removed (each with its message) and the rest
// converted.
bool SettleValues(Dictionary *dict, int encoding, bool dropInvalid, MsgList **messages) {
  bool allValid = true;
  for (DictLink *l = dict->entries.next; l != &dict->entries;) {
    auto *e = static_cast<DictEntry *>(l);
    l = l->next;
    if (!e->raw || e->value.stringValue == nullptr) {
      continue;
    }
    if (!Unicode_IsBufferValid(e->value.stringValue, Bytes(e->value.stringValue), encoding)) {
      AppendBadInput(dict, e->value.stringValue, e->name, encoding, messages);
      allValid = false;
      if (!dropInvalid) {
        return false;
      }
      DictionaryRemoveEntry(dict, e);
    }
  }
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    auto *e = static_cast<DictEntry *>(l);
    if (!e->raw) {
      continue;
    }
    e->raw = false;
    // Valid UTF-8 and ASCII bytes are already the internal form.
    if (e->value.stringValue != nullptr && encoding != STRING_ENCODING_UTF8 &&
        encoding != STRING_ENCODING_US_ASCII) {
      char *converted =
          Unicode_AllocWithLength(e->value.stringValue, Bytes(e->value.stringValue), encoding);
      DictionaryReleaseValue(e);
      e->value.stringValue = converted;
    }
  }
  dict->encoding = encoding;
  return allValid;
}

// Settles the encoding of a dictionary whose read is over, so that no value
// stays in file bytes: a byte-order mark tries UTF-8 first (its messages are
// dropped if that fails), then the default; when the default fails too, the
// values it cannot decode are dropped with their messages.
bool Settle(Dictionary *dict, int defaultEncoding, bool bom, MsgList **messages) {
  if (dict->encoding != -2) {
    return true;
  }
  int def = Unicode_ResolveEncoding(defaultEncoding);
  if (bom && def != STRING_ENCODING_UTF8) {
    MsgList *attempt = nullptr;
    if (DictionarySetEncoding(dict, nullptr, STRING_ENCODING_UTF8, &attempt)) {
      DictionaryMoveMessages(messages, attempt);
      return true;
    }
    MsgList_Free(attempt);
  }
  if (def >= 0) {
    MsgList *attempt = nullptr;
    if (DictionarySetEncoding(dict, nullptr, def, &attempt)) {
      DictionaryMoveMessages(messages, attempt);
      return true;
    }
    MsgList_Free(attempt);
  }
  SettleValues(dict, Usable(def), true, messages);
  if (dict->fileName != nullptr) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.badDefaultEncoding)An error occurred while decoding "
                   "file \"%s\" using the default character encoding.\n",
                   dict->fileName);
  } else {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.badDefaultEncodingNoFile)Failed to decode the "
                   "dictionary in the default character encoding.\n");
  }
  return false;
}

void SyntaxError(Dictionary *dict, MsgList **messages) {
  switch (WhereOf(dict)) {
    case Where::kLine:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.read.syntaxError)File \"%s\" line %d: Syntax "
                     "error.\n",
                     dict->fileName, dict->lineNumber);
      break;
    case Where::kFile:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.read.syntaxErrorNoLine)File \"%s\": Syntax "
                     "error.\n",
                     dict->fileName);
      break;
    case Where::kNone:
      MsgList_Append(messages, "@&!*@*@(msg.dictionary.read.syntaxErrorNoFile)Syntax error.\n");
      break;
  }
}

void AlreadyDefined(Dictionary *dict, std::string_view nameSpan, MsgList **messages) {
  std::string copy(nameSpan);
  const char *name = copy.c_str();
  switch (WhereOf(dict)) {
    case Where::kLine:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.alreadyDefined)File \"%s\" line %d: Variable "
                     "\"%s\" is already defined.\n",
                     dict->fileName, dict->lineNumber, name);
      break;
    case Where::kFile:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.alreadyDefinedNoLine)File \"%s\": Variable \"%s\" "
                     "is already defined.\n",
                     dict->fileName, name);
      break;
    case Where::kNone:
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.alreadyDefinedNoFile)Variable \"%s\" is already "
                     "defined.\n",
                     name);
      break;
  }
}

// The dictionary ready for a read: cleared when asked.
void BeginRead(Dictionary *dict, bool clearFirst, const char *fileName) {
  if (clearFirst) {
    DictionaryClear(dict);
  }
  free(dict->fileName);
  dict->fileName = fileName ? Util_SafeStrdup(-1, fileName, __FILE__, __LINE__) : nullptr;
  dict->lineNumber = 0;
}

void EndRead(Dictionary *dict) {
  free(dict->fileName);
  dict->fileName = nullptr;
  dict->lineNumber = 0;
}

bool LoadAndLog(Dictionary *dict, const char *path, bool clearFirst, int defaultEncoding) {
  MsgList *messages = nullptr;
  bool ok = Dictionary_Load(dict, path, clearFirst, defaultEncoding, &messages);
  Msg_AppendMsgList(messages);
  MsgList_Free(messages);
  return ok;
}

}  // namespace

namespace {

char *CopyOf(std::string_view text) {
  auto *copy = static_cast<char *>(Util_SafeMalloc(-1, text.size() + 1, __FILE__, __LINE__));
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// DictionaryParseReadLine over a line the caller keeps (NUL-terminated at
// line.size()) and a name given as a span, null when the line is not an
// assignment: only what the dictionary keeps is copied. The value's bytes
// are value, which holds no NUL; ownedValue, when given, is a string the
// call takes ownership of and value its bytes, else value lies in the line
// and is copied into the entry as it is.
int ParseReadLine(Dictionary *dict, std::string_view line, std::string_view name,
                  std::string_view value, char *ownedValue, MsgList **messages) {
  dict->lineNumber++;
  if (name.data() == nullptr) {
    free(ownedValue);
    if (OnlyBlanksOrComment(line.data())) {
      DictionaryAppendLine(dict, CopyOf(line), nullptr);
      return 0;
    }
    Log_Info("%s: syntax error with line, \"%s\".\n", "DictionaryParseReadLine", line.data());
    SyntaxError(dict, messages);
    return 2;
  }
  if (IsEncodingName(name)) {
    if (ownedValue == nullptr) {
      ownedValue = CopyOf(value);
    }
    bool ok = DictionarySetEncoding(dict, ownedValue, -2, messages);
    ZeroAndFree(ownedValue);
    return ok ? 0 : 1;
  }
  if (name[0] == '.') {
    std::string shown(name);
    Log_Info("%s: \"%s\" line %d: unrecognized metavariable \"%s\"\n", "DictionaryParseReadLine",
             dict->fileName ? dict->fileName : "", dict->lineNumber, shown.c_str());
    ZeroAndFree(ownedValue);
    return 0;
  }
  uint32_t hash = DictionaryNameHash(name);
  if (DictionaryFindHashed(dict, name, hash) != nullptr) {
    AlreadyDefined(dict, name, messages);
    ZeroAndFree(ownedValue);
    DictionaryAppendLine(dict, CopyOf(line), nullptr);
    return 1;
  }
  bool raw = dict->encoding == -2;
  if (!raw) {
    if (!Unicode_IsBufferValid(value.data(), static_cast<ptrdiff_t>(value.size()),
                               dict->encoding)) {
      std::string shown(name);
      std::string bytes(value);
      AppendBadInput(dict, bytes.c_str(), shown.c_str(), dict->encoding, messages);
      explicit_bzero(bytes.data(), bytes.size());
      ZeroAndFree(ownedValue);
      return 2;
    }
    if (dict->encoding != STRING_ENCODING_UTF8 && dict->encoding != STRING_ENCODING_US_ASCII) {
      char *converted = Unicode_AllocWithLength(value.data(), static_cast<ptrdiff_t>(value.size()),
                                                dict->encoding);
      ZeroAndFree(ownedValue);
      ownedValue = converted;
      value = converted;
    }
  }
  DictEntry *e = DictionaryAddReadEntry(dict, name, hash, value, ownedValue, line);
  e->raw = raw;
  return 0;
}

// One line of a file or buffer, NUL-terminated at line.size(), through the
// parser.
int ParseTextLine(Dictionary *dict, std::string_view line, MsgList **messages) {
  brellis::DictLineSpans spans;
  if (!brellis::DictLineParse(line.data(), &spans)) {
    return ParseReadLine(dict, line, std::string_view(), std::string_view(), nullptr, messages);
  }
  std::string_view name(spans.name, spans.nameLen);
  // A value without escapes is its bytes in the line as they stand.
  if (memchr(spans.value, '|', spans.valueLen) == nullptr) {
    return ParseReadLine(dict, line, name, std::string_view(spans.value, spans.valueLen), nullptr,
                         messages);
  }
  char *value = brellis::DictLineUnescape(spans.value, spans.valueLen);
  return ParseReadLine(dict, line, name, value, value, messages);
}

// Cuts a stream into lines as DictLL_ReadLine does ("\n", "\r\n" or a lone
// "\r" ends one), but reads it in large blocks and finds the line ends with
// memchr rather than taking it a byte at a time. Each line is handed out in
// place, its line end overwritten by a NUL.
class LineReader {
 public:
  explicit LineReader(FILE *stream) : stream_(stream) {}
  ~LineReader() {
    if (buf_ != nullptr) {
      // The file's bytes (values among them) do not outlive the read.
      explicit_bzero(buf_, cap_);
      free(buf_);
    }
  }
  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;

  // 2 with the next line (valid until the next call), 1 at the end of the
  // stream, 0 on a read error (errno set).
  int Next(std::string_view *line) {
    size_t scanned = 0;  // bytes after start_ known to hold no line end
    for (;;) {
      const char *from = buf_ + start_ + scanned;
      const char *to = buf_ + end_;
      const char *eol = nullptr;
      if (from < to) {
        eol = static_cast<const char *>(memchr(from, '\n', static_cast<size_t>(to - from)));
        const char *cr = static_cast<const char *>(
            memchr(from, '\r', static_cast<size_t>((eol ? eol : to) - from)));
        if (cr != nullptr) {
          eol = cr;
        }
      }
      // A "\r" that ends the data read so far may be the first half of
      // "\r\n": the next byte decides.
      if (eol != nullptr && (*eol == '\n' || eol + 1 < to || done_)) {
        size_t pos = static_cast<size_t>(eol - buf_);
        *line = std::string_view(buf_ + start_, pos - start_);
        start_ = pos + 1;
        if (*eol == '\r' && start_ < end_ && buf_[start_] == '\n') {
          start_++;
        }
        buf_[pos] = '\0';
        return 2;
      }
      scanned = static_cast<size_t>((eol ? eol : to) - (buf_ + start_));
      if (done_) {
        break;
      }
      Fill();
    }
    if (failed_) {
      errno = errno_;
      return 0;
    }
    if (start_ == end_) {
      return 1;
    }
    // A last line without a line end; Fill leaves room for its NUL.
    *line = std::string_view(buf_ + start_, end_ - start_);
    buf_[end_] = '\0';
    start_ = end_;
    return 2;
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;

  void Fill() {
    if (start_ > 0) {
      memmove(buf_, buf_ + start_, end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    // Only a line longer than the buffer makes it grow: a buffer that
    // stays at one block is reused by every load without fresh pages.
    if (cap_ == 0 || end_ + 1 >= cap_) {
      cap_ = cap_ == 0 ? kBlock : cap_ * 2;
      buf_ = static_cast<char *>(Util_SafeRealloc(-1, buf_, cap_, __FILE__, __LINE__));
    }
    size_t want = cap_ - end_ - 1;
    size_t n = fread(buf_ + end_, 1, want, stream_);
    end_ += n;
    if (n < want) {
      done_ = true;
      failed_ = ferror(stream_) != 0;
      errno_ = errno;
    }
  }

  FILE *stream_;
  char *buf_ = nullptr;
  size_t cap_ = 0;
  size_t start_ = 0;
  size_t end_ = 0;
  bool done_ = false;
  bool failed_ = false;
  int errno_ = 0;
};

}  // namespace

int DictionaryParseReadLine(Dictionary *dict, char *line, char *name, char *value,
                            MsgList **messages) {
  int result = ParseReadLine(dict, line, name ? std::string_view(name) : std::string_view(),
                             value ? std::string_view(value) : std::string_view(), value, messages);
  free(name);
  ZeroAndFree(line);
  return result;
}

bool DictionarySetEncoding(Dictionary *dict, const char *encodingName, int encoding,
                           MsgList **messages) {
  if (encodingName != nullptr) {
    encoding = Unicode_EncodingNameToEnum(encodingName);
    if (encoding < 0) {
      switch (WhereOf(dict)) {
        case Where::kLine:
          MsgList_Append(messages,
                         "@&!*@*@(msg.dictionary.unknownEncoding)File \"%s\" (line %d) specifies "
                         "a character encoding (%s) that is not supported.\n",
                         dict->fileName, dict->lineNumber, encodingName);
          break;
        case Where::kFile:
          MsgList_Append(messages,
                         "@&!*@*@(msg.dictionary.unknownEncodingNoLine)File \"%s\": Character "
                         "encoding \"%s\" is not supported.\n",
                         dict->fileName, encodingName);
          break;
        case Where::kNone:
          MsgList_Append(messages,
                         "@&!*@*@(msg.dictionary.unknownEncodingNoFile)Character encoding \"%s\" "
                         "is not supported.\n",
                         encodingName);
          break;
      }
      return false;
    }
  } else {
    encoding = Unicode_ResolveEncoding(encoding);
    if (encoding < 0) {
      return false;
    }
  }
  if (dict->encoding != -2) {
    if (dict->encoding == encoding) {
      // The values are decoded already; decoding them again would mangle
      // any that are not ASCII.
      return true;
    }
    const char *has = Unicode_EncodingEnumToName(dict->encoding);
    switch (WhereOf(dict)) {
      case Where::kLine:
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.hasEncoding)File \"%s\" (line %d) already has "
                       "encoding \"%s\".\n",
                       dict->fileName, dict->lineNumber, has);
        break;
      case Where::kFile:
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.hasEncodingNoLine)File \"%s\" already has "
                       "encoding \"%s\".\n",
                       dict->fileName, has);
        break;
      case Where::kNone:
        MsgList_Append(messages,
                       "@&!*@*@(msg.dictionary.hasEncodingNoFile)The dictionary already has "
                       "encoding \"%s\".\n",
                       has);
        break;
    }
    return false;
  }
  return SettleValues(dict, encoding, false, messages);
}

bool DictionaryReadLines(Dictionary *dict, FILE *stream, int defaultEncoding, MsgList **messages) {
  dict->lineNumber = 0;
  bool bom = DictLL_ReadUTF8BOM(stream);
  bool fatal = false;
  int rejected = 0;
  LineReader reader(stream);
  for (;;) {
    std::string_view line;
    int r = reader.Next(&line);
    if (r == 0) {
      MsgList_Append(messages, "@&!*@*@(msg.dictionary.read.readError)File \"%s\" line %d: %s.\n",
                     dict->fileName ? dict->fileName : "", dict->lineNumber, Err_ErrString());
      fatal = true;
      break;
    }
    if (r == 1) {
      break;
    }
    int result = ParseTextLine(dict, line, messages);
    if (result == 1) {
      if (++rejected > kMaxRejectedLines) {
        Log_Info("%s: \"%s\" line %d: too many duplicate entries in dictionary, quitting.\n",
                 "DictionaryReadLines", dict->fileName ? dict->fileName : "", dict->lineNumber);
        fatal = true;
        break;
      }
    } else if (result == 2) {
      fatal = true;
      break;
    }
  }
  dict->lineNumber = 0;
  bool settled = Settle(dict, defaultEncoding, bom, messages);
  return !fatal && rejected == 0 && settled;
}

extern "C" {

bool Dictionary_Load(Dictionary *dict, const char *path, bool clearFirst, int defaultEncoding,
                     MsgList **messages) {
  if (path == nullptr) {
    if (clearFirst) {
      DictionaryClear(dict);
    }
    return true;
  }
  FILE *stream;
  const char *shownName = path;
  if (strcmp(path, "-") == 0) {
    stream = stdin;
    shownName = "<stdin>";
  } else {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n", path,
                     Err_ErrString());
      return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.load.statFailed)Unable to get information about "
                     "file \"%s\": %s.\n",
                     path, Err_ErrString());
      close(fd);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      MsgList_Append(messages, "@&!*@*@(msg.dictionary.load.isDirectory)\"%s\" is a directory.\n",
                     path);
      close(fd);
      return false;
    }
    stream = fdopen(fd, "r");
    if (stream == nullptr) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n", path,
                     Err_ErrString());
      close(fd);
      return false;
    }
  }
  BeginRead(dict, clearFirst, shownName);
  bool ok = DictionaryReadLines(dict, stream, defaultEncoding, messages);
  EndRead(dict);
  if (stream != stdin) {
    fclose(stream);
  }
  return ok;
}

bool Dictionary_LoadFile(Dictionary *dict, FileIODescriptor *fd, bool clearFirst,
                         int defaultEncoding, MsgList **messages) {
  const char *name = FileIO_Filename(fd) ? FileIO_Filename(fd) : "";
  if (FileIO_Seek(fd, 0, FILEIO_SEEK_BEGIN) == -1) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.loadFile.seekFailed)Cannot seek file \"%s\": %s.\n",
                   name, Err_ErrString());
    return false;
  }
  FILE *stream = FileIO_DescriptorToStream(fd, false);
  if (stream == nullptr) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.load.openFailed)Cannot open file \"%s\": %s.\n", name,
                   Err_ErrString());
    return false;
  }
  BeginRead(dict, clearFirst, name);
  bool ok = DictionaryReadLines(dict, stream, defaultEncoding, messages);
  EndRead(dict);
  fclose(stream);
  if (FileIO_Seek(fd, 0, FILEIO_SEEK_BEGIN) == -1) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.loadFile.seekFailed)Cannot seek file \"%s\": %s.\n",
                   name, Err_ErrString());
    ok = false;
  }
  return ok;
}

bool Dictionary_LoadFromBuffer(Dictionary *dict, const char *text, bool append, int defaultEncoding,
                               MsgList **messages) {
  BeginRead(dict, !append, nullptr);
  const char *p = text;
  const char *end = text + strlen(text);
  bool fatal = false;
  bool rejected = false;
  // Each line is parsed in a scratch copy that ends in a NUL.
  std::string scratch;
  while (p < end) {
    const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    size_t len = nl ? static_cast<size_t>(nl - p) : static_cast<size_t>(end - p);
    size_t textLen = len > 0 && p[len - 1] == '\r' ? len - 1 : len;
    scratch.assign(p, textLen);
    int result = ParseTextLine(dict, scratch, messages);
    p = nl ? nl + 1 : end;
    if (result == 1) {
      rejected = true;
    } else if (result == 2) {
      fatal = true;
      break;
    }
  }
  explicit_bzero(scratch.data(), scratch.size());
  dict->lineNumber = 0;
  bool settled = Settle(dict, defaultEncoding, false, messages);
  EndRead(dict);
  return !fatal && !rejected && settled;
}

bool Dictionary_LoadAndClear(Dictionary *dict, const char *path) {
  return LoadAndLog(dict, path, true, STRING_ENCODING_DEFAULT);
}

bool Dictionary_LoadWithDefaultEncoding(Dictionary *dict, const char *path, int defaultEncoding) {
  return LoadAndLog(dict, path, true, defaultEncoding);
}

bool Dictionary_Append(Dictionary *dict, const char *path) {
  return LoadAndLog(dict, path, false, STRING_ENCODING_DEFAULT);
}

bool Dictionary_ChangeEncoding(Dictionary *dict, int encoding) {
  encoding = Unicode_ResolveEncoding(encoding);
  if (encoding < 0) {
    return false;
  }
  if (dict->encoding == -2) {
    return DictionarySetEncoding(dict, nullptr, encoding, nullptr);
  }
  if (dict->encoding == encoding) {
    return true;
  }
  // Every value and name must survive the trip before anything changes.
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    auto *e = static_cast<DictEntry *>(l);
    if (encoding == STRING_ENCODING_UTF8) {
      break;
    }
    char *name = Unicode_GetAllocBytes(e->name, encoding, -1, nullptr);
    bool ok = name != nullptr;
    free(name);
    if (ok && DictionaryIsStringType(e->type) && e->value.stringValue != nullptr) {
      char *value = Unicode_GetAllocBytes(e->value.stringValue, encoding, -1, nullptr);
      ok = value != nullptr;
      ZeroAndFree(value);
    }
    if (!ok) {
      return false;
    }
  }
  // Lines written back verbatim are in the old encoding's bytes: carry them
  // over where they can be, keep them as they are where they cannot.
  for (DictLink *l = dict->lines.next; l != &dict->lines; l = l->next) {
    auto *line = static_cast<DictLine *>(l);
    if (line->text == nullptr ||
        !Unicode_IsBufferValid(line->text, Bytes(line->text), dict->encoding)) {
      continue;
    }
    char *utf8 = Unicode_AllocWithLength(line->text, Bytes(line->text), dict->encoding);
    char *converted = Unicode_GetAllocBytes(utf8, encoding, -1, nullptr);
    free(utf8);
    if (converted != nullptr) {
      DictionaryReleaseLineText(line);
      line->text = converted;
    }
  }
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    auto *e = static_cast<DictEntry *>(l);
    if (DictionaryIsStringType(e->type)) {
      e->modified = true;
    }
  }
  dict->encoding = encoding;
  return true;
}

}  // extern "C"
