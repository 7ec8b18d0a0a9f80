// Code-point operations, conversions at the borders, and the case-folding
// table checked against the Unicode data it was generated from.

#include <brellis/codeset.h>
#include <brellis/unicode.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "unicode/unicodeCaseFoldInt.h"

namespace {

std::string Take(char *s) {
  std::string out = s == nullptr ? "<null>" : s;
  free(s);
  return out;
}

// Five code points of one to four bytes each.
const char kFive[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";

TEST(UnicodeRange, SubstrClampsStartAndLength) {
  EXPECT_EQ(Take(Unicode_Substr(kFive, 7, 1)), "");
  EXPECT_EQ(Take(Unicode_Substr(kFive, 2, -1)), "\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Take(Unicode_Substr(kFive, 1, 2)), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(Take(Unicode_Substr(kFive, -3, 2)), "");
  EXPECT_EQ(Take(Unicode_Substr(kFive, 3, 99)), "\xF0\x9F\x98\x80z");
  EXPECT_EQ(Unicode_LengthInCodePoints(kFive), 5);
  EXPECT_EQ(Unicode_Substr(nullptr, 0, 1), nullptr);
  EXPECT_EQ(Unicode_ReplaceRange(nullptr, 0, 1, "a", 0, 1), nullptr);
  EXPECT_EQ(Unicode_FindSubstrInRange(nullptr, 0, -1, "a", 0, -1), -1);
  EXPECT_DEATH(Unicode_Substr("a\xFF", 0, 1), "Unicode_Substr: invalid UTF8 string @ ");
}

TEST(UnicodeRange, ReplaceRangeSplicesCodePoints) {
  EXPECT_EQ(Take(Unicode_ReplaceRange(kFive, 1, 2, "XYZ", 1, 1)), "aY\xF0\x9F\x98\x80z");
  EXPECT_EQ(Take(Unicode_ReplaceRange("abc", 3, 0, "\xC3\xA9", 0, -1)), "abc\xC3\xA9");
  EXPECT_EQ(Take(Unicode_ReplaceRange("abc", 0, -1, "", 0, 0)), "");
}

TEST(UnicodeRange, FindFirstAndLastInRange) {
  const char *s = "\xC3\xA9xy\xC3\xA9xy";  // éxyéxy
  EXPECT_EQ(Unicode_FindSubstrInRange(s, 0, -1, "\xC3\xA9x", 0, -1), 0);
  EXPECT_EQ(Unicode_FindSubstrInRange(s, 1, -1, "\xC3\xA9x", 0, -1), 3);
  EXPECT_EQ(Unicode_FindLastSubstrInRange(s, 0, -1, "\xC3\xA9x", 0, -1), 3);
  EXPECT_EQ(Unicode_FindLastSubstrInRange(s, 0, 4, "\xC3\xA9x", 0, -1), 0);
  EXPECT_EQ(Unicode_FindSubstrInRange(s, 0, 2, "xy", 0, -1), -1);  // crosses the range end
  EXPECT_EQ(Unicode_FindSubstrInRange(s, 2, 3, "", 0, 0), 2);
  EXPECT_EQ(Unicode_FindLastSubstrInRange(s, 2, 3, "", 0, 0), 2);
  EXPECT_EQ(Unicode_FindSubstrInRange("ab", 0, -1, "abc", 0, -1), -1);
  EXPECT_EQ(Unicode_FindSubstrInRange(s, 0, -1, "zyx", 1, 1), 2);  // sought range "y"
}

TEST(UnicodeCompare, OrderCaseFoldingAndSurrogates) {
  EXPECT_EQ(Unicode_CompareRange("abc", 0, -1, "abc", 0, -1, false), 0);
  EXPECT_EQ(Unicode_CompareRange("ab", 0, -1, "abc", 0, -1, false), -1);
  EXPECT_EQ(Unicode_CompareRange("abd", 0, -1, "abc", 0, -1, false), 1);
  EXPECT_EQ(Unicode_CompareRange("\xC3\x89T\xC3\x89", 0, -1, "\xC3\xA9t\xC3\xA9", 0, -1, true), 0);
  EXPECT_EQ(Unicode_CompareRange("\xCE\xA3", 0, -1, "\xCF\x82", 0, -1, true), 0);  // final sigma
  EXPECT_NE(Unicode_CompareRange("A", 0, -1, "a", 0, -1, false), 0);
  EXPECT_EQ(Unicode_CompareRange("xabc", 1, 2, "ab", 0, -1, false), 0);
  // U+10000 (a surrogate pair) sorts after U+FFFD, not between D800 units.
  EXPECT_EQ(Unicode_CompareRange("\xF0\x90\x80\x80", 0, -1, "\xEF\xBF\xBD", 0, -1, false), 1);
  EXPECT_EQ(Unicode_CompareRange("a\xFF", 0, -1, "a", 0, -1, false), -1);
}

TEST(UnicodeStrings, JoinFormatAndLists) {
  EXPECT_EQ(Take(Unicode_Join("a", "\xC3\xA9", "", "b", nullptr)),
            "a\xC3\xA9"
            "b");
  EXPECT_EQ(Unicode_Join(nullptr, "a", nullptr), nullptr);
  EXPECT_EQ(Take(Unicode_Format("%s-%d", "x", 7)), "x-7");

  char latin[] = "caf\xE9";
  char plain[] = "x";
  char *in[] = {latin, plain, nullptr};
  char **list = Unicode_AllocList(in, -1, STRING_ENCODING_ISO_8859_1);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list[0], "caf\xC3\xA9");
  EXPECT_EQ(list[2], nullptr);
  char **back = Unicode_GetAllocList(list, 2, STRING_ENCODING_ISO_8859_1);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back[0], latin);
  Unicode_FreeList(back, 2);
  char euro[] = "\xE2\x82\xAC";
  char *mixed[] = {plain, euro, nullptr};
  EXPECT_EQ(Unicode_GetAllocList(mixed, -1, STRING_ENCODING_ISO_8859_1), nullptr);
  Unicode_FreeList(list, -1);
}

TEST(UnicodeBorders, AllocAndGetBytes) {
  size_t len = 0;
  char *u16 = Unicode_GetAllocBytes("\xC3\xA9", STRING_ENCODING_UTF16_LE, -1, &len);
  ASSERT_NE(u16, nullptr);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(memcmp(u16, "\xE9\x00\x00\x00\x00\x00", 6), 0);
  EXPECT_EQ(Take(Unicode_AllocWithLength(u16, -1, STRING_ENCODING_UTF16_LE)), "\xC3\xA9");
  free(u16);
  // Unrepresentable in UTF-16LE: a NULL, not the end of the process.
  EXPECT_EQ(Unicode_GetAllocBytes("\xED\xA0\x80", STRING_ENCODING_UTF16_LE, -1, nullptr), nullptr);
  EXPECT_EQ(Unicode_GetAllocBytes("\xC3\xA9", STRING_ENCODING_US_ASCII, -1, nullptr), nullptr);

  // An explicit length is honoured exactly, with a NUL after it.
  char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(Take(Unicode_GetAllocBytes(unterminated, STRING_ENCODING_UTF8, 2, nullptr)), "ab");
  EXPECT_EQ(Take(Unicode_AllocWithLength(unterminated, 2, STRING_ENCODING_UTF8)), "ab");

  // UCS-2 and UCS-4 units are counted in their own widths up to a zero unit.
  const char ucs4[] = {0, 0, 0, 'A', 0, 0, 0, 0};
  EXPECT_EQ(Take(Unicode_EscapeBuffer(ucs4, -1, STRING_ENCODING_UCS4)), "\\x00\\x00\\x00A");
  EXPECT_EQ(Take(Unicode_EscapeBuffer(ucs4 + 2, -1, STRING_ENCODING_UCS2)), "\\x00A");

  // Empty text is valid, and converts to empty text, in every encoding, also
  // one whose converter cannot be opened here.
  for (const char *name : {"EUC-KR", "Shift_JIS", "UTF-16", "windows-1252"}) {
    int encoding = Unicode_EncodingNameToEnum(name);
    ASSERT_TRUE(Unicode_IsBufferValid("", 0, encoding)) << name;
    EXPECT_EQ(Take(Unicode_AllocWithLength("", 0, encoding)), "") << name;
    size_t bytes = 1;
    EXPECT_EQ(Take(Unicode_GetAllocBytes("", encoding, -1, &bytes)), "") << name;
    EXPECT_EQ(bytes, 0u) << name;
  }

  // Invalid bytes become U+FFFD instead of cutting the text short.
  EXPECT_EQ(Take(Unicode_AllocWithLength("a\xFF"
                                         "b",
                                         -1, STRING_ENCODING_UTF8)),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_TRUE(Unicode_IsBufferValid("caf\xC3\xA9", -1, STRING_ENCODING_UTF8));
  EXPECT_FALSE(Unicode_IsBufferValid("\xC0\x80", -1, STRING_ENCODING_UTF8));
  EXPECT_FALSE(Unicode_IsBufferValid("\x80", -1, STRING_ENCODING_US_ASCII));
  EXPECT_EQ(Take(Unicode_EscapeBuffer("a\n\\\xE9", -1, STRING_ENCODING_ISO_8859_1)),
            "a\\x0A\\x5C\\xE9");
}

// The environment is read once per process, so each setting gets a child.
TEST(UnicodeCurrentDeathTest, CharacterSetFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct {
    const char *filenameEncoding;
    const char *expected;
  } cases[] = {
      {"ISO-8859-15,UTF-8", "ISO-8859-15"},
      {nullptr, "UTF-8"},
      {"@locale,UTF-8", "ANSI_X3.4-1968"},  // the tests run in the C locale
  };
  for (const auto &c : cases) {
    EXPECT_EXIT(
        {
          unsetenv("G_BROKEN_FILENAMES");
          unsetenv("LC_ALL");
          unsetenv("LC_CTYPE");
          unsetenv("LANG");
          if (c.filenameEncoding != nullptr) {
            setenv("G_FILENAME_ENCODING", c.filenameEncoding, 1);
          } else {
            unsetenv("G_FILENAME_ENCODING");
          }
          _exit(strcmp(CodeSet_GetCurrentCodeSet(), c.expected) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << c.expected;
  }
  EXPECT_EXIT(
      {
        setenv("G_FILENAME_ENCODING", "bogus", 1);
        bool utf8 = Unicode_GetCurrentEncoding() == STRING_ENCODING_UTF8;
        char *s = Unicode_AllocWithLength("x", -1, STRING_ENCODING_DEFAULT);
        _exit(utf8 && s != nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(CaseFold, TableMatchesTheUnicodeData) {
  std::ifstream data("/usr/share/unicode/CaseFolding.txt");
  if (!data) GTEST_SKIP() << "needs the unicode-data package";
  std::map<uint32_t, uint32_t> folds;
  std::string line;
  while (std::getline(data, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string code, status, mapping;
    if (!std::getline(fields, code, ';') || !std::getline(fields, status, ';') ||
        !std::getline(fields, mapping, ';')) {
      continue;
    }
    status.erase(0, status.find_first_not_of(' '));
    uint32_t from = std::stoul(code, nullptr, 16);
    std::istringstream to(mapping);
    std::string first, second;
    to >> first >> second;
    if ((status == "C" || status == "S") && second.empty() && from <= 0xFFFF) {
      uint32_t target = std::stoul(first, nullptr, 16);
      if (target <= 0xFFFF) folds[from] = target;
    }
  }
  std::set<int> pages;
  size_t changed = 0;
  for (uint32_t u = 0; u <= 0xFFFF; u++) {
    uint16_t folded = brellis::unicode::FoldCase(static_cast<uint16_t>(u));
    auto it = folds.find(u);
    ASSERT_EQ(folded, it == folds.end() ? u : it->second) << std::hex << u;
    if (brellis::unicode::kCaseFoldPages[u >> 8] != nullptr) pages.insert(static_cast<int>(u >> 8));
    changed += folded != u;
  }
  EXPECT_EQ(changed, folds.size());
  std::set<int> wantPages;
  for (const auto &f : folds) wantPages.insert(static_cast<int>(f.first >> 8));
  EXPECT_EQ(pages, wantPages);
}

// Unicode_Init replaces the lists it is given, in either form, once.
bool InitConvertsArgumentsAndEnvironment() {
  char a0[] = "prog";
  char a1[] = "caf\xC3\xA9";
  char *argvIn[] = {a0, a1, nullptr};
  char e0[] = "A=1";
  char *envIn[] = {e0, nullptr};
  char **argv = argvIn;
  char **envp = envIn;
  Unicode_Init(2, &argv, &envp);
  bool ok = argv != argvIn && strcmp(argv[1], a1) == 0 && argv[2] == nullptr && envp != envIn &&
            strcmp(envp[0], "A=1") == 0 && envp[1] == nullptr;
  char **again = argvIn;
  Unicode_Init(2, &again, nullptr);  // already done: left alone
  return ok && again == argvIn;
}

bool InitWConvertsUtf16() {
  uint16_t arg[] = {'x', 0xE9, 0};
  uint16_t *wargv[] = {arg, nullptr};
  char **argv = nullptr;
  Unicode_InitW(1, wargv, nullptr, &argv, nullptr);
  return argv != nullptr && strcmp(argv[0], "x\xC3\xA9") == 0 && argv[1] == nullptr;
}

TEST(UnicodeInitDeathTest, ListsAreReplacedByUtf8Copies) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(InitConvertsArgumentsAndEnvironment() ? 0 : 1), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(_exit(InitWConvertsUtf16() ? 0 : 1), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        setenv("G_FILENAME_ENCODING", "EUC-JP", 1);  // a known but unsupported set
        InitConvertsArgumentsAndEnvironment();
        _exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
