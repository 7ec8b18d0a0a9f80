// The formatter against the platform's snprintf over generated formats and
// values, wherever the two are meant to agree, and a table of the places
// where this system deliberately prints something else.

#include <brellis/str.h>

#include "formatInto.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using stringtest::FormatInto;

namespace {

class Differential : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(setlocale(LC_ALL, "C"), nullptr); }

  // Formats with both, into a roomy buffer and into a random short one, and
  // records the first few disagreements.
  template <class... A>
  void Same(const std::string &format, A... args) {
    ++checked_;
    char ours[2048];
    char theirs[2048];
    int a = FormatInto(ours, sizeof ours, format.c_str(), args...);
    int b = snprintf(theirs, sizeof theirs, format.c_str(), args...);
    bool same = a == b && (a < 0 || memcmp(ours, theirs, static_cast<size_t>(a) + 1) == 0);
    if (same && a > 0) {
      size_t small = std::uniform_int_distribution<size_t>(0, static_cast<size_t>(a))(rng_);
      memset(ours, 'X', sizeof ours);
      memset(theirs, 'X', sizeof theirs);
      a = FormatInto(ours, small, format.c_str(), args...);
      b = snprintf(theirs, small, format.c_str(), args...);
      same = a == b && memcmp(ours, theirs, small + 1) == 0;
    }
    if (!same && ++mismatches_ <= 20) {
      ADD_FAILURE() << "format \"" << format << "\": ours " << a << " \""
                    << std::string(ours, a > 0 ? std::min<size_t>(a, sizeof ours - 1) : 0)
                    << "\", platform " << b << " \""
                    << std::string(theirs, b > 0 ? std::min<size_t>(b, sizeof theirs - 1) : 0)
                    << "\"";
    }
  }

  // Hands the '*' arguments (those that the format has) before the value.
  template <class T>
  void WithStars(const std::string &format, bool starWidth, bool starPrec, int w, int p, T v) {
    if (starWidth && starPrec) {
      Same(format, w, p, v);
    } else if (starWidth) {
      Same(format, w, v);
    } else if (starPrec) {
      Same(format, p, v);
    } else {
      Same(format, v);
    }
  }

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool OneIn(int n) { return Uniform(1, n) == 1; }

  std::string Flags(const char *pool) {
    std::string flags;
    for (const char *f = pool; *f != '\0'; ++f) {
      if (OneIn(4)) {
        flags += *f;
      }
    }
    std::shuffle(flags.begin(), flags.end(), rng_);
    return flags;
  }

  // Width: none, digits or '*'. Precision: none, '.', ".N" or ".*", N up to
  // maxPrec. The precision in effect goes to *prec (-1 for none), with p
  // standing for a '*'.
  std::string WidthAndPrecision(bool &starWidth, bool &starPrec, int maxPrec, int p = 0,
                                int *prec = nullptr) {
    std::string s;
    starWidth = false;
    starPrec = false;
    int effective = -1;
    switch (Uniform(0, 3)) {
      case 1:
        s += std::to_string(Uniform(1, 30));
        break;
      case 2:
        s += '*';
        starWidth = true;
        break;
      default:
        break;
    }
    switch (Uniform(0, 4)) {
      case 1:
        s += '.';
        effective = 0;
        break;
      case 2:
        effective = Uniform(0, maxPrec);
        s += '.' + std::to_string(effective);
        break;
      case 3:
        s += ".*";
        starPrec = true;
        effective = p < 0 ? -1 : p;
        break;
      default:
        break;
    }
    if (prec != nullptr) {
      *prec = effective;
    }
    return s;
  }

  uint64_t RandomBits() {
    switch (Uniform(0, 5)) {
      case 0:
        return static_cast<uint64_t>(Uniform(-200, 200));
      case 1:
        return static_cast<uint64_t>(Uniform(INT_MIN, INT_MAX));
      case 2: {
        static const uint64_t edges[] = {
            0,    1,    UINT64_MAX, INT64_MAX, UINT64_C(1) << 63, INT32_MAX, UINT32_MAX,
            0x80, 0xFF, 0x8000,     0xFFFF};
        return edges[Uniform(0, std::size(edges) - 1)];
      }
      default:
        return rng_() >> Uniform(0, 63);
    }
  }

  double RandomDouble() {
    switch (Uniform(0, 7)) {
      case 0: {
        uint64_t bits;
        double d;
        do {
          bits = rng_();
          memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        return d;
      }
      case 1:  // exact halves, where rounding ties
        return (Uniform(-100000, 100000) + 0.5) / (1 << Uniform(0, 10));
      case 2:
        return static_cast<double>(Uniform(-1000000, 1000000));
      case 3: {
        static const double edges[] = {0.0,       -0.0,    1.0,      0.1,         0.5,
                                       9.5,       99.5,    999999.5, 1e-5,        1e-4,
                                       9.9999995, 1e15,    1e16,     1e17,        1e21,
                                       DBL_MAX,   DBL_MIN, 4.9e-324, 123456789.0, 0.000123456};
        return edges[Uniform(0, std::size(edges) - 1)] * (OneIn(2) ? 1 : -1);
      }
      default: {
        double m = std::uniform_real_distribution<double>(-10, 10)(rng_);
        return m * std::pow(10.0, Uniform(-30, 30));
      }
    }
  }

  std::mt19937_64 rng_{20240611};
  int checked_ = 0;
  int mismatches_ = 0;
};

