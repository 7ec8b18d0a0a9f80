// Dictionary files read and written back: the corpus compared byte for
// byte, the messages of bad input, encodings and the atomic writer.

#include <brellis/dictionary.h>
#include <brellis/fileIO.h>
#include <brellis/unicode.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/tempDir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

class DictionaryFileTest : public ::testing::Test {
 protected:
  ~DictionaryFileTest() override {
    Dictionary_Free(dict);
    MsgList_Free(messages);
  }
  bool LoadText(const std::string &content, int defaultEncoding = STRING_ENCODING_UTF8) {
    WriteFile(path, content);
    return Dictionary_Load(dict, path.c_str(), true, defaultEncoding, &messages);
  }
  std::string Written() {
    char *buf;
    size_t size;
    EXPECT_TRUE(Dictionary_WriteToBuffer(dict, true, &buf, &size));
    EXPECT_EQ(buf[size - 1], '\0');
    std::string out(buf, size - 1);
    free(buf);
    return out;
  }
  // Messages oldest first, as "id|text".
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (MsgList *m = messages; m; m = m->next) {
      out.insert(out.begin(), std::string(m->id) + "|" + m->text);
    }
    return out;
  }
  std::string Get(const char *name) {
    char *v = Dictionary_GetString(dict, "<none>", "%s", name);
    std::string s = v ? v : "<null>";
    free(v);
    return s;
  }

  testsupport::TempDir tmp;
  std::string path = tmp / "dict.cfg";
  Dictionary *dict = Dictionary_Create();
  MsgList *messages = nullptr;
};

TEST_F(DictionaryFileTest, CorpusWrittenBackByteForByte) {
  struct Case {
    const char *in;
    const char *out;
  } corpus[] = {
      {"", ".encoding = \"UTF-8\"\n"},
      // Comments, blanks, quoting, escapes and trailing comments survive.
      {"# header\n#\n\nname = \"value\"   # trailing\nbare=1\n \t \n# mid\nq = \"a|22b\"\n"
       "tab=\"a\tb\"\n",
       "# header\n#\n.encoding = \"UTF-8\"\n\nname = \"value\"   # trailing\nbare=1\n \t \n"
       "# mid\nq = \"a|22b\"\ntab=\"a\tb\"\n"},
      // The encoding line moves after the leading comments; others go.
      {"#!/bin/sh\nx = 1\n.encoding = \"utf8\"\ny = 2\n.encoding = \"UTF-8\"\n",
       "#!/bin/sh\n.encoding = \"UTF-8\"\nx = 1\ny = 2\n"},
      // Line ends are normalised: CRLF and lone CR.
      {"a = 1\r\nb = 2\rc = 3", ".encoding = \"UTF-8\"\na = 1\nb = 2\nc = 3\n"},
      // A byte-order mark is consumed.
      {"\xEF\xBB\xBFk = \"\xC3\xA9\"\n", ".encoding = \"UTF-8\"\nk = \"\xC3\xA9\"\n"},
      // Unknown metavariables are dropped, legacy encoding names honoured.
      {".odd = 1\nconfig.encoding = \"ISO-8859-1\"\nv = \"\xE9\"\n",
       ".encoding = \"ISO-8859-1\"\nv = \"\xE9\"\n"},
  };
  for (const Case &c : corpus) {
    EXPECT_TRUE(LoadText(c.in)) << c.in;
    EXPECT_EQ(Written(), c.out) << c.in;
    EXPECT_EQ(Messages(), std::vector<std::string>{}) << c.in;
  }
  EXPECT_EQ(Get("v"), "\xC3\xA9");
}

// Files are read in blocks of about 64 KiB: a CRLF split between two
// reads stays one line end, and lines longer than a block stay whole.
TEST_F(DictionaryFileTest, LineEndsAndLongLinesAcrossReadBlocks) {
  std::string longValue(200000, 'v');
  for (size_t pad = 65530; pad <= 65540; pad++) {
    std::string comment = "#" + std::string(pad, 'c');
    std::string in = comment + "\r\na = 1\r\nlong = \"" + longValue + "\"\rb = 2\n";
    ASSERT_TRUE(LoadText(in)) << pad;
    EXPECT_EQ(Written(),
              comment + "\n.encoding = \"UTF-8\"\na = 1\nlong = \"" + longValue + "\"\nb = 2\n")
        << pad;
    EXPECT_EQ(Get("LONG"), longValue);
  }
}

