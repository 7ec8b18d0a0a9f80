// The dictionary record shared by the entry operations and the file
// readers and writers.
#ifndef LIB_USER_DICTIONARYINT_H
#define LIB_USER_DICTIONARYINT_H

#include <brellis/dictionary.h>
#include <brellis/msgList.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

struct DictLink {
  DictLink *prev;
  DictLink *next;
};

struct DictEntry;

struct DictLine : DictLink {
  char *text;        // the line as read, without its line end; owned
  DictEntry *entry;  // the entry this line defines, or NULL
};

union DictValue {
  bool boolValue;
  int32_t int32Value;
  double doubleValue;
  int32_t tristateValue;
  int64_t int64Value;
  char *stringValue;
};

struct DictEntry : DictLink {
  char *name;
  int32_t type;
  DictValue value;
  bool modified;
  bool written;
  bool isDefault;
  bool quiet;
  bool plain;
  // The text still holds file bytes that wait for the file's encoding.
  bool raw;
  // A read with another type has been logged for this entry.
  bool mismatchLogged;
  char *textCache;
  DictLine *line;
};

// Names compare without regard to ASCII letter case.
struct DictNameHash {
  size_t operator()(std::string_view s) const {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
      h = (h ^ static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c)) * 1099511628211ull;
    }
    return static_cast<size_t>(h);
  }
};
struct DictNameEqual {
  bool operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
      unsigned char x = static_cast<unsigned char>(a[i]);
      unsigned char y = static_cast<unsigned char>(b[i]);
      if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) {
        return false;
      }
    }
    return true;
  }
};
// Keys point into the entries' own names. The index grows with the
// dictionary: a fixed number of chains would turn lookups in large files
// into list walks.
using DictIndex = std::unordered_map<std::string_view, DictEntry *, DictNameHash, DictNameEqual>;

struct Dictionary {
  DictLink entries;  // list head of DictEntry
  DictLink lines;    // list head of DictLine
  char *fileName;    // only while a read is in progress
  int32_t lineNumber;
  DictIndex *index;  // name (any case) -> DictEntry
  void *keySafe;
  void *key;
  uint32_t entryCount;
  int32_t encoding;
};

// Entry and line bookkeeping (dictionary.cc).
DictEntry *DictionaryFind(Dictionary *dict, const char *name);
DictEntry *DictionaryAddEntry(Dictionary *dict, char *name, int32_t type, DictValue value);
void DictionaryRemoveEntry(Dictionary *dict, DictEntry *e);
DictLine *DictionaryAppendLine(Dictionary *dict, char *text, DictEntry *entry);
void DictionaryClear(Dictionary *dict);
bool DictionaryIsStringType(int32_t type);
// The value in canonical file form ("TRUE", "42", "default", the text);
// buf holds at least 32 bytes. NULL for a string entry without a value.
const char *DictionaryCanonicalText(const DictEntry *e, char *buf);

// Reading and encodings (dictionaryFile.cc).
int DictionaryParseReadLine(Dictionary *dict, char *line, char *name, char *value,
                            MsgList **messages);
bool DictionaryReadLines(Dictionary *dict, FILE *stream, int defaultEncoding, MsgList **messages);
bool DictionarySetEncoding(Dictionary *dict, const char *encodingName, int encoding,
                           MsgList **messages);
bool DictionaryWriteTo(Dictionary *dict, const char *path, MsgList **messages);
bool DictionaryWriteFileTo(Dictionary *dict, FileIODescriptor *fd, FileIODescriptor *tempFd,
                           MsgList **messages);
// Moves the messages of from (newer) ahead of *to.
void DictionaryMoveMessages(MsgList **to, MsgList *from);

#endif
