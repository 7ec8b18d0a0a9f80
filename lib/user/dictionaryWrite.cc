// Writing dictionaries back: the buffer form, the atomic file writer,
// headers, the interpreter line and executable files.

#include <brellis/dictionary.h>
#include <brellis/dictll.h>
#include <brellis/dynbuf.h>
#include <brellis/err.h>
#include <brellis/file.h>
#include <brellis/fileIO.h>
#include <brellis/log.h>
#include <brellis/msg.h>
#include <brellis/msgList.h>
#include <brellis/panic.h>
#include <brellis/str.h>
#include <brellis/unicode.h>
#include <brellis/util.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "user/dictionaryInt.h"

namespace {

enum class Outcome { kOk, kNoMemory, kUnrepresentable };

// Writes e as `name = "value"` in the dictionary's encoding.
Outcome WriteCanonical(DynBuf *out, Dictionary *dict, DictEntry *e) {
  char buf[32];
  const char *text = DictionaryCanonicalText(e, buf);
  int enc = dict->encoding;
  char *name = Unicode_GetAllocBytes(e->name, enc, -1, nullptr);
  char *value = Unicode_GetAllocBytes(text ? text : "", enc, -1, nullptr);
  Outcome result = Outcome::kOk;
  if (name == nullptr || value == nullptr) {
    result = Outcome::kUnrepresentable;
  } else if (!DictLL_MarshalLine(out, name, value)) {
    result = Outcome::kNoMemory;
  }
  free(name);
  if (value != nullptr) {
    explicit_bzero(value, strlen(value));
    free(value);
  }
  return result;
}

Outcome WriteVerbatim(DynBuf *out, const char *text) {
  return DictLL_MarshalLine(out, nullptr, text) ? Outcome::kOk : Outcome::kNoMemory;
}

Outcome WriteOnce(Dictionary *dict, DynBuf *out, DictEntry **failed) {
  for (DictLink *l = dict->entries.next; l != &dict->entries; l = l->next) {
    static_cast<DictEntry *>(l)->written = false;
  }
  // The leading comment block (interpreter line and header included).
  DictLink *l = dict->lines.next;
  for (; l != &dict->lines; l = l->next) {
    auto *line = static_cast<DictLine *>(l);
    if (line->text == nullptr || line->text[0] != '#') {
      break;
    }
    if (WriteVerbatim(out, line->text) != Outcome::kOk) return Outcome::kNoMemory;
  }
  if (!DictLL_MarshalLine(out, ".encoding", Unicode_EncodingEnumToName(dict->encoding))) {
    return Outcome::kNoMemory;
  }
  auto canonical = [&](DictEntry *e) {
    e->written = true;
    Outcome r = WriteCanonical(out, dict, e);
    if (r == Outcome::kUnrepresentable) *failed = e;
    return r;
  };
  for (DictLink *el = dict->entries.next; el != &dict->entries; el = el->next) {
    auto *e = static_cast<DictEntry *>(el);
    if (!e->written && e->quiet && !e->isDefault &&
        (e->line == nullptr || dict->keySafe != nullptr)) {
      if (Outcome r = canonical(e); r != Outcome::kOk) return r;
    }
  }
  for (; l != &dict->lines; l = l->next) {
    auto *line = static_cast<DictLine *>(l);
    DictEntry *e = line->entry;
    if (e == nullptr) {
      if (line->text != nullptr && WriteVerbatim(out, line->text) != Outcome::kOk) {
        return Outcome::kNoMemory;
      }
      continue;
    }
    if (e->written) {
      continue;
    }
    if ((!e->modified || e->isDefault) && line->text != nullptr) {
      e->written = true;
      if (WriteVerbatim(out, line->text) != Outcome::kOk) return Outcome::kNoMemory;
    } else if (Outcome r = canonical(e); r != Outcome::kOk) {
      return r;
    }
  }
  for (DictLink *el = dict->entries.next; el != &dict->entries; el = el->next) {
    auto *e = static_cast<DictEntry *>(el);
    if (!e->written && !e->isDefault) {
      if (Outcome r = canonical(e); r != Outcome::kOk) return r;
    }
  }
  return Outcome::kOk;
}

// Writes size - 1 bytes of buf (all but the NUL) as the whole content of
// the file behind fd. Every step must succeed, down to the data reaching
// the disk.
bool WriteBufferToHandle(FileIODescriptor *fd, const char *buf, size_t size, MsgList **messages) {
  const char *name = FileIO_Filename(fd) ? FileIO_Filename(fd) : "";
  FILE *stream = FileIO_DescriptorToStream(fd, false);
  if (stream == nullptr) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.descToStream)An error occurred while "
                   "converting the descriptor of file \"%s\" while it is open: %s.\n",
                   name, Err_ErrString());
    return false;
  }
  bool ok = false;
  size_t len = size - 1;
  if (fseeko(stream, 0, SEEK_SET) != 0) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.seek)An error occurred while seeking within "
                   "configuration file \"%s\":%s.\n",
                   name, Err_ErrString());
  } else if (fwrite(buf, 1, len, stream) != len) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.write)An error occurred while writing "
                   "configuration file \"%s\": %s.\n",
                   name, Err_ErrString());
  } else if (fflush(stream) != 0) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.flush)An error occurred while flushing "
                   "configuration file \"%s\": %s.\n",
                   name, Err_ErrString());
  } else if (ftruncate(fileno(stream), static_cast<off_t>(len)) != 0) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.truncate)An error occurred while truncating "
                   "configuration file \"%s\":%s.\n",
                   name, Err_ErrString());
  } else if (fsync(fileno(stream)) != 0) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.sync)An error occurred while syncing "
                   "configuration file \"%s\": %s.\n",
                   name, Err_ErrString());
  } else {
    ok = true;
  }
  if (fclose(stream) != 0 && ok) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.close)An error occurred while closing configuration "
                   "file \"%s\": %s.\n",
                   name, Err_ErrString());
    ok = false;
  }
  return ok;
}

