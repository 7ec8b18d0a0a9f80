// The formatter's own conventions: what callers rely on beyond POSIX printf,
// positional arguments, the length modifiers of a 64-bit host, and the limits
// past which a call fails instead of misbehaving.

#include <brellis/str.h>

#include "formatInto.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using stringtest::FormatInto;

namespace {

struct Result {
  int n;
  std::string text;
  bool operator==(const Result &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Result &r) {
  return os << r.n << " \"" << r.text << "\"";
}

// Formats in allocation mode. Not declared with a format attribute, so the
// tests can hand it what the compiler's checker does not know.
Result Fmt(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *out = nullptr;
  int n = bsd_vsnprintf(&out, 0, format, ap);
  va_end(ap);
  if (n < 0) {
    EXPECT_EQ(out, nullptr);
    return {n, ""};
  }
  std::string text(out, static_cast<size_t>(n));
  EXPECT_EQ(out[n], '\0');
  free(out);
  return {n, text};
}

Result Ok(const std::string &text) {
  return {static_cast<int>(text.size()), text};
}
const Result kFailed{-1, ""};

TEST(BsdVsnprintfTables, HoldDigitsAndPaddingWithoutTerminator) {
  EXPECT_EQ(std::string(xdigs_lower, sizeof xdigs_lower), "0123456789abcdef?");
  EXPECT_EQ(std::string(xdigs_upper, sizeof xdigs_upper), "0123456789ABCDEF?");
  EXPECT_EQ(std::string(blanks, sizeof blanks), std::string(16, ' '));
  EXPECT_EQ(std::string(zeroes, sizeof zeroes), std::string(16, '0'));
}

TEST(BsdVsnprintfStrings, PrecisionNeverSplitsUtf8) {
  const char *abEuro = "ab\xE2\x82\xAC";
  EXPECT_EQ(Fmt("%.4s|", abEuro), Ok("ab|"));
  EXPECT_EQ(Fmt("%.3s|", abEuro), Ok("ab|"));
  EXPECT_EQ(Fmt("%.5s|", abEuro), Ok("ab\xE2\x82\xAC|"));
  EXPECT_EQ(Fmt("%6.4s|", abEuro), Ok("    ab|"));
  EXPECT_EQ(Fmt("%.1s", "\xC3\xA9"), Ok(""));
}

TEST(BsdVsnprintfStrings, NullPrintsNullCutToPrecision) {
  EXPECT_EQ(Fmt("%s", static_cast<char *>(nullptr)), Ok("(null)"));
  EXPECT_EQ(Fmt("%S", static_cast<wchar_t *>(nullptr)), Ok("(null)"));
  EXPECT_EQ(Fmt("%ls", static_cast<wchar_t *>(nullptr)), Ok("(null)"));
  EXPECT_EQ(Fmt("%.3s", static_cast<char *>(nullptr)), Ok("(nu"));
  EXPECT_EQ(Fmt("%8s|", static_cast<char *>(nullptr)), Ok("  (null)|"));
}

TEST(BsdVsnprintfStrings, PrecisionReadsNoFurtherThanItPrints) {
  // Strings without a terminator that end where the memory ends.
  long page = sysconf(_SC_PAGESIZE);
  auto *area = static_cast<char *>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  char *bytes = area + page - 3;
  memcpy(bytes, "abc", 3);
  EXPECT_EQ(Fmt("%.3s", bytes), Ok("abc"));
  auto *wide = reinterpret_cast<wchar_t *>(area + page) - 3;
  wide[0] = L'x';
  wide[1] = 0x20AC;
  wide[2] = L'y';
  EXPECT_EQ(Fmt("%.5ls", wide), Ok("x\xE2\x82\xAC"
                                   "y"));
  EXPECT_EQ(Fmt("%.3S", wide + 1), Ok("\xE2\x82\xAC"));
  EXPECT_EQ(Fmt("%.1S", wide + 2), Ok("y"));
  munmap(area, 2 * page);
}

TEST(BsdVsnprintfStrings, WideStringsBecomeLenientUtf8) {
  const wchar_t text[] = {L'h', 0xE9, 0x20AC, 0x1F600, 0};
  EXPECT_EQ(Fmt("%ls", text), Ok("h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  // Surrogates are encoded as they are; beyond U+10FFFF becomes U+FFFD.
  const wchar_t odd[] = {0xD800, static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-5), L'!', 0};
  EXPECT_EQ(Fmt("%S", odd), Ok("\xED\xA0\x80\xEF\xBF\xBD\xEF\xBF\xBD!"));
  // A precision counts bytes and stops before a character that does not fit.
  const wchar_t aEuro[] = {L'a', 0x20AC, 0};
  EXPECT_EQ(Fmt("%.3ls|", aEuro), Ok("a|"));
  EXPECT_EQ(Fmt("%.4ls|", aEuro), Ok("a\xE2\x82\xAC|"));
  EXPECT_EQ(Fmt("%6ls|", aEuro), Ok("  a\xE2\x82\xAC|"));
  EXPECT_EQ(Fmt("%-6S|", aEuro), Ok("a\xE2\x82\xAC  |"));
  // Longer than the work area of one chunk.
  std::wstring longText(1000, static_cast<wchar_t>(0x20AC));
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    expected += "\xE2\x82\xAC";
  }
  EXPECT_EQ(Fmt("%ls", longText.c_str()), Ok(expected));
}

TEST(BsdVsnprintfChars, LowByteAndLocaleWideCharacter) {
  EXPECT_EQ(Fmt("%c%c", 0x141, 'b'), Ok("Ab"));
  EXPECT_EQ(Fmt("%-3c|%3c", 'x', 'y'), Ok("x  |  y"));
  EXPECT_EQ(Fmt("%lc%C", static_cast<wint_t>(L'o'), static_cast<wint_t>(L'k')), Ok("ok"));
  // The C locale has no multibyte form for the euro sign: the call fails.
  ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
  EXPECT_EQ(Fmt("a%lcb", static_cast<wint_t>(0x20AC)), kFailed);
  if (setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
    EXPECT_EQ(Fmt("a%Cb", static_cast<wint_t>(0x20AC)), Ok("a\xE2\x82\xAC"
                                                           "b"));
    setlocale(LC_CTYPE, "C");
  }
}

TEST(BsdVsnprintfIntegers, PointerAndAlternateForms) {
  EXPECT_EQ(Fmt("%p", reinterpret_cast<void *>(0x1A2B)), Ok("1A2B"));
  EXPECT_EQ(Fmt("%#p", reinterpret_cast<void *>(0x1A2B)), Ok("1A2B"));
  EXPECT_EQ(Fmt("%p", reinterpret_cast<void *>(UINT64_C(0xFEDCBA9876543210))),
            Ok("FEDCBA9876543210"));
  EXPECT_EQ(Fmt("%8p|%-6p|", reinterpret_cast<void *>(0xAB), reinterpret_cast<void *>(0xCD)),
            Ok("      AB|CD    |"));
  EXPECT_EQ(Fmt("%p", static_cast<void *>(nullptr)), Ok("0"));
  EXPECT_EQ(Fmt("%#x", 255), Ok("0xff"));
  EXPECT_EQ(Fmt("%#X", 255), Ok("0XFF"));
  EXPECT_EQ(Fmt("%#x", 0), Ok("0"));
  EXPECT_EQ(Fmt("%#o", 8), Ok("010"));
  EXPECT_EQ(Fmt("%#o|%#.0o|%.0o|", 0, 0, 0), Ok("0|0||"));
  EXPECT_EQ(Fmt("%#.3o", 8), Ok("010"));
  EXPECT_EQ(Fmt("%.0d|%5.0d|", 0, 0), Ok("|     |"));
  EXPECT_EQ(Fmt("%08.3d|%-08d|%+08d", 5, 5, 5), Ok("     005|5       |+0000005"));
}

TEST(BsdVsnprintfIntegers, LengthsTakeTheHostTypes) {
  EXPECT_EQ(Fmt("%ld %lu", LONG_MIN, ULONG_MAX), Ok("-9223372036854775808 18446744073709551615"));
  EXPECT_EQ(Fmt("%D %U %O", LONG_MIN, ULONG_MAX, 01777777777777777777777UL),
            Ok("-9223372036854775808 18446744073709551615 1777777777777777777777"));
  EXPECT_EQ(Fmt("%zu %zd %Zx %Iu", SIZE_MAX, static_cast<ssize_t>(-1), SIZE_MAX, SIZE_MAX),
            Ok("18446744073709551615 -1 ffffffffffffffff 18446744073709551615"));
  EXPECT_EQ(Fmt("%td %jd %ju", PTRDIFF_MIN, INTMAX_MIN, UINTMAX_MAX),
            Ok("-9223372036854775808 -9223372036854775808 18446744073709551615"));
  EXPECT_EQ(Fmt("%lld %qu %I64d %Lx", LLONG_MIN, ULLONG_MAX, INT64_C(-5), INT64_C(-1)),
            Ok("-9223372036854775808 18446744073709551615 -5 ffffffffffffffff"));
  EXPECT_EQ(Fmt("%I32d %I32x %d", -7, 0xABCDu, 3), Ok("-7 abcd 3"));
  EXPECT_EQ(Fmt("%hd %hu %hhd %hhu %hhx", 70000, 70000, 300, 300, -1), Ok("4464 4464 44 44 ff"));
  EXPECT_EQ(Fmt("%d %u", INT_MIN, UINT_MAX), Ok("-2147483648 4294967295"));
}

TEST(BsdVsnprintfIntegers, CountStoredThroughTheNamedType) {
  signed char hh = 0;
  short h = 0;
  int i = 0;
  long l = 0;
  long long ll = 0;
  intmax_t j = 0;
  ssize_t z = 0;
  ptrdiff_t t = 0;
  long long q = 0;
  EXPECT_EQ(
      Fmt("a%hhnbb%hnccc%ndddd%lne%llnf%jng%znh%tni%qn", &hh, &h, &i, &l, &ll, &j, &z, &t, &q),
      Ok("abbcccddddefghi"));
  EXPECT_EQ(hh, 1);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(i, 6);
  EXPECT_EQ(l, 10);
  EXPECT_EQ(ll, 11);
  EXPECT_EQ(j, 12);
  EXPECT_EQ(z, 13);
  EXPECT_EQ(t, 14);
  EXPECT_EQ(q, 15);
  // The neighbours of a narrow target are left alone.
  struct {
    signed char target;
    signed char guard[7];
  } narrow = {0, {9, 9, 9, 9, 9, 9, 9}};
  EXPECT_EQ(Fmt("%300d%hhn", 1, &narrow.target).n, 300);
  EXPECT_EQ(narrow.target, static_cast<signed char>(300));
  EXPECT_EQ(narrow.guard[0], 9);
}

TEST(BsdVsnprintfConversions, PercentAndUnknownCharactersPrintThemselves) {
  EXPECT_EQ(Fmt("%5%"), Ok("    %"));
  EXPECT_EQ(Fmt("%-3%|%%"), Ok("%  |%"));
  EXPECT_EQ(Fmt("%y%d", 5), Ok("y5"));
  EXPECT_EQ(Fmt("%3y|", 5), Ok("  y|"));
  EXPECT_EQ(Fmt("%a%A%d", 7), Ok("aA7"));
  EXPECT_EQ(Fmt("abc%"), Ok("abc"));
  EXPECT_EQ(Fmt("abc%-08"), Ok("abc"));
  EXPECT_EQ(Fmt(""), Ok(""));
}

TEST(BsdVsnprintfFloats, SpecialValuesPrintAsWords) {
  EXPECT_EQ(Fmt("%f|%F|%e|%E", INFINITY, INFINITY, -INFINITY, -INFINITY), Ok("inf|INF|-inf|-INF"));
  EXPECT_EQ(Fmt("%g|%G|%f", NAN, NAN, -NAN), Ok("nan|NAN|-nan"));
  EXPECT_EQ(Fmt("%6f|%-6e|%06g|%+f|% f", INFINITY, INFINITY, -INFINITY, INFINITY, INFINITY),
            Ok("   inf|inf   |  -inf|inf|inf"));
  EXPECT_EQ(Fmt("%.1f", -NAN), Ok("-nan"));
}

// The rest of the float layout is compared with the platform in the
// differential test.
TEST(BsdVsnprintfFloats, GeneralNotationSwitchesAtThePrecision) {
  EXPECT_EQ(Fmt("%g %g", 100000.0, 1000000.0), Ok("100000 1e+06"));
  EXPECT_EQ(Fmt("%g %g %g", 0.0001, 0.00001, 0.0), Ok("0.0001 1e-05 0"));
  EXPECT_EQ(Fmt("%#g %#.3g %g", 1.0, 0.0, -0.0), Ok("1.00000 0.00 -0"));
  EXPECT_EQ(Fmt("%.1f", DBL_MAX).n, 311);
}

TEST(BsdVsnprintfFloats, DigitsBeyondSeventeenPrintAsZeros) {
  EXPECT_EQ(Fmt("%.20f", 0.1), Ok("0.10000000000000001000"));
  EXPECT_EQ(Fmt("%.20e", 0.1), Ok("1.00000000000000010000e-01"));
  EXPECT_EQ(Fmt("%.20g", 0.1), Ok("0.10000000000000001"));
  EXPECT_EQ(Fmt("%#.20g", 1.0 / 3), Ok("0.33333333333333331000"));
  EXPECT_EQ(Fmt("%.25g", 1e24), Ok("999999999999999980000000"));
}

TEST(BsdVsnprintfPositional, SelectsArgumentsByNumber) {
  EXPECT_EQ(Fmt("%2$s %1$s", "a", "b"), Ok("b a"));
  EXPECT_EQ(Fmt("%1$*2$d|", 7, 3), Ok("  7|"));
  EXPECT_EQ(Fmt("%1$-*2$.*3$d|", 7, 5, 3), Ok("007  |"));
  EXPECT_EQ(Fmt("%3$s %1$lld %2$.2f %1$lld", 1234567890123LL, 2.5, "x"),
            Ok("x 1234567890123 2.50 1234567890123"));
  EXPECT_EQ(Fmt("%2$Lg %1$p", reinterpret_cast<void *>(0xBEEF), 0.25L), Ok("0.25 BEEF"));
  // Positions nobody names are taken as ints.
  EXPECT_EQ(Fmt("%3$s", 1, 2, "three"), Ok("three"));
}

TEST(BsdVsnprintfPositional, MixedWithSequentialReadsTheRightArguments) {
  EXPECT_EQ(Fmt("%d %2$s", 5, "x"), Ok("5 x"));
  EXPECT_EQ(Fmt("%s %3$d %2$s", "a", "b", 3), Ok("a 3 b"));
  EXPECT_EQ(Fmt("%*d %3$s", 4, 7, "z"), Ok("   7 z"));
  EXPECT_EQ(Fmt("%f %2$d %1$.1f", 1.5, 9), Ok("1.500000 9 1.5"));
  // After "N$" sequential conversions go on from N + 1.
  EXPECT_EQ(Fmt("%2$d %d", 1, 2, 3), Ok("2 3"));
}

TEST(BsdVsnprintfPositional, MoreThanEightArguments) {
  EXPECT_EQ(
      Fmt("%10$d %9$d %8$d %7$d %6$d %5$d %4$d %3$d %2$d %1$d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10),
      Ok("10 9 8 7 6 5 4 3 2 1"));
  EXPECT_EQ(
      Fmt("%20$s%1$d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, "end"),
      Ok("end1"));
}

TEST(BsdVsnprintfLimits, BeyondIntFails) {
  EXPECT_EQ(Fmt("%2147483648d", 1), kFailed);
  EXPECT_EQ(Fmt("%.2147483648d", 1), kFailed);
  EXPECT_EQ(Fmt("%99999999999999999999d", 1), kFailed);
  EXPECT_EQ(Fmt("%2147483648$d", 1), kFailed);
  EXPECT_EQ(Fmt("%1$*2147483648$d", 1), kFailed);
  EXPECT_EQ(Fmt("%1$.*99999999999$d", 1), kFailed);
  EXPECT_EQ(Fmt("%*d", INT_MIN, 1), kFailed);
  EXPECT_EQ(Fmt("%*0$d", 1), kFailed);
  // A late overflow also fails a format whose start was fine.
  EXPECT_EQ(Fmt("%1$d %2147483648$d", 1), kFailed);

  // The count of produced bytes may reach INT_MAX but not pass it; a
  // caller's buffer keeps what fits either way.
  char buf[8];
  EXPECT_EQ(FormatInto(buf, sizeof buf, "%2147483647d", 1), INT_MAX);
  EXPECT_STREQ(buf, "       ");
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(FormatInto(buf, sizeof buf, "ab%2147483647d", 1), -1);
  EXPECT_STREQ(buf, "ab     ");
  EXPECT_EQ(FormatInto(buf, sizeof buf, "%*d%*d", INT_MAX, 1, 1, 2), -1);
  EXPECT_EQ(FormatInto(buf, sizeof buf, "%.2147483647f", 1.0), -1);
}

TEST(BsdVsnprintfSink, CallerBufferGetsThePrefixAndTheFullLength) {
  char buf[8];
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(FormatInto(buf, sizeof buf, "%s-%d", "abcdef", 12345), 12);
  EXPECT_STREQ(buf, "abcdef-");
  // More pieces than are gathered at once, cut in the middle of one.
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(FormatInto(buf, sizeof buf, "%s%s%s%s%s%s%s%s%s%s", "a", "b", "c", "d", "e", "f", "gh",
                       "i", "j", "k"),
            11);
  EXPECT_STREQ(buf, "abcdefg");
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(FormatInto(buf, 1, "%d", 42), 2);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'X');
  EXPECT_EQ(FormatInto(buf, 0, "%d", 42), 2);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'X');
}

TEST(BsdVsnprintfSink, FailurePartWayShowsOnlyWrittenBytes) {
  ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
  char buf[32];
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(FormatInto(buf, sizeof buf, "abc%d%lcdef", 7, static_cast<wint_t>(0x20AC)), -1);
  EXPECT_STREQ(buf, "abc7");
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(FormatInto(buf, sizeof buf, "abc%1$d%2147483648$d", 1), -1);
  EXPECT_STREQ(buf, "abc");
}

TEST(BsdVsnprintfSink, AllocationGrowsForLongOutput) {
  std::string big(100000, 'q');
  Result r = Fmt("<%s|%s>", big.c_str(), "tail");
  EXPECT_EQ(r, Ok("<" + big + "|tail>"));
  // Many small conversions, each growing the buffer a little.
  std::string format;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    format += "%1$d,";
    expected += "-7,";
  }
  EXPECT_EQ(Fmt(format.c_str(), -7), Ok(expected));
}

}  // namespace
