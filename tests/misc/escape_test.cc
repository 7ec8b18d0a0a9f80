// Escaping bytes for messages and undoing it.

#include <brellis/escape.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string Take(void *p, size_t len) {
  std::string s(static_cast<char *>(p), len);
  EXPECT_EQ(static_cast<char *>(p)[len], '\0');
  free(p);
  return s;
}

TEST(Escape, DoAndUndoRoundTripEveryByte) {
  int table[256] = {};
  for (int b = 0; b < 256; b++) table[b] = b < 0x20 || b == '%' || b >= 0x7F;
  std::string all;
  for (int b = 0; b < 256; b++) all.push_back(static_cast<char>(b));
  size_t len = 0;
  void *escaped = Escape_Do("%", table, all.data(), all.size(), &len);
  ASSERT_NE(escaped, nullptr);
  std::string e = Take(escaped, len);
  EXPECT_EQ(e.substr(0, 6), "%00%01");
  EXPECT_NE(e.find("%25"), std::string::npos);
  EXPECT_NE(e.find("%FF"), std::string::npos);  // upper-case digits
  void *back = Escape_Undo('%', e.data(), e.size(), &len);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Take(back, len), all);
}

TEST(Escape, UndoKeepsWhatIsNotAnEscape) {
  size_t len = 0;
  const std::string cases[][2] = {
      {"a%4a", "aJ"}, {"%", "%"}, {"%4", "%4"}, {"%zz", "%zz"}, {"x%4g1", "x%4g1"}};
  for (const auto &c : cases) {
    void *out = Escape_Undo('%', c[0].data(), c[0].size(), &len);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Take(out, len), c[1]) << c[0];
  }
}

}  // namespace