// What a write collected becomes the calling thread's pending messages.
void LogMessages(MsgList *messages) {
  Msg_AppendMsgList(messages);
  MsgList_Free(messages);
}

}  // namespace

bool DictionaryWriteFileTo(Dictionary *dict, FileIODescriptor *fd, FileIODescriptor *tempFd,
                           MsgList **messages) {
  char *buf;
  size_t size;
  if (!Dictionary_WriteToBuffer(dict, true, &buf, &size)) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.writefile.export)An error occurred while exporting a "
                   "dictionary to a buffer.\n");
    return false;
  }
  bool ok;
  FileIODescriptor ownTemp;
  FileIO_Invalidate(&ownTemp);
  FileIODescriptor *temp = nullptr;
  std::string callerTempName;
  uint32_t callerTempAccess = 0;
  if (tempFd != nullptr && FileIO_IsValid(tempFd)) {
    temp = tempFd;
    callerTempName = FileIO_Filename(tempFd) ? FileIO_Filename(tempFd) : "";
    callerTempAccess = tempFd->flags;
  } else if (FileIO_AtomicTempFile(fd, &ownTemp) == FILEIO_SUCCESS) {
    temp = &ownTemp;
  }
  if (temp == nullptr) {
    ok = WriteBufferToHandle(fd, buf, size, messages);
  } else if (!WriteBufferToHandle(temp, buf, size, messages)) {
    // The old file stays as it was; an incomplete temporary file of our own
    // goes away.
    ok = false;
    if (temp == &ownTemp) {
      FileIO_CloseAndUnlink(&ownTemp);
    }
  } else {
    std::string tempName = FileIO_Filename(temp) != nullptr ? FileIO_Filename(temp) : "";
    if (FileIO_AtomicUpdate(temp, fd)) {
      ok = true;
    } else {
      // No rename: our temporary file must not stay behind; write in place.
      if (temp == &ownTemp && !tempName.empty()) {
        File_UnlinkNoFollow(tempName.c_str());
      }
      ok = WriteBufferToHandle(fd, buf, size, messages);
    }
  }
  if (temp == tempFd && tempFd != nullptr && !FileIO_IsValid(tempFd) && !callerTempName.empty()) {
    FileIO_Open(tempFd, callerTempName.c_str(), callerTempAccess, FILEIO_OPEN);
  }
  explicit_bzero(buf, size);
  free(buf);
  return ok;
}

bool DictionaryWriteTo(Dictionary *dict, const char *path, MsgList **messages) {
  struct stat st;
  int mode = stat(path, &st) == 0 ? static_cast<int>(st.st_mode & 07777) : 0754;
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  FileIOResult r = FileIO_Create(&fd, path, FILEIO_OPEN_ACCESS_READ | FILEIO_OPEN_ACCESS_WRITE,
                                 FILEIO_OPEN_CREATE, mode);
  if (r != FILEIO_SUCCESS) {
    int err = errno;
    if (err == EPERM || err == EACCES || err == EROFS) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.permissions)Access to \"%s\" failed due to file "
                     "system permissions issues\n",
                     path);
    } else if (err == ENAMETOOLONG) {
      MsgList_Append(messages, "@&!*@*@(msg.dictionary.nameTooLong)%s", Err_Errno2String(err));
    } else {
      MsgList_Append(messages,
                     "@&!*@*@(msg.dictionary.open)Cannot open configuration file \"%s\": %s.\n",
                     path, Err_Errno2String(err));
    }
    return false;
  }
  bool ok = DictionaryWriteFileTo(dict, &fd, nullptr, messages);
  if (FileIO_Close(&fd)) {
    MsgList_Append(messages,
                   "@&!*@*@(msg.dictionary.close)An error occurred while closing configuration "
                   "file \"%s\": %s.\n",
                   path, Err_ErrString());
    ok = false;
  }
  return ok;
}

