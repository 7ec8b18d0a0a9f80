// The Str operations: the overflow policies around the formatter (the UTF-8
// cut, the panics), and the bounded copy, concatenation and search.

#include <brellis/str.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Formats through Str_Vsnprintf, unchecked, for formats the compiler's
// checker would refuse.
int Snprintf(char *buf, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = Str_Vsnprintf(buf, size, format, ap);
  va_end(ap);
  return n;
}

char *Asprintf(size_t *length, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *s = Str_Vasprintf(length, format, ap);
  va_end(ap);
  return s;
}

const char kHello[] = "h\xC3\xA9llo";  // 'e' with an acute accent second

TEST(StrSnprintf, CutsAtWholeUtf8Sequences) {
  char buf[16];
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(Str_Snprintf(buf, 3, "%s", kHello), -1);
  EXPECT_STREQ(buf, "h");
  EXPECT_EQ(Str_Snprintf(buf, 4, "%s", kHello), -1);
  EXPECT_STREQ(buf, "h\xC3\xA9");
  EXPECT_EQ(Str_Snprintf(buf, 7, "%s", kHello), 6);
  EXPECT_STREQ(buf, kHello);
  EXPECT_EQ(Str_Snprintf(buf, 6, "%s", kHello), -1);
  EXPECT_STREQ(buf, "h\xC3\xA9ll");
  // Four-byte sequences, cut at every place.
  const char emoji[] = "\xF0\x9F\x98\x80\xF0\x9F\x98\x80";
  for (size_t size = 1; size <= 8; ++size) {
    EXPECT_EQ(Str_Snprintf(buf, size, "%s", emoji), -1);
    EXPECT_EQ(strlen(buf), size <= 4 ? 0u : 4u) << size;
  }
  EXPECT_EQ(Str_Snprintf(buf, 9, "%s", emoji), 8);
}

TEST(StrSnprintf, SizeZeroAndOne) {
  char buf[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(Str_Snprintf(buf, 0, "%s", ""), -1);
  EXPECT_EQ(Str_Snprintf(buf, 0, "abc"), -1);
  EXPECT_EQ(buf[0], 'X');
  // Nothing to keep: nothing is kept, and nothing before the buffer is read
  // (the buffer is the very start of its allocation, for the sanitizers).
  auto *exact = static_cast<char *>(malloc(1));
  *exact = 'X';
  EXPECT_EQ(Str_Snprintf(exact, 1, "%s", "\xC3\xA9"), -1);
  EXPECT_EQ(*exact, '\0');
  EXPECT_EQ(Str_Snprintf(exact, 1, "%s", ""), 0);
  free(exact);
}

TEST(StrSnprintf, FailurePartWayKeepsWhatWasWritten) {
  ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
  char buf[32];
  memset(buf, 'X', sizeof buf);
  // The euro sign has no form in the C locale.
  EXPECT_EQ(Snprintf(buf, sizeof buf, "%s|%lc|tail", kHello, static_cast<wint_t>(0x20AC)), -1);
  EXPECT_STREQ(buf, "h\xC3\xA9llo|");
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(Snprintf(buf, 3, "%s%lc", kHello, static_cast<wint_t>(0x20AC)), -1);
  EXPECT_STREQ(buf, "h");
}

TEST(StrAsprintf, StoresTheLengthOnlyOnSuccess) {
  size_t length = 99;
  char *s = Str_Asprintf(&length, "%s-%05.1f", "x", 2.25);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "x-002.2");
  EXPECT_EQ(length, 7u);
  free(s);
  s = Str_Asprintf(nullptr, "%s", "");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");
  free(s);
  ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
  length = 99;
  EXPECT_EQ(Asprintf(&length, "a%Cb", static_cast<wint_t>(0x20AC)), nullptr);
  EXPECT_EQ(length, 99u);
  s = Str_SafeAsprintf(&length, "%d", 12);
  EXPECT_STREQ(s, "12");
  EXPECT_EQ(length, 2u);
  free(s);
}

