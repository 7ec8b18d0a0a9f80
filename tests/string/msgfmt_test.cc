// Capturing a message's arguments into records and formatting from them:
// the types the scan gives, the formats it refuses and with which message,
// what a string copy keeps, and how another format reads the records.

#include <brellis/err.h>
#include <brellis/msgfmt.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Captured {
  bool ok = false;
  MsgFmt_Arg *args = nullptr;
  int numArgs = -1;
  std::string error;

  ~Captured() { MsgFmt_FreeArgs(args, numArgs); }
  std::vector<int> Types() const {
    std::vector<int> t;
    for (int i = 0; i < numArgs; i++) {
      t.push_back(args[i].type);
    }
    return t;
  }
};

void Capture(Captured *c, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *error = nullptr;
  c->ok = MsgFmt_GetArgs(format, ap, &c->args, &c->numArgs, &error, nullptr, nullptr);
  va_end(ap);
  if (error != nullptr) {
    c->error = error;
    free(error);
  }
}

std::string Format(const char *format, const Captured &c) {
  char *s = MsgFmt_Asprintf(nullptr, format, c.args, c.numArgs);
  std::string out = s != nullptr ? s : "<failed>";
  free(s);
  return out;
}

TEST(MsgFmtScanTest, EachConversionGetsItsTypeAtFullWidth) {
  Captured c;
  int64_t big = INT64_C(0x123456789A);
  Capture(&c, "%s %d %ld %zu %td %lld %p %hd %lc %f %ls %x", "str", -7, big,
          static_cast<size_t>(big), static_cast<ptrdiff_t>(-big), big,
          reinterpret_cast<void *>(big), 3, L'x', 2.5, L"wide", 0xFFFFFFFFu);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.Types(), (std::vector<int>{6, 1, 2, 2, 2, 2, 3, 1, 1, 5, 8, 1}));
  EXPECT_EQ(c.args[2].v.signed64, big);
  EXPECT_EQ(c.args[4].v.signed64, -big);
  EXPECT_EQ(c.args[6].v.ptr, reinterpret_cast<void *>(big));
  EXPECT_EQ(Format("%1$s %2$d %3$lx %5$td %7$p %10$.1f %11$ls %12$x", c),
            "str -7 123456789a -78187493530 123456789A 2.5 wide ffffffff");
}

TEST(MsgFmtScanTest, RefusedFormatsSayWhy) {
  struct Case {
    const char *format;
    std::string error;
  } cases[] = {
      {"%1$s %3$d", "MsgFmt_GetArgs: gap in arguments at position 2"},
      {"%s %2$d", "MsgFmt_GetArgs: error in format string"},
      {"%*d", "MsgFmt_GetArgs: error in format string"},
      {"trailing %", "MsgFmt_GetArgs: error in format string"},
      {"%1$s %1$d",
       "MsgFmtGetArg1: incompatible specifiers for argument 1, old type 6, new type 1, "
       "pos \"1\", type \"d\""},
      {"%d %n", "MsgFmtGetArg1: %n not supported, pos \"2\", type \"n\""},
      {"%Lf", "MsgFmtGetArg1: %Lf not supported, pos \"1\", type \"Lf\""},
      {"%2147483648$d", "MsgFmtGetArg1: bad specifier, status -2, pos \"2147483648\", type \"d\""},
      {"%5-d", "MsgFmtGetArg1: bad specifier, status -2, pos \"1\", type \"5-d\""},
  };
  for (const Case &k : cases) {
    Captured c;
    Capture(&c, k.format, "s", 1, 2);
    EXPECT_FALSE(c.ok) << k.format;
    EXPECT_EQ(c.error, k.error) << k.format;
    EXPECT_EQ(c.args, nullptr);
  }
}

TEST(MsgFmtScanTest, StringCopiesKeepWholeCharactersAndRecogniseErrorTexts) {
  Captured c;
  const char *err = Err_Errno2String(ENOSPC);
  // "a", then U+00E9 in two bytes: a precision of 2 must not split it.
  Capture(&c, "%.3s|%.2s|%s|%s", "abcdef", "a\xC3\xA9", static_cast<const char *>(nullptr), err);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_STREQ(c.args[0].v.string8, "abc");
  EXPECT_STREQ(c.args[1].v.string8, "a");
  EXPECT_EQ(c.args[2].v.string8, nullptr);
  EXPECT_EQ(c.args[3].type, MSGFMT_ARG_ERRSTR);
  EXPECT_EQ(c.args[3].errorKind, MSGFMT_ERROR_ERRNO);
  EXPECT_EQ(c.args[3].errorNumber, ENOSPC);
  EXPECT_NE(c.args[3].v.string8, err);
  EXPECT_EQ(Format("%1$s|%2$s|%3$s|%4$s", c), std::string("abc|a|(null)|") + err);
}

