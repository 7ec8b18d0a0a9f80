// Grouping and decimal points under real locales, built with localedef for
// the test: the separators of the locale are used whole, multibyte ones
// included, and grouping follows the locale's group sizes.

#include <brellis/str.h>

#include "formatInto.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "support/tempDir.h"

extern char **environ;

using stringtest::FormatInto;

namespace {

// A locale whose numbers use a multibyte decimal point (U+066B) and
// thousands separator (U+202F), groups of 3, then 2, then no more.
const char kCustomSource[] =
    "comment_char %\n"
    "escape_char /\n"
    "LC_CTYPE\ncopy \"en_US\"\nEND LC_CTYPE\n"
    "LC_NUMERIC\n"
    "decimal_point \"<U066B>\"\n"
    "thousands_sep \"<U202F>\"\n"
    "grouping 3;2;-1\n"
    "END LC_NUMERIC\n";

bool RunLocaledef(const std::string &input, const std::string &output) {
  const char *argv[] = {"localedef", "-c",    "-i",           input.c_str(),
                        "-f",        "UTF-8", output.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, "localedef", &actions, nullptr, const_cast<char **>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    return false;
  }
  int status;
  if (waitpid(pid, &status, 0) != pid) {
    return false;
  }
  // localedef reports warnings (categories left out) with status 1.
  struct stat st;
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1 && stat(output.c_str(), &st) == 0;
}

template <class... A>
std::string Format(const char *format, A... args) {
  char buf[512];
  int n = FormatInto(buf, sizeof buf, format, args...);
  return n < 0 ? "<failed>" : std::string(buf, static_cast<size_t>(n));
}

template <class... A>
std::string Platform(const char *format, A... args) {
  char buf[512];
  int n = snprintf(buf, sizeof buf, format, args...);
  return n < 0 ? "<failed>" : std::string(buf, static_cast<size_t>(n));
}

bool ValidUtf8(const std::string &s) {
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
      return false;
    }
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += len;
  }
  return true;
}

class LocaleNumbers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir;
    setenv("LOCPATH", dir_->path().c_str(), 1);
  }

  static void TearDownTestSuite() {
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    delete dir_;
    dir_ = nullptr;
  }

  void TearDown() override { setlocale(LC_ALL, "C"); }

  // Switches the numeric conventions to a locale, building it on first use:
  // "xx_XX" from kCustomSource, the others from the system's sources.
  bool Use(const std::string &name) {
    std::string path = *dir_ / (name + ".UTF-8");
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      std::string source = name;
      if (name == "xx_XX") {
        source = *dir_ / "custom.src";
        if (!testsupport::WriteFile(source, kCustomSource)) {
          return false;
        }
      }
      if (!RunLocaledef(source, path)) {
        return false;
      }
    }
    return setlocale(LC_NUMERIC, (name + ".UTF-8").c_str()) != nullptr;
  }

  // Random grouped conversions, compared with the platform. Where the
  // locale's separators are multibyte, floats get no width: the platform
  // counts a float's width in characters (and an integer's in bytes), this
  // system in bytes throughout.
  void AgreeOnGrouping(bool multibyte) {
    std::mt19937_64 rng(7);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int mismatches = 0;
    for (int i = 0; i < 3000; ++i) {
      std::string format = "%'";
      for (char flag : std::string("-+ 0")) {
        if (uniform(0, 3) == 0) {
          format += flag;
        }
      }
      bool isInteger = uniform(0, 1) == 0;
      if (uniform(0, 1) == 0 && (isInteger || !multibyte)) {
        format += std::to_string(uniform(1, 30));
      }
      std::string ours;
      std::string theirs;
      if (isInteger) {
        format += "ld";
        long v = static_cast<long>(rng()) >> uniform(0, 63);
        ours = Format(format.c_str(), v);
        theirs = Platform(format.c_str(), v);
      } else {
        char conv = "fFgGe"[uniform(0, 4)];
        if (uniform(0, 2) != 0) {
          format += "." + std::to_string(uniform(0, conv == 'e' ? 16 : 17));
        }
        format += conv;
        double v =
            std::uniform_real_distribution<double>(-10, 10)(rng) * std::pow(10, uniform(-6, 20));
        ours = Format(format.c_str(), v);
        theirs = Platform(format.c_str(), v);
      }
      EXPECT_TRUE(ValidUtf8(ours)) << format << ": " << ours;
      if (ours != theirs && ++mismatches <= 10) {
        ADD_FAILURE() << format << ": ours \"" << ours << "\", platform \"" << theirs << "\"";
      }
    }
    EXPECT_EQ(mismatches, 0);
  }

  static testsupport::TempDir *dir_;
};