TEST_F(Differential, IntegersAgreeWithThePlatform) {
  static const char *const lengths[] = {"", "hh", "h", "l", "ll", "q", "j", "z", "Z", "t"};
  static const char convs[] = "diuoxX";
  for (int i = 0; i < 30000; ++i) {
    bool starWidth;
    bool starPrec;
    std::string length = lengths[Uniform(0, std::size(lengths) - 1)];
    char conv = convs[Uniform(0, 5)];
    std::string format = std::string("<%") + Flags("-+ #0'") +
                         WidthAndPrecision(starWidth, starPrec, 25) + length + conv + ">";
    int w = Uniform(-30, 30);
    int p = Uniform(-3, 25);
    uint64_t v = RandomBits();
    if (length == "hh" || length == "h" || length.empty()) {
      WithStars(format, starWidth, starPrec, w, p, static_cast<int>(v));
    } else if (length == "l") {
      WithStars(format, starWidth, starPrec, w, p, static_cast<long>(v));
    } else if (length == "ll" || length == "q") {
      WithStars(format, starWidth, starPrec, w, p, static_cast<long long>(v));
    } else if (length == "j") {
      WithStars(format, starWidth, starPrec, w, p, static_cast<intmax_t>(v));
    } else if (length == "t") {
      WithStars(format, starWidth, starPrec, w, p, static_cast<ptrdiff_t>(v));
    } else {
      WithStars(format, starWidth, starPrec, w, p, static_cast<size_t>(v));
    }
  }
  EXPECT_EQ(mismatches_, 0) << "of " << checked_;
}

TEST_F(Differential, CharactersAndStringsAgreeWithThePlatform) {
  for (int i = 0; i < 10000; ++i) {
    bool starWidth;
    bool starPrec;
    bool isString = !OneIn(3);
    std::string format = std::string("%") + Flags("-+ #0") +
                         WidthAndPrecision(starWidth, starPrec, 25) + (isString ? "s|" : "c|");
    int w = Uniform(-30, 30);
    int p = Uniform(-3, 25);
    if (isString) {
      std::string text;
      for (int n = Uniform(0, 30); n > 0; --n) {
        text += static_cast<char>(Uniform(32, 126));
      }
      WithStars(format, starWidth, starPrec, w, p, text.c_str());
    } else {
      WithStars(format, starWidth, starPrec, w, p, Uniform(0, 1000));
    }
  }
  // Runs of conversions and literal text in one format.
  Same("%s=%d (%5.2s) %-4c|%x%%", "name", -42, "abc", 'q', 0xbeefu);
  EXPECT_EQ(mismatches_, 0) << "of " << checked_;
}

// Whether rounding v to sig significant digits carries it into the next
// power of ten (999999.7 to 1e+06 at six digits).
bool RoundsIntoNextDecade(double v, int sig) {
  char exact[64];
  char rounded[64];
  snprintf(exact, sizeof exact, "%.30e", std::fabs(v));
  snprintf(rounded, sizeof rounded, "%.*e", sig - 1, std::fabs(v));
  return strcmp(strchr(exact, 'e'), strchr(rounded, 'e')) != 0;
}

TEST_F(Differential, FloatsAgreeWithinSeventeenDigits) {
  static const char convs[] = "eEfFgG";
  for (int i = 0; i < 30000; ++i) {
    bool starWidth;
    bool starPrec;
    char conv = convs[Uniform(0, 5)];
    // At most 17 digits from the digit generator: %e prints precision + 1
    // significant digits, %g precision, %f precision after the point.
    int maxPrec = (conv == 'e' || conv == 'E') ? 16 : 17;
    bool isLong = OneIn(4);
    int w = Uniform(-30, 30);
    int p = Uniform(-3, maxPrec);
    int prec;
    std::string flags = Flags("-+ #0'");
    std::string format = std::string("[%") + flags +
                         WidthAndPrecision(starWidth, starPrec, maxPrec, p, &prec) +
                         (isLong ? "L" : "") + conv + "]";
    double v = RandomDouble();
    if (flags.find('#') != std::string::npos && (conv == 'g' || conv == 'G') &&
        RoundsIntoNextDecade(v, prec < 0    ? 6
                                : prec == 0 ? 1
                                            : prec)) {
      continue;  // the platform drops the zeros '#' keeps there; see below
    }
    if (isLong) {
      WithStars(format, starWidth, starPrec, w, p, static_cast<long double>(v));
    } else {
      WithStars(format, starWidth, starPrec, w, p, v);
    }
  }
  EXPECT_EQ(mismatches_, 0) << "of " << checked_;
}

