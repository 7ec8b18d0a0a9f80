// Conversions between named encodings on both engines, and the UTF-8
// decoder they rest on.

#include <brellis/codeset.h>

#include <support/tempDir.h>

#include <gtest/gtest.h>

#include <iconv.h>
#if __has_include(<unicode/ucnv.h>)
#include <unicode/ucnv.h>
#define BRELLIS_TEST_HAVE_ICU 1
#endif
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Runs a conversion and returns its bytes, or "<fail>".
std::string Convert(const char *from, const std::string &in, const char *to, unsigned flags) {
  char *out = nullptr;
  size_t len = 0;
  if (!CodeSet_GenericToGeneric(from, in.data(), in.size(), to, flags, &out, &len)) {
    return "<fail>";
  }
  EXPECT_EQ(memcmp(out + len, "\0\0\0\0", 4), 0);  // terminated for any width
  std::string s(out, len);
  free(out);
  return s;
}

// Each engine runs every case; ICU only when the build has it.
class Engine : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      CodeSet_Init(nullptr);
      if (Convert("UTF-8", "a", "SCSU", 0) == "<fail>") GTEST_SKIP() << "built without ICU";
    } else {
      CodeSet_Init("/nonexistent");
    }
  }
  void TearDown() override { CodeSet_Init("/nonexistent"); }
  bool icu() const { return GetParam(); }
};

TEST_P(Engine, StrictConversionsRoundTripAndRefuseWhatDoesNotFit) {
  EXPECT_EQ(Convert("UTF-8", "caf\xC3\xA9", "ISO-8859-1", 0), "caf\xE9");
  EXPECT_EQ(Convert("ISO-8859-1", "caf\xE9", "UTF-8", 0), "caf\xC3\xA9");
  EXPECT_EQ(Convert("UTF-8", "\xE2\x82\xAC", "UTF-16LE", 0), std::string("\xAC\x20", 2));
  EXPECT_EQ(Convert("UTF-8", "\xE2\x82\xAC", "ISO-8859-1", 0), "<fail>");
  EXPECT_EQ(Convert("UTF-8", "a\xFF", "ISO-8859-1", 0), "<fail>");
  EXPECT_EQ(Convert("no-such-set", "a", "UTF-8", 0), "<fail>");
  EXPECT_EQ(Convert("UTF-8", "", "ISO-8859-1", 0), "");
}

TEST_P(Engine, LenientConversionSubstitutesAndNeverStopsEarly) {
  // Text after the bad byte must survive: stopping there would truncate.
  std::string out = Convert("UTF-8",
                            "ab\xFF"
                            "cd",
                            "UTF-16LE", 1);
  ASSERT_NE(out, "<fail>");
  EXPECT_EQ(out.substr(out.size() - 4), std::string("c\0d\0", 4));
  EXPECT_NE(out.find(std::string("\xFD\xFF", 2)), std::string::npos);  // U+FFFD

  // One U+FFFD for each maximal part of a sequence that does not finish.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Convert("UTF-8",
                    "\xE2\x82"
                    "A\xC0\xAF"
                    "B",
                    "UTF-8", 1),
            fffd + "A" + fffd + fffd + "B");
  EXPECT_EQ(Convert("UTF-8", "\xED\xA0\x80\xF4\x90\x80\x80", "UTF-8", 1),
            fffd + fffd + fffd + fffd + fffd + fffd + fffd);
  EXPECT_EQ(Convert("UTF-8", "\xF0\x9F\x98", "UTF-8", 1), fffd);

  out = Convert("ISO-8859-1", "x\xE9y", "UTF-8", 1);
  EXPECT_EQ(out, "x\xC3\xA9y");
  out = Convert("UTF-8",
                "a\xE2\x82\xAC"
                "b",
                "ASCII", 1);
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out.front(), 'a');
  EXPECT_EQ(out.back(), 'b');
}

TEST_P(Engine, StatefulTargetsAreFlushed) {
  std::string out = Convert("UTF-8", "\xE6\x97\xA5", "ISO-2022-JP", 0);
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out.substr(out.size() - 3), "\x1B(B");
}