// Thousands of names: every one is found in any letter case, removed ones
// are gone without hiding any other, and a duplicate in another case is
// still caught.
TEST_F(DictionaryFileTest, ManyNamesFoundInAnyCase) {
  std::string in;
  for (int i = 0; i < 5000; i++) {
    in += "Section" + std::to_string(i % 7) + ".Key" + std::to_string(i) + " = " +
          std::to_string(i) + "\n";
  }
  ASSERT_TRUE(LoadText(in));
  for (int i = 0; i < 5000; i += 3) {
    std::string name = "section" + std::to_string(i % 7) + ".key" + std::to_string(i);
    Dictionary_Unset(dict, name.c_str());
  }
  for (int i = 0; i < 5000; i++) {
    std::string name = "SECTION" + std::to_string(i % 7) + ".kEY" + std::to_string(i);
    EXPECT_EQ(Get(name.c_str()), i % 3 == 0 ? "<none>" : std::to_string(i)) << name;
  }
  EXPECT_FALSE(LoadText(in + "section1.key1 = again\n"));
  EXPECT_EQ(Get("Section1.Key1"), "1");
}

// Large dictionaries are carved from blocks that a freed dictionary leaves
// for the next load: whatever the first did with its entries (typed them,
// replaced values kept in the entry and values of their own, removed
// some), a load into the reused memory reads what a load into fresh memory
// did, and nothing of the first shows through.
TEST_F(DictionaryFileTest, LoadIntoTheMemoryOfAFreedDictionary) {
  std::string in = "# big\n";
  for (int i = 0; i < 20000; i++) {
    std::string n = std::to_string(i);
    in += "k" + n + (i % 2 == 0 ? " = " + n : " = \"x|7C" + n + "\"") + " # as read\n";
  }
  ASSERT_TRUE(LoadText(in));
  std::string first = Written();
  EXPECT_EQ(Dictionary_GetInt32(dict, -1, "k0"), 0);
  Dictionary_SetString(dict, "changed", "k1");
  Dictionary_SetString(dict, "changed too", "k2");
  Dictionary_Unset(dict, "k4");
  Dictionary_SetString(dict, "new", "extra");
  Dictionary_Free(dict);
  dict = Dictionary_Create();
  ASSERT_TRUE(LoadText(in));
  EXPECT_EQ(Written(), first);
  EXPECT_EQ(Get("k1"), "x|1");
  EXPECT_EQ(Get("k2"), "2");
  EXPECT_EQ(Get("k19999"), "x|19999");
  EXPECT_EQ(Get("extra"), "<none>");
}

TEST_F(DictionaryFileTest, ChangedEntriesRewrittenInPlace) {
  ASSERT_TRUE(LoadText("# c\na = 1 # one\nb = \"two\"\nc = 3\n"));
  Dictionary_SetInt32(dict, 10, "A");
  Dictionary_SetString(dict, "x\"y", "new");
  const char *quietValue = "q";
  Dictionary_Set(dict, &quietValue, DICT_TYPE_STRING | DICT_FLAG_QUIET, "quiet");
  Dictionary_GetBool(dict, true, "onlyDefault");
  EXPECT_EQ(Written(),
            "# c\n.encoding = \"UTF-8\"\nquiet = \"q\"\na = \"10\"\nb = \"two\"\nc = 3\n"
            "new = \"x|22y\"\n");
}

TEST_F(DictionaryFileTest, DuplicatesKeepTheFirstAndFailTheRead) {
  EXPECT_FALSE(LoadText("a = 1\nA = 2\nb = 3\n"));
  EXPECT_EQ(Get("a"), "1");
  EXPECT_EQ(Get("b"), "3");
  std::string file = path;
  EXPECT_EQ(Messages(), std::vector<std::string>{"msg.dictionary.alreadyDefined|File \"" + file +
                                                 "\" line 2: Variable \"A\" is already "
                                                 "defined.\n"});
  EXPECT_EQ(Written(), ".encoding = \"UTF-8\"\na = 1\nA = 2\nb = 3\n");

  std::string many;
  for (int i = 0; i < 102; i++) many += "d = " + std::to_string(i) + "\n";
  many += "after = 1\n";
  MsgList_Free(messages);
  messages = nullptr;
  EXPECT_FALSE(LoadText(many));
  EXPECT_EQ(Messages().size(), 101u);
  EXPECT_FALSE(Dictionary_IsDefined(dict, "after"));
}

