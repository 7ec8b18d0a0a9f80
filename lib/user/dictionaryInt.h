// The dictionary record shared by the entry operations and the file
// readers and writers.
#ifndef LIB_USER_DICTIONARYINT_H
#define LIB_USER_DICTIONARYINT_H

#include <brellis/dictionary.h>
#include <brellis/msgList.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

struct DictLink {
  DictLink *prev;
  DictLink *next;
};

struct DictEntry;

struct DictLine : DictLink {
  char *text;        // the line as read, without its line end; owned
  DictEntry *entry;  // the entry this line defines, or NULL
  // The record is its entry's ownLine and goes with the entry.
  bool inEntry;
  // The text lies in the entry's allocation: it is zeroed, never freed.
  bool textInEntry;
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
  char *name;  // the bytes right after the record, allocated with it
  int32_t type;
  uint32_t nameHash;  // for the index, see DictIndex
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
  // Allocated from the dictionary's arena, released only when it is
  // cleared.
  bool inArena;
  // The string value lies in the entry's own piece of the arena: it is
  // zeroed, never freed (see DictionaryReleaseValue).
  bool valueInEntry;
  char *textCache;
  DictLine *line;
  size_t nameLen;
  // The line record of an entry read from a file: one allocation for both.
  DictLine ownLine;
};

// Name (any ASCII letter case) -> entry: open addressing with linear
// probing, each slot holding the entry and its name's hash. A probe reads
// the slots, which lie side by side, and touches an entry only where the
// hashes agree, so that looking up a name, present or not, costs one cache
// miss in the slots and at most one in the entries. The slot count starts
// at 512 and doubles to keep the index at most half full: a fixed number of
// chains would turn lookups in large files into list walks.
struct DictIndexSlot {
  DictEntry *entry;  // NULL for a free slot
  uint32_t hash;     // the entry's nameHash
};

struct DictIndex {
  DictIndexSlot *slots;
  uint32_t mask;  // slot count - 1, a power of two
  uint32_t count;
};

// Entries read from files are carved from large blocks: loading allocates
// and frees a block per few hundred lines instead of a record per line.
struct DictArenaBlock {
  DictArenaBlock *next;
  size_t size;  // usable bytes after the header
  size_t used;
  // One of the large blocks that go back to the pool (see ArenaAlloc);
  // else it came from malloc.
  bool pooled;
};

struct Dictionary {
  DictLink entries;  // list head of DictEntry
  DictLink lines;    // list head of DictLine
  char *fileName;    // only while a read is in progress
  int32_t lineNumber;
  DictIndex index;
  DictArenaBlock *arena;  // the newest block first
  void *keySafe;
  void *key;
  uint32_t entryCount;
  int32_t encoding;
};

// Entry and line bookkeeping (dictionary.cc).
uint32_t DictionaryNameHash(std::string_view name);
DictEntry *DictionaryFind(Dictionary *dict, std::string_view name);
// The same, with the name's DictionaryNameHash already at hand.
DictEntry *DictionaryFindHashed(Dictionary *dict, std::string_view name, uint32_t hash);
// The entry takes its own copy of name and ownership of a string value.
DictEntry *DictionaryAddEntry(Dictionary *dict, std::string_view name, int32_t type,
                              DictValue value);
// An untyped entry read from a file, with a line record holding a copy of
// text appended to the line list. hash is the name's DictionaryNameHash.
// The entry takes ownership of ownedValue when it is given, and keeps a copy
// of value (which holds no NUL) otherwise.
DictEntry *DictionaryAddReadEntry(Dictionary *dict, std::string_view name, uint32_t hash,
                                  std::string_view value, char *ownedValue, std::string_view text);
// Zeroes a string entry's value and lets go of it; the value is then null.
void DictionaryReleaseValue(DictEntry *e);
// Zeroes a line's text and lets go of it.
void DictionaryReleaseLineText(DictLine *line);
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