TEST_F(Differential, PositionalReferencesAgreeWithThePlatform) {
  // Positions 1-4 hold values of different kinds, 5 and 6 a width and a
  // precision; every position is named at least once. (The width is not
  // negative: the platform pads such a left-adjusted float with '0'.)
  for (int i = 0; i < 8000; ++i) {
    std::string format;
    bool named[7] = {};
    for (int n = Uniform(1, 6); n > 0; --n) {
      int pos = Uniform(1, 4);
      named[pos] = true;
      format += "%" + std::to_string(pos) + "$" + Flags("-+ 0");
      if (OneIn(3)) {
        format += "*5$";
        named[5] = true;
      }
      if (OneIn(3)) {
        format += ".*6$";
        named[6] = true;
      }
      static const char *const byPosition[] = {nullptr, "dxo", "s", "efgEG", "dxu"};
      const char *choices = byPosition[pos];
      format += pos == 4 ? "ll" : "";
      format += choices[Uniform(0, static_cast<int>(strlen(choices)) - 1)];
      format += ' ';
    }
    for (int pos = 1; pos <= 6; ++pos) {
      if (!named[pos]) {
        format += "%" + std::to_string(pos) + "$" +
                  (pos == 2   ? "s"
                   : pos == 3 ? "g"
                   : pos == 4 ? "lld"
                              : "d");
      }
    }
    Same(format, static_cast<int>(RandomBits()), "text", RandomDouble(),
         static_cast<long long>(RandomBits()), Uniform(0, 20), Uniform(-2, 15));
  }
  EXPECT_EQ(mismatches_, 0) << "of " << checked_;
}

// What this system prints where the platform prints something else.
struct Difference {
  std::string ours;
  std::string platform;
};

template <class... A>
Difference Both(const char *format, A... args) {
  char ours[256];
  char theirs[256];
  int a = FormatInto(ours, sizeof ours, format, args...);
  int b;
  if constexpr (sizeof...(A) == 0) {
    b = snprintf(theirs, sizeof theirs, format, 0);  // the format takes none
  } else {
    b = snprintf(theirs, sizeof theirs, format, args...);
  }
  return {a < 0 ? "<failed>" : std::string(ours, static_cast<size_t>(a)),
          b < 0 ? "<failed>" : std::string(theirs, static_cast<size_t>(b))};
}

void ExpectDifference(const Difference &d, const std::string &ours, const std::string &platform) {
  EXPECT_EQ(d.ours, ours);
  EXPECT_EQ(d.platform, platform);
}

TEST(DeliberateDifferences, FromThePlatform) {
  ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
  // %p: upper-case digits, no prefix, no "(nil)".
  ExpectDifference(Both("%p", reinterpret_cast<void *>(0x1A2B)), "1A2B", "0x1a2b");
  ExpectDifference(Both("%p", static_cast<void *>(nullptr)), "0", "(nil)");
  // '%' and unknown conversions are padded characters that take no argument.
  ExpectDifference(Both("%5%"), "    %", "%");
  ExpectDifference(Both("%y|%d", 5), "y|5", "%y|5");
  ExpectDifference(Both("%D", 5L), "5", "%D");
  ExpectDifference(Both("%I64d", 5LL), "5", std::string(63, ' ') + "5");
  ExpectDifference(Both("%a", 1.0), "a", "0x1p+0");
  ExpectDifference(Both("abc%"), "abc", "<failed>");
  // NULL is "(null)" cut to the precision like any other string.
  ExpectDifference(Both("%.3s", static_cast<char *>(nullptr)), "(nu", "");
  // A precision never splits a UTF-8 sequence.
  ExpectDifference(Both("%.4s", "ab\xE2\x82\xAC"), "ab", "ab\xE2\x82");
  // Wide strings are UTF-8 whatever the locale.
  ExpectDifference(Both("%ls", L"\u00e9"), "\xC3\xA9", "<failed>");
  // The digit generator yields 17 digits; further ones are zeros.
  ExpectDifference(Both("%.20f", 0.1), "0.10000000000000001000", "0.10000000000000000555");
  ExpectDifference(Both("%.18e", 1.0 / 3), "3.333333333333333100e-01", "3.333333333333333148e-01");
  ExpectDifference(Both("%.20g", 0.1), "0.10000000000000001", "0.10000000000000000555");
  // '#' keeps the zeros of %g also when rounding moves to the next power of
  // ten; a negative width from a positional '*' makes '-' win over '0'.
  ExpectDifference(Both("%#g", 999999.7), "1.00000e+06", "1.e+06");
  ExpectDifference(Both("%1$0*2$f|", 1.5, -12), "1.500000    |", "1.5000000000|");
  // Infinity and NaN take '-' as their only sign.
  ExpectDifference(Both("%+f|% e", INFINITY, static_cast<double>(NAN)), "inf|nan", "+inf| nan");
  // Grouping applies to decimal conversions only (and the C locale has
  // none); a '0' position is no position.
  ExpectDifference(Both("%0$d", 1), "$d", "%0$d");
}

}  // namespace