TEST_F(DictionaryFileTest, SyntaxErrorEndsTheReadWithTheRightVariant) {
  EXPECT_FALSE(LoadText("a = 1\nname = \"x\"junk\nb = 2\n"));
  EXPECT_EQ(Get("a"), "1");
  EXPECT_FALSE(Dictionary_IsDefined(dict, "b"));
  EXPECT_EQ(Messages(), std::vector<std::string>{"msg.dictionary.read.syntaxError|File \"" + path +
                                                 "\" line 2: Syntax error.\n"});
  MsgList_Free(messages);
  messages = nullptr;
  EXPECT_FALSE(Dictionary_LoadFromBuffer(dict, "x y\n", false, 0, &messages));
  EXPECT_EQ(Messages(),
            std::vector<std::string>{"msg.dictionary.read.syntaxErrorNoFile|Syntax error.\n"});
}

TEST_F(DictionaryFileTest, EncodingLines) {
  EXPECT_TRUE(LoadText(".encoding = \"UTF-8\"\na = 1\n.encoding = \"utf-8\"\n"));
  EXPECT_FALSE(LoadText(".encoding = \"UTF-8\"\n.encoding = \"ISO-8859-1\"\na = 1\n"));
  EXPECT_FALSE(LoadText(".encoding = \"klingon\"\n"));
  std::vector<std::string> m = Messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0], "msg.dictionary.hasEncoding|File \"" + path +
                      "\" (line 2) already has encoding \"UTF-8\".\n");
  EXPECT_EQ(m[1], "msg.dictionary.unknownEncoding|File \"" + path +
                      "\" (line 1) specifies a character encoding (klingon) that is not "
                      "supported.\n");
  // A rejected encoding line fails the read even when another one settled it.
  EXPECT_FALSE(LoadText(".encoding = \"UTF-8\"\na = 1\na = 2\n"));
}

TEST_F(DictionaryFileTest, InvalidBytesEndTheReadButNothingStaysUndecoded) {
  // Known encoding: the bad line is fatal at once.
  EXPECT_FALSE(LoadText(".encoding = \"UTF-8\"\na = ok\nb = \"\xFF\"\nc = 1\n"));
  EXPECT_EQ(Get("a"), "ok");
  EXPECT_FALSE(Dictionary_IsDefined(dict, "c"));
  // Encoding settled at the end: the bad value goes, the others are decoded.
  MsgList_Free(messages);
  messages = nullptr;
  EXPECT_FALSE(LoadText("bad = \"\xE9\"\ngood = \"\xC3\xA9\"\nsyntax error\nlate = 1\n"));
  EXPECT_EQ(Dictionary_GetEncoding(dict), STRING_ENCODING_UTF8);
  EXPECT_FALSE(Dictionary_IsDefined(dict, "bad"));
  EXPECT_EQ(Get("good"), "\xC3\xA9");
  std::vector<std::string> m = Messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].rfind("msg.dictionary.read.syntaxError|", 0), 0u);
  EXPECT_EQ(m[1], "msg.dictionary.badEncodedInputNoLine|File \"" + path +
                      "\": Value \"\\xE9\" for variable \"bad\" is not valid in encoding "
                      "\"UTF-8\".\n");
  EXPECT_EQ(m[2], "msg.dictionary.badDefaultEncoding|An error occurred while decoding file \"" +
                      path + "\" using the default character encoding.\n");
}

// Values are byte strings whatever the encoding: a wide one decodes them by
// their length, never by looking for a wide NUL past their end.
TEST_F(DictionaryFileTest, WideEncodingDecodesValuesByTheirBytes) {
  EXPECT_FALSE(LoadText("v = \"ab\"\nw = \"a\"\n", STRING_ENCODING_UTF16_LE));
  EXPECT_EQ(Get("v"), "\xE6\x89\xA1");
  EXPECT_FALSE(Dictionary_IsDefined(dict, "w"));
}