extern "C" {

bool Dictionary_WriteToBuffer(Dictionary *dict, bool, char **buffer, size_t *size) {
  // Without key services no dictionary holds a key safe, so every write is
  // in clear.
  if (dict->encoding == -2) {
    int current = Unicode_ResolveEncoding(STRING_ENCODING_DEFAULT);
    dict->encoding = current >= 0 ? current : STRING_ENCODING_UTF8;
  }
  bool upgraded = false;
  for (;;) {
    DynBuf out;
    DynBuf_Init(&out);
    DictEntry *failed = nullptr;
    Outcome r = WriteOnce(dict, &out, &failed);
    if (r == Outcome::kOk && DynBuf_Append(&out, "", 1)) {
      DynBuf_Trim(&out);
      *size = out.size;
      *buffer = static_cast<char *>(DynBuf_Detach(&out));
      return true;
    }
    DynBuf_Destroy(&out);
    if (r != Outcome::kUnrepresentable || upgraded || dict->encoding == STRING_ENCODING_UTF8) {
      return false;
    }
    // Every value is UTF-8 in memory, so the upgraded write cannot fail
    // for the same reason: one upgrade is all it takes.
    Log_Info("%s: upgrading encoding from %s to %s\n", "Dictionary_WriteToBuffer",
             Unicode_EncodingEnumToName(dict->encoding), "UTF-8");
    if (!Dictionary_ChangeEncoding(dict, STRING_ENCODING_UTF8)) {
      return false;
    }
    upgraded = true;
  }
}

bool Dictionary_Write(Dictionary *dict, const char *path) {
  MsgList *messages = nullptr;
  bool ok = DictionaryWriteTo(dict, path, &messages);
  LogMessages(messages);
  return ok;
}

bool Dictionary_WriteFile(Dictionary *dict, FileIODescriptor *fd, FileIODescriptor *tempFd) {
  MsgList *messages = nullptr;
  bool ok = DictionaryWriteFileTo(dict, fd, tempFd, &messages);
  LogMessages(messages);
  return ok;
}

void Dictionary_SetHeader(Dictionary *dict, const char *const *lines) {
  DictLink *l = dict->lines.next;
  bool same = true;
  for (const char *const *h = lines; *h != nullptr; h++, l = l->next) {
    if (l == &dict->lines || static_cast<DictLine *>(l)->text == nullptr ||
        strcmp(static_cast<DictLine *>(l)->text, *h) != 0) {
      same = false;
      break;
    }
  }
  if (same) {
    return;
  }
  DictLink *first = dict->lines.next;
  for (const char *const *h = lines; *h != nullptr; h++) {
    auto *line =
        static_cast<DictLine *>(Util_SafeCalloc(-1, 1, sizeof(DictLine), __FILE__, __LINE__));
    line->text = Util_SafeStrdup(-1, *h, __FILE__, __LINE__);
    line->next = first;
    line->prev = first->prev;
    first->prev->next = line;
    first->prev = line;
  }
}

bool Dictionary_SetInterpreter(Dictionary *dict, const char *path) {
  DictLink *first = dict->lines.next;
  if (first != &dict->lines && static_cast<DictLine *>(first)->text != nullptr &&
      strncmp(static_cast<DictLine *>(first)->text, "#!", 2) == 0) {
    return false;
  }
  char *text = Str_Asprintf(nullptr, "#!%s", path);
  if (text == nullptr) {
    Panic("MEM_ALLOC %s:%d\n", __FILE__, __LINE__);
  }
  auto *line =
      static_cast<DictLine *>(Util_SafeCalloc(-1, 1, sizeof(DictLine), __FILE__, __LINE__));
  line->text = text;
  line->next = first;
  line->prev = &dict->lines;
  dict->lines.next = line;
  first->prev = line;
  return true;
}

bool Dictionary_MakeExecutable(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    Log_Info("%s: cannot stat configuration file %s: %s\n", "Dictionary_MakeExecutable", path,
             Err_ErrString());
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  if (chmod(path, mode | ((mode >> 2) & 0111)) != 0) {
    Log_Info("%s: cannot change mode of file %s: %s\n", "Dictionary_MakeExecutable", path,
             Err_ErrString());
    return false;
  }
  return true;
}

}  // extern "C"