TEST_P(Engine, LongOutputUnitsGrowTheBuffer) {
  // Every input byte becomes far more than four output bytes.
  std::string in(5000, '\x01');
  std::string out = Convert("UTF-8", in, "UTF-32LE", 0);
  EXPECT_EQ(out.size(), in.size() * 4);
  // Transliterations may need several bytes for one character.
  std::string ellipses;
  for (int i = 0; i < 300; i++) ellipses += "\xE2\x80\xA6";
  out = Convert("UTF-8", ellipses, "ASCII", 1);
  EXPECT_GE(out.size(), 300u);
}

TEST_P(Engine, ValidationToUtf8IsStrict) {
  const char *bad[] = {"\xC0\x80",
                       "\xED\xA0\x80",
                       "\xF4\x90\x80\x80",
                       "\xF8\x88\x80\x80\x80",
                       "\xFC\x84\x80\x80\x80\x80",
                       "\xF5\x80\x80\x80",
                       "\x80",
                       "\xE2\x82"};
  for (const char *b : bad) {
    EXPECT_FALSE(CodeSet_Validate(b, strlen(b), "UTF-8")) << b;
    EXPECT_EQ(Convert("UTF-8", b, "UTF-16LE", 0), "<fail>") << b;
  }
  const char *good = "a\xC2\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF";
  EXPECT_TRUE(CodeSet_Validate(good, strlen(good), "UTF-8"));
  EXPECT_TRUE(CodeSet_Validate("\xE9", 1, "ISO-8859-1"));
  EXPECT_FALSE(CodeSet_Validate("\x82\xA0\xFF", 3, "Shift_JIS"));
}

// What the platform's own converter makes of the text: iconv, or ICU.
std::string Reference(bool icu, const std::string &in, const char *to) {
  std::string out(in.size() * 4 + 16, '\0');
#ifdef BRELLIS_TEST_HAVE_ICU
  if (icu) {
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_convert(to, "UTF-8", out.data(), static_cast<int32_t>(out.size()), in.data(),
                             static_cast<int32_t>(in.size()), &err);
    out.resize(U_SUCCESS(err) ? static_cast<size_t>(n) : 0);
    return out;
  }
#endif
  (void)icu;
  iconv_t cd = iconv_open(to, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<fail>";
  char *src = const_cast<char *>(in.data());
  size_t inLeft = in.size();
  char *dst = out.data();
  size_t outLeft = out.size();
  size_t rc = iconv(cd, &src, &inLeft, &dst, &outLeft);
  iconv(cd, nullptr, nullptr, &dst, &outLeft);
  iconv_close(cd);
  out.resize(rc == static_cast<size_t>(-1) ? 0 : out.size() - outLeft);
  return out;
}

TEST_P(Engine, AgreesWithThePlatformsConverter) {
  std::string all;
  for (int c = 0x20; c < 0x7F; c++) all.push_back(static_cast<char>(c));
  all += "\xC3\xA9\xC3\xBC\xC2\xA3";
  for (const char *to : {"windows-1252", "IBM850", "ISO-8859-15", "UTF-16BE", "UTF-32LE"}) {
    EXPECT_EQ(Convert("UTF-8", all, to, 0), Reference(icu(), all, to)) << to;
  }
  std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  for (const char *to : {"Shift_JIS", "ISO-2022-JP"}) {
    EXPECT_EQ(Convert("UTF-8", japanese, to, 0), Reference(icu(), japanese, to)) << to;
  }
}

TEST_P(Engine, NamesOnlyIcuCanOpen) {
  for (const char *name : {"SCSU", "BOCU-1", "CESU-8", "HZ-GB-2312", "IBM00858", "ibm-874"}) {
    std::string out = Convert("UTF-8", "Hi", name, 0);
    if (icu()) {
      ASSERT_NE(out, "<fail>") << name;
      EXPECT_EQ(Convert(name, out, "UTF-8", 0), "Hi") << name;
    }
  }
  EXPECT_EQ(Convert("UTF-8", "Hi", "SCSU", 0) == "<fail>", !icu());
}

TEST(CodeSetInit, EachCallChoosesTheEngineAfresh) {
  if (!(CodeSet_Init(nullptr) && Convert("UTF-8", "a", "SCSU", 0) != "<fail>")) {
    GTEST_SKIP() << "built without ICU";
  }
  testsupport::TempDir dir;
  EXPECT_TRUE(CodeSet_Init(dir.path().c_str()));
  EXPECT_EQ(Convert("UTF-8", "a", "SCSU", 0), "<fail>");  // no data file: iconv
  std::ofstream(dir / "icudt44l.dat") << "";
  EXPECT_TRUE(CodeSet_Init(dir.path().c_str()));
  EXPECT_NE(Convert("UTF-8", "a", "SCSU", 0), "<fail>");
  CodeSet_Init("/nonexistent");
}

INSTANTIATE_TEST_SUITE_P(CodeSet, Engine, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &p) {
                           return p.param ? "Icu" : "Iconv";
                         });