TEST_F(DictionaryFileTest, ByteOrderMarkTriesUtf8FirstAndKeepsEarlierMessages) {
  MsgList_Append(&messages, "@&!*@*@(test.earlier)earlier");
  // Not UTF-8 after all: the default (Latin-1) decodes it, and only the
  // failed attempt's messages go.
  EXPECT_TRUE(LoadText("\xEF\xBB\xBFv = \"\xE9\"\n", STRING_ENCODING_ISO_8859_1));
  EXPECT_EQ(Get("v"), "\xC3\xA9");
  EXPECT_EQ(Messages(), std::vector<std::string>{"test.earlier|earlier"});
  EXPECT_TRUE(LoadText("\xEF\xBB\xBFv = \"\xC3\xA9\"\n", STRING_ENCODING_ISO_8859_1));
  EXPECT_EQ(Get("v"), "\xC3\xA9");
  EXPECT_EQ(Dictionary_GetEncoding(dict), STRING_ENCODING_UTF8);
}

TEST_F(DictionaryFileTest, EncodingsNeverConvertTwice) {
  EXPECT_TRUE(LoadText(".encoding = \"ISO-8859-1\"\nv = \"\xE9\"\n.encoding = \"latin1\"\n"));
  EXPECT_EQ(Get("v"), "\xC3\xA9");
  // Values made in memory are UTF-8 already.
  Dictionary *mem = Dictionary_Create();
  Dictionary_SetString(mem, "\xC3\xA9", "v");
  ASSERT_TRUE(Dictionary_ChangeEncoding(mem, STRING_ENCODING_ISO_8859_1));
  ASSERT_TRUE(Dictionary_ChangeEncoding(mem, STRING_ENCODING_ISO_8859_1));
  char *v = Dictionary_GetString(mem, nullptr, "v");
  EXPECT_STREQ(v, "\xC3\xA9");
  free(v);
  char *buf;
  size_t size;
  ASSERT_TRUE(Dictionary_WriteToBuffer(mem, false, &buf, &size));
  EXPECT_EQ(std::string(buf, size - 1), ".encoding = \"ISO-8859-1\"\nv = \"\xE9\"\n");
  free(buf);
  Dictionary_Free(mem);
}

TEST_F(DictionaryFileTest, UnrepresentableValueUpgradesToUtf8Once) {
  ASSERT_TRUE(LoadText("# caf\xE9\n.encoding = \"ISO-8859-1\"\nold = \"\xE9\"\n"));
  Dictionary_SetString(dict, "\xE2\x82\xAC", "euro");
  EXPECT_EQ(Written(),
            "# caf\xC3\xA9\n.encoding = \"UTF-8\"\nold = \"\xC3\xA9\"\neuro = \"\xE2\x82\xAC\"\n");
  EXPECT_EQ(Dictionary_GetEncoding(dict), STRING_ENCODING_UTF8);
  // Bytes that are not UTF-8 in a UTF-8 dictionary go out as they are.
  Dictionary_SetString(dict, "\xFF\xFE", "junk");
  EXPECT_NE(Written().find("junk = \"\xFF\xFE\"\n"), std::string::npos);
}

TEST_F(DictionaryFileTest, BufferReadsCrlfAndReportsWithoutFile) {
  EXPECT_FALSE(
      Dictionary_LoadFromBuffer(dict, "a = 1\r\nb = \"x\"\r\na = 2\r\n", false, 0, &messages));
  EXPECT_EQ(Get("b"), "x");
  EXPECT_EQ(Messages(), std::vector<std::string>{"msg.dictionary.alreadyDefinedNoFile|Variable "
                                                 "\"a\" is already defined.\n"});
  EXPECT_TRUE(Dictionary_LoadFromBuffer(dict, "c = 3\n", true, 0, nullptr));
  EXPECT_EQ(Get("b"), "x");
  EXPECT_TRUE(Dictionary_LoadFromBuffer(dict, "c = 3\n", false, 0, nullptr));
  EXPECT_FALSE(Dictionary_IsDefined(dict, "b"));
}

