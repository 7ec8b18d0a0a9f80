// The line grammar: what is an assignment, escapes both ways, line ends.

#include <brellis/dictll.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

struct Parsed {
  std::string line;
  std::optional<std::string> name;
  std::optional<std::string> value;
  size_t consumed = 0;
};

Parsed Unmarshal(const std::string &text) {
  char *line;
  char *name;
  char *value;
  const char *end = DictLL_UnmarshalLine(text.data(), text.size(), &line, &name, &value);
  Parsed p;
  p.consumed = static_cast<size_t>(end - text.data());
  p.line = line ? line : "";
  if (name) p.name = name;
  if (value) p.value = value;
  EXPECT_EQ(name == nullptr, value == nullptr);
  free(line);
  free(name);
  free(value);
  return p;
}

TEST(DictLLUnmarshal, AssignmentsInTheirForms) {
  struct Case {
    const char *text, *name, *value;
  } cases[] = {
      {"a=1", "a", "1"},
      {"a = 1 # note", "a", "1"},
      {"a = \"x y\"", "a", "x y"},
      {"a =", "a", ""},
      {"name = # comment", "name", ""},
      {"\t k.x\t=\t\"#=\"  ", "k.x", "#="},
      {"a = b=c", "a", "b=c"},
      {"a = 1\r", "a", "1\r"},  // a carriage return is an ordinary byte here
  };
  for (const Case &c : cases) {
    Parsed p = Unmarshal(c.text);
    ASSERT_TRUE(p.name.has_value()) << c.text;
    EXPECT_EQ(*p.name, c.name) << c.text;
    EXPECT_EQ(*p.value, c.value) << c.text;
    EXPECT_EQ(p.line, c.text);
  }
}

TEST(DictLLUnmarshal, LinesThatAreNotAssignments) {
  for (const char *text : {"a = x y", "a \"x\"", "= x", "a = \"x\" y", "a = \"open", "# c", "",
                           "   ", "a", "name = \"x\"junk"}) {
    Parsed p = Unmarshal(text);
    EXPECT_FALSE(p.name.has_value()) << text;
    EXPECT_EQ(p.line, text);
  }
}

TEST(DictLLUnmarshal, EscapesUndoneOnlyWhenComplete) {
  EXPECT_EQ(*Unmarshal("n = \"a|22b\"").value, "a\"b");
  EXPECT_EQ(*Unmarshal("n = \"|7c|0A\"").value, "|\n");
  EXPECT_EQ(*Unmarshal("n = \"||41\"").value, "||41");
  EXPECT_EQ(*Unmarshal("n = \"|4G\"").value, "|4G");
  EXPECT_EQ(*Unmarshal("n = \"x|4\"").value, "x|4");
  EXPECT_EQ(*Unmarshal("n = |41|").value, "A|");
}

TEST(DictLLUnmarshal, StopsAtTheFirstNewline) {
  std::string buf = "a = 1\nb = 2";
  Parsed p = Unmarshal(buf);
  EXPECT_EQ(p.consumed, 6u);
  EXPECT_EQ(*p.name, "a");
  char *line;
  char *name;
  char *value;
  EXPECT_EQ(DictLL_UnmarshalLine(buf.data(), 0, &line, &name, &value), nullptr);
  EXPECT_EQ(line, nullptr);
}

std::string Marshal(const char *name, const char *value) {
  DynBuf b;
  DynBuf_Init(&b);
  EXPECT_TRUE(DictLL_MarshalLine(&b, name, value));
  std::string out(b.data ? b.data : "", b.size);
  DynBuf_Destroy(&b);
  return out;
}

TEST(DictLLMarshal, EscapesWhatWouldNotReadBack) {
  EXPECT_EQ(Marshal("name", "a\"b|"), "name = \"a|22b|7C\"\n");
  EXPECT_EQ(Marshal("n", "tab\there\x01\x7f\n"), "n = \"tab\there|01|7F|0A\"\n");
  EXPECT_EQ(Marshal("n", ""), "n = \"\"\n");
  EXPECT_EQ(Marshal(nullptr, "# kept | \"as is\""), "# kept | \"as is\"\n");
  // Every byte value survives a round trip.
  std::string all;
  for (int c = 1; c < 256; c++) all.push_back(static_cast<char>(c));
  std::string line = Marshal("k", all.c_str());
  Parsed p = Unmarshal(line);
  ASSERT_TRUE(p.value.has_value());
  EXPECT_EQ(*p.value, all);
}

struct Stream {
  explicit Stream(const std::string &content) {
    f = tmpfile();
    fwrite(content.data(), 1, content.size(), f);
    rewind(f);
  }
  ~Stream() { fclose(f); }
  FILE *f;
};

TEST(DictLLReadLine, AllThreeLineEndsAndAnUnendedLastLine) {
  Stream s("a = 1\r\nb = 2\rc = 3\n\nlast");
  std::string lines;
  char *line;
  char *name;
  char *value;
  int r;
  while ((r = DictLL_ReadLine(s.f, &line, &name, &value)) == 2) {
    lines += std::string("[") + line + "]" + (name ? name : "-");
    free(line);
    free(name);
    free(value);
  }
  EXPECT_EQ(r, 1);
  EXPECT_EQ(lines, "[a = 1]a[b = 2]b[c = 3]c[]-[last]-");
}

TEST(DictLLReadLine, ByteOrderMarkConsumedOnlyWhenWhole) {
  Stream bom("\xEF\xBB\xBFx = 1\n");
  EXPECT_TRUE(DictLL_ReadUTF8BOM(bom.f));
  EXPECT_EQ(fgetc(bom.f), 'x');
  Stream partial("\xEF\xBBx\n");
  EXPECT_FALSE(DictLL_ReadUTF8BOM(partial.f));
  EXPECT_EQ(fgetc(partial.f), 0xEF);
  Stream empty("");
  EXPECT_FALSE(DictLL_ReadUTF8BOM(empty.f));
  EXPECT_FALSE(DictLL_ReadUTF8BOM(stdin));
}

TEST(DictLLWriteLine, OneLinePerCall) {
  Stream s("");
  ASSERT_TRUE(DictLL_WriteLine(s.f, "k", "v|"));
  ASSERT_TRUE(DictLL_WriteLine(s.f, nullptr, "# c"));
  rewind(s.f);
  char buf[64] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, s.f);
  EXPECT_EQ(std::string(buf, n), "k = \"v|7C\"\n# c\n");
}

}  // namespace