TEST(MsgFmtFormatTest, ATranslationReadsTheRecordsByPosition) {
  Captured c;
  Capture(&c, "%s has %d", "@&!*@*@(msg.id)disk", 3);
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(Format("%2$d on %1$s", c), "3 on disk");  // the id is not shown
  EXPECT_EQ(Format("%1$s%%", c), "disk%");
  c.args[0].p.localString = const_cast<char *>("Platte");
  EXPECT_EQ(Format("%s: %d", c), "Platte: 3");
  EXPECT_EQ(Format("%3$d", c), "<failed>");       // beyond the records
  EXPECT_EQ(Format("%2$s", c), "<failed>");       // an integer is no string
  EXPECT_EQ(Format("%2$ld", c), "<failed>");      // nor a 64-bit one
  EXPECT_EQ(Format("%2$d %2$s", c), "<failed>");  // one position, two types
  char small[6];
  char *out = small;
  EXPECT_EQ(MsgFmt_Snprintf(&out, sizeof small, "%2$d on %1$s", c.args, c.numArgs),
            11);  // "3 on Platte"
  EXPECT_STREQ(small, "3 on ");
}

bool CaptureInto(void *buf, size_t *size, MsgFmt_Arg **args, int *n, char **error,
                 const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = MsgFmt_GetArgs(format, ap, args, n, error, buf, size);
  va_end(ap);
  return ok;
}

TEST(MsgFmtCopyTest, CopiesAreDeepAndABlockSurvivesAMove) {
  alignas(8) char block[256];
  size_t size = sizeof block;
  MsgFmt_Arg *args = nullptr;
  int n = 0;
  char *error = nullptr;
  ASSERT_TRUE(CaptureInto(block, &size, &args, &n, &error, "%s %ls %d", "narrow", L"wide", 5));
  ASSERT_EQ(n, 3);
  EXPECT_GT(size, 3 * sizeof(MsgFmt_Arg));
  EXPECT_LE(size, sizeof block);

  MsgFmt_Arg *copy = MsgFmt_CopyArgs(args, n);
  EXPECT_NE(copy[0].v.string8, args[0].v.string8);
  EXPECT_NE(copy[1].v.string32, args[1].v.string32);
  char *text = MsgFmt_Asprintf(nullptr, "%s %ls %d", copy, n);
  EXPECT_STREQ(text, "narrow wide 5");
  free(text);
  MsgFmt_FreeArgs(copy, n);

  MsgFmt_SwizzleArgs(args, n);
  std::vector<char> moved(block, block + size);
  auto *there = reinterpret_cast<MsgFmt_Arg *>(moved.data());
  ASSERT_EQ(MsgFmt_UnswizzleArgs(there, n, moved.data() + moved.size()), 0);
  text = MsgFmt_Asprintf(nullptr, "%s %ls %d", there, n);
  EXPECT_STREQ(text, "narrow wide 5");
  free(text);

  // An offset into the records, or one whose text runs off the block, is
  // refused.
  MsgFmt_SwizzleArgs(there, n);
  there[0].v.offset = 8;
  there[1].v.offset = static_cast<int64_t>(moved.size()) - 4;
  moved.back() = 'x';
  EXPECT_EQ(MsgFmt_UnswizzleArgs(there, n, moved.data() + moved.size()), -1);
  EXPECT_EQ(there[0].v.string8, nullptr);
  EXPECT_EQ(there[1].v.string32, nullptr);

  // Records that do not fit fail with the message in the buffer.
  alignas(8) char tiny[40];
  size = sizeof tiny;
  EXPECT_FALSE(CaptureInto(tiny, &size, &args, &n, &error, "%d %d", 1, 2));
  EXPECT_STREQ(error, "MsgFmtGetArg1: out of memory at arg 2");
  EXPECT_EQ(size, strlen(error) + 1);
}

TEST(MsgFmtParseTest, CallbacksSeeLiteralsAndNumberedSpecifications) {
  std::string seen;
  auto lit = [](void *data, const char *buf, int size) {
    static_cast<std::string *>(data)->append("[").append(buf, size).append("]");
    return 0;
  };
  auto spec = [](void *data, const char *pos, unsigned posSize, const char *type,
                 unsigned typeSize) {
    static_cast<std::string *>(data)
        ->append("<")
        .append(pos, posSize)
        .append(":")
        .append(type, typeSize)
        .append(">");
    return 0;
  };
  EXPECT_EQ(MsgFmt_ParseWithCallbacks(lit, spec, &seen, "a %-5.2s b %% %lld"), 0);
  EXPECT_EQ(seen, "[a ]<1:-5.2s>[ b ][%][ ]<2:lld>");
  auto stop = [](void *, const char *, unsigned, const char *, unsigned) { return -7; };
  EXPECT_EQ(MsgFmt_ParseWithCallbacks(nullptr, stop, nullptr, "%d"), -7);
}

}  // namespace