TEST_F(DictionaryFileTest, FilesThatCannotBeReadLeaveTheDictionaryAlone) {
  ASSERT_TRUE(LoadText("keep = 1\n"));
  std::string missing = tmp / "missing";
  EXPECT_FALSE(Dictionary_Load(dict, missing.c_str(), true, 0, &messages));
  EXPECT_FALSE(Dictionary_Load(dict, tmp.path().c_str(), true, 0, &messages));
  EXPECT_EQ(Get("keep"), "1");
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                "msg.dictionary.load.openFailed|Cannot open file \"" + missing +
                    "\": No such file or directory.\n",
                "msg.dictionary.load.isDirectory|\"" + tmp.path() + "\" is a directory.\n"}));
  EXPECT_TRUE(Dictionary_Load(dict, nullptr, true, 0, nullptr));
  EXPECT_FALSE(Dictionary_IsDefined(dict, "keep"));
}

TEST_F(DictionaryFileTest, LoadThroughAnOpenHandle) {
  WriteFile(path, "h = 1\n");
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  ASSERT_EQ(FileIO_Open(&fd, path.c_str(), FILEIO_OPEN_ACCESS_READ, FILEIO_OPEN), FILEIO_SUCCESS);
  ASSERT_EQ(FileIO_Seek(&fd, 3, FILEIO_SEEK_BEGIN), 3);
  EXPECT_TRUE(Dictionary_LoadFile(dict, &fd, true, 0, &messages));
  EXPECT_EQ(Get("h"), "1");
  EXPECT_EQ(FileIO_Seek(&fd, 0, FILEIO_SEEK_CURRENT), 0);
  FileIO_Close(&fd);
}

TEST_F(DictionaryFileTest, WriteReplacesTheFileAndKeepsItsMode) {
  WriteFile(path, "# mine\nx = 1\n", 0640);
  ASSERT_TRUE(Dictionary_Load(dict, path.c_str(), true, 0, &messages));
  Dictionary_SetInt32(dict, 2, "x");
  ASSERT_TRUE(Dictionary_Write(dict, path.c_str()));
  EXPECT_EQ(ReadFile(path), "# mine\n.encoding = \"UTF-8\"\nx = \"2\"\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(stat((path + "~").c_str(), &st), 0);
  std::string fresh = tmp / "fresh";
  ASSERT_TRUE(Dictionary_Write(dict, fresh.c_str()));
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0754u & ~static_cast<unsigned>(umask(022)));
}

TEST_F(DictionaryFileTest, FailedWriteLeavesTheOriginal) {
  WriteFile(path, "small = 1\n");
  pid_t pid = fork();
  if (pid == 0) {
    // The new content exceeds what the process may write to a file.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    Dictionary *d = Dictionary_Create();
    Dictionary_SetString(d, std::string(200, 'v').c_str(), "big");
    _exit(Dictionary_Write(d, path.c_str()) ? 1 : 0);
  }
  int status;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(path), "small = 1\n");
  struct stat st;
  EXPECT_NE(stat((path + "~").c_str(), &st), 0);
}

TEST_F(DictionaryFileTest, HeaderInterpreterAndExecutable) {
  const char *header[] = {"# one", "# two", nullptr};
  ASSERT_TRUE(LoadText("# one\nx = 1\n"));
  Dictionary_SetHeader(dict, header);
  Dictionary_SetHeader(dict, header);
  EXPECT_TRUE(Dictionary_SetInterpreter(dict, "/usr/bin/tool"));
  EXPECT_FALSE(Dictionary_SetInterpreter(dict, "/other"));
  EXPECT_EQ(Written(), "#!/usr/bin/tool\n# one\n# two\n# one\n.encoding = \"UTF-8\"\nx = 1\n");
  chmod(path.c_str(), 0640);
  ASSERT_TRUE(Dictionary_MakeExecutable(path.c_str()));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_FALSE(Dictionary_MakeExecutable((tmp / "nothing").c_str()));
}

TEST_F(DictionaryFileTest, PlainDictionaryUnlocksAndEncryptedOneDoesNot) {
  ASSERT_TRUE(LoadText("a = 1\n"));
  EXPECT_TRUE(Dictionary_Unlock(dict, nullptr, nullptr));
  EXPECT_FALSE(Dictionary_IsEncrypted(dict));
  ASSERT_TRUE(LoadText("encryption.keySafe = \"k\"\nencryption.data = \"d\"\n"));
  EXPECT_TRUE(Dictionary_IsEncrypted(dict));
  EXPECT_FALSE(Dictionary_Unlock(dict, nullptr, nullptr));
}

}  // namespace