TEST(CodeSetUtf8, DecoderAcceptsShortestFormsOnly) {
  struct {
    const char *bytes;
    int length;
    uint32_t value;
  } cases[] = {
      {"A", 1, 0x41},
      {"\xC2\x80", 2, 0x80},
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE0\xA0\x80", 3, 0x800},
      {"\xED\xA0\x80", 3, 0xD800},  // surrogates decode here
      {"\xF0\x90\x80\x80", 4, 0x10000},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xC0\x80", 0, 0},
      {"\xC1\xBF", 0, 0},
      {"\xE0\x9F\xBF", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0},
      {"\xF4\x90\x80\x80", 0, 0},
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xFE", 0, 0},
      {"\x80", 0, 0},
      {"\xE2\x28\xA1", 0, 0},
  };
  for (const auto &c : cases) {
    uint32_t v = 0;
    const char *end = c.bytes + strlen(c.bytes);
    EXPECT_EQ(CodeSet_GetUtf8(c.bytes, end, &v), c.length) << c.bytes;
    if (c.length > 0) {
      EXPECT_EQ(v, c.value);
    }
    if (c.length > 1) {
      EXPECT_EQ(CodeSet_GetUtf8(c.bytes, end - 1, &v), 0) << "truncated";
    }
  }
  EXPECT_EQ(CodeSet_LengthInCodePoints("a\xC3\xA9\xF0\x9F\x98\x80"), 3);
  EXPECT_EQ(CodeSet_LengthInCodePoints(""), 0);
  EXPECT_EQ(CodeSet_LengthInCodePoints("a\xC3"), -1);
}

TEST(CodeSetUtf16, PairsAndLoneSurrogates) {
  char *out = nullptr;
  size_t len = 0;
  ASSERT_TRUE(CodeSet_Utf8ToUtf16le("\xF0\x9F\x98\x80", 4, &out, &len));
  EXPECT_EQ(std::string(out, len), std::string("\x3D\xD8\x00\xDE", 4));
  char *back = nullptr;
  ASSERT_TRUE(CodeSet_Utf16leToUtf8(out, len, &back, &len));
  EXPECT_STREQ(back, "\xF0\x9F\x98\x80");
  free(out);
  free(back);
  EXPECT_FALSE(CodeSet_Utf8ToUtf16le("\xED\xA0\x80", 3, &out, nullptr));
  EXPECT_FALSE(CodeSet_Utf16leToUtf8("\x00\xDC\x41\x00", 4, &out, nullptr));  // lone low
  EXPECT_FALSE(CodeSet_Utf16leToUtf8("\x3D\xD8", 2, &out, nullptr));          // high at the end
  EXPECT_FALSE(CodeSet_Utf16leToUtf8("\x41", 1, &out, nullptr));              // odd count

  uint32_t *points = nullptr;
  ASSERT_TRUE(CodeSet_Utf8ToUtf32("a\xC3\xA9", &points));
  EXPECT_EQ(points[0], 0x61u);
  EXPECT_EQ(points[1], 0xE9u);
  EXPECT_EQ(points[2], 0u);
  free(points);
  uint32_t tooBig[] = {0x110000, 0};
  char *utf8 = nullptr;
  EXPECT_FALSE(CodeSet_Utf32ToUtf8(tooBig, &utf8));
}

}  // namespace