testsupport::TempDir *LocaleNumbers::dir_ = nullptr;

TEST_F(LocaleNumbers, CommaEveryThreeDigits) {
  if (!Use("en_US")) {
    GTEST_SKIP() << "en_US.UTF-8 could not be built";
  }
  EXPECT_EQ(Format("%'d", 1234567), "1,234,567");
  EXPECT_EQ(Format("%'d|%'d|%'d", 123, -1234, 0), "123|-1,234|0");
  EXPECT_EQ(Format("%'.2f", 1234567.891), "1,234,567.89");
  EXPECT_EQ(Format("%d %.1f", 1234567, 2.5), "1234567 2.5");  // only with the flag
  AgreeOnGrouping(false);
}

TEST_F(LocaleNumbers, MultibyteSeparatorIsEmittedWhole) {
  if (!Use("fr_FR")) {
    GTEST_SKIP() << "fr_FR.UTF-8 could not be built";
  }
  EXPECT_EQ(Format("%'d", 1234567),
            "1\xE2\x80\xAF"
            "234\xE2\x80\xAF"
            "567");
  EXPECT_EQ(Format("%'.1f", -1234.25),
            "-1\xE2\x80\xAF"
            "234,2");
  // A cut never leaves part of the separator.
  char buf[4];
  EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%'d", 1234), -1);
  EXPECT_STREQ(buf, "1");
  AgreeOnGrouping(true);
}

TEST_F(LocaleNumbers, GroupSizesChangeAlongTheNumber) {
  if (!Use("en_IN")) {
    GTEST_SKIP() << "en_IN.UTF-8 could not be built";
  }
  EXPECT_EQ(Format("%'lu", 12345678901UL), "12,34,56,78,901");
  AgreeOnGrouping(false);
}

TEST_F(LocaleNumbers, GroupingEndsAndDecimalPointIsMultibyte) {
  if (!Use("xx_XX")) {
    GTEST_SKIP() << "the test locale could not be built";
  }
  // Groups of 3 and 2, then the rest ungrouped.
  EXPECT_EQ(Format("%'d", -1234567890),
            "-12345\xE2\x80\xAF"
            "67\xE2\x80\xAF"
            "890");
  EXPECT_EQ(Format("%.2f", 1.5),
            "1\xD9\xAB"
            "50");
  EXPECT_EQ(Format("%#.0e", 2.0),
            "2\xD9\xAB"
            "e+00");
  AgreeOnGrouping(true);
}

TEST_F(LocaleNumbers, DeliberateDifferencesFromThePlatform) {
  if (!Use("en_US")) {
    GTEST_SKIP() << "en_US.UTF-8 could not be built";
  }
  // A precision counts digits, not the separators between them.
  EXPECT_EQ(Format("%'.10d", 1234567), "0001,234,567");
  EXPECT_EQ(Platform("%'.10d", 1234567), "01,234,567");
  // Widths count bytes, for floats too.
  ASSERT_TRUE(Use("fr_FR"));
  EXPECT_EQ(Format("%'10.1f|", 1234.5),
            " 1\xE2\x80\xAF"
            "234,5|");
  EXPECT_EQ(Platform("%'10.1f|", 1234.5),
            "   1\xE2\x80\xAF"
            "234,5|");
  ASSERT_TRUE(Use("en_US"));
  // Only decimal conversions are grouped.
  EXPECT_EQ(Format("%'x", 0x123456), "123456");
  EXPECT_EQ(Platform("%'x", 0x123456), "123,456");
}

}  // namespace
