// The encoding table and the lookups by name and number.

#include <brellis/unicode.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "unicode/unicodeTableInt.h"

namespace {

using brellis::unicode::kEncodingTable;
using brellis::unicode::kEncodingTableSize;

TEST(EncodingTable, EveryNumberHasARowAndTheSupportedSetIsComplete) {
  ASSERT_EQ(kEncodingTableSize, 325u);
  std::set<int> numbers;
  int supported = 0;
  for (size_t i = 0; i < kEncodingTableSize; i++) {
    const auto &row = kEncodingTable[i];
    numbers.insert(row.encoding);
    supported += row.supported;
    int names = 0;
    while (row.names[names] != nullptr) names++;
    EXPECT_LE(names, 20) << row.names[0];
    EXPECT_LT(row.preferredName, names) << row.names[0];
  }
  EXPECT_EQ(numbers.size(), 324u);
  EXPECT_EQ(*numbers.begin(), 0);
  EXPECT_EQ(*numbers.rbegin(), STRING_ENCODING_MAX_SPECIFIED);
  EXPECT_EQ(supported, 77);
}

TEST(EncodingTable, PreferredNamesOfTheFixedNumbers) {
  EXPECT_STREQ(Unicode_EncodingEnumToName(STRING_ENCODING_US_ASCII), "ASCII");
  EXPECT_STREQ(Unicode_EncodingEnumToName(STRING_ENCODING_ISO_8859_1), "ISO-8859-1");
  EXPECT_STREQ(Unicode_EncodingEnumToName(13), "ISO-8859-6");  // not ASMO-708
  EXPECT_STREQ(Unicode_EncodingEnumToName(STRING_ENCODING_UCS2), "ISO-10646-UCS-2");
  EXPECT_STREQ(Unicode_EncodingEnumToName(323), "ibm-874");
  EXPECT_STREQ(Unicode_EncodingEnumToName(STRING_ENCODING_DEFAULT),
               Unicode_EncodingEnumToName(Unicode_GetCurrentEncoding()));
  EXPECT_DEATH(Unicode_EncodingEnumToName(324), "NOT_REACHED");
}

TEST(EncodingLookup, FirstRowWinsAcrossSpellings) {
  struct {
    const char *name;
    int expected;
  } cases[] = {
      {"utf8", 0},
      {"UTF8", 0},
      {"Utf-8", 0},
      {"windows-1252", 35},
      {"cp1252", 35},
      {"CP1252", 35},
      {"Windows-65001", 0},
      {"ANSI_X3.4-1968", 7},
      {"TIS-620", 323},
      {"ISO-2022-JP", 29},
      {"csISO2022JP", 29},
      {"KS_C_5601-1987", 62},
      {"ASMO-708", 13},
      {"latin1", 8},
      {"ibm-813", STRING_ENCODING_UNKNOWN},
      {"EUC-JP", STRING_ENCODING_UNKNOWN},
      {"no such set", STRING_ENCODING_UNKNOWN},
      {"windows-", STRING_ENCODING_UNKNOWN},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(UnicodeIANALookup(c.name), c.expected) << c.name;
  }
}

TEST(EncodingLookup, EverySupportedPreferredNameLeadsToASupportedRow) {
  for (size_t i = 0; i < kEncodingTableSize; i++) {
    const auto &row = kEncodingTable[i];
    if (row.supported) {
      EXPECT_NE(UnicodeIANALookup(row.names[row.preferredName]), STRING_ENCODING_UNKNOWN)
          << row.names[row.preferredName];
    }
  }
}

TEST(EncodingLookup, FirstLookupDecidesForEveryCase) {
  // The cache is keyed without regard to case: a later spelling that would
  // normalise differently still gets the answer of the first.
  int first = UnicodeIANALookup("IbM437");
  EXPECT_EQ(first, 188);
  EXPECT_EQ(UnicodeIANALookup("ibm437"), first);
  EXPECT_EQ(UnicodeIANALookup("IBM437"), first);
}

}  // namespace