// Runs fn in a child and returns what it wrote to standard error; the child
// must end with the panic's status.
template <class Fn>
std::string PanicOutput(Fn fn) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    fn();
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char chunk[512];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) {
    out.append(chunk, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status << " " << out;
  return out;
}

// The address the panic names, parsed from its message.
uintptr_t PanicAddress(const std::string &out) {
  size_t at = out.find("Buffer too small 0x");
  if (at == std::string::npos) {
    ADD_FAILURE() << out;
    return 0;
  }
  return static_cast<uintptr_t>(strtoull(out.c_str() + at + 19, nullptr, 16));
}

__attribute__((noinline)) void SprintfTooLong() {
  char buf[4];
  Str_Sprintf(buf, sizeof buf, "%s", "toolong");
}

TEST(StrPanics, BufferTooSmallNamesTheWholeCallerAddress) {
  std::string out = PanicOutput(SprintfTooLong);
  EXPECT_NE(out.find("str.cc:"), std::string::npos) << out;
  uintptr_t start = reinterpret_cast<uintptr_t>(&SprintfTooLong);
  uintptr_t at = PanicAddress(out);
  EXPECT_GT(at, start) << out;
  EXPECT_LT(at, start + 256) << out;
  char ok[8];
  EXPECT_EQ(Str_Sprintf(ok, sizeof ok, "%s", "fits"), 4);
  EXPECT_STREQ(ok, "fits");
}

TEST(StrPanics, SafeAsprintfFailure) {
  std::string out = PanicOutput([] {
    setlocale(LC_CTYPE, "C");
    Str_SafeAsprintf(nullptr, "%lc", static_cast<wint_t>(0x20AC));
  });
  EXPECT_NE(out.find("NOT_IMPLEMENTED "), std::string::npos) << out;
  EXPECT_NE(out.find("str.cc:"), std::string::npos) << out;
}

TEST(StrCopy, StrcpyAndStrcat) {
  char buf[6] = "ab";
  EXPECT_EQ(Str_Strcat(buf, "cde", sizeof buf), buf);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(Str_Strcpy(buf, "12345", sizeof buf), buf);
  EXPECT_STREQ(buf, "12345");
  EXPECT_NE(PanicOutput([] {
              char b[6] = "ab";
              Str_Strcat(b, "cdef", sizeof b);
            }).find("Buffer too small"),
            std::string::npos);
  EXPECT_NE(PanicOutput([] {
              char b[6];
              Str_Strcpy(b, "123456", sizeof b);
            }).find("Buffer too small"),
            std::string::npos);
}

TEST(StrCopy, StrncatProceedsWhenCountOrSourceFits) {
  char buf[8] = "ab";
  // The count is larger than the room, but the whole source fits.
  EXPECT_EQ(Str_Strncat(buf, sizeof buf, "cde", 100), buf);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(Str_Strncat(buf, sizeof buf, "fg", SIZE_MAX), buf);
  EXPECT_STREQ(buf, "abcdefg");
  // The source is too long, but the count fits.
  char small[6] = "ab";
  EXPECT_EQ(Str_Strncat(small, sizeof small, "cdefgh", 2), small);
  EXPECT_STREQ(small, "abcd");
  // Neither fits, also when the count would wrap a naive sum around.
  for (size_t count : {size_t{4}, SIZE_MAX, SIZE_MAX - 1}) {
    EXPECT_NE(PanicOutput([count] {
                char b[6] = "ab";
                Str_Strncat(b, sizeof b, "cdefgh", count);
              }).find("Buffer too small"),
              std::string::npos)
        << count;
  }
}

TEST(StrSearch, LengthAndSubstringWithinALimit) {
  EXPECT_EQ(Str_Strlen("hello", 3), 3u);
  EXPECT_EQ(Str_Strlen("hello", 10), 5u);
  EXPECT_EQ(Str_Strlen("", 0), 0u);
  const char text[] = "abcabd\0abx";
  EXPECT_EQ(Str_Strnstr(text, "abd", sizeof text), text + 3);
  EXPECT_EQ(Str_Strnstr(text, "abd", 5), nullptr);  // runs past the limit
  EXPECT_EQ(Str_Strnstr(text, "abd", 6), text + 3);
  EXPECT_EQ(Str_Strnstr(text, "abx", sizeof text), nullptr);  // after the NUL
  EXPECT_EQ(Str_Strnstr(text, "", 0), text);
}

TEST(StrCase, OnlyAsciiLettersChange) {
  char s[] = "Ab\xC3\x89z-Z";
  EXPECT_STREQ(Str_ToLower(s), "ab\xC3\x89z-z");
  EXPECT_STREQ(Str_ToUpper(s), "AB\xC3\x89Z-Z");
}

}  // namespace
