// Entries and typed values: conversions, defaults, flags, merging.

#include <brellis/dictionary.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class DictionaryTest : public ::testing::Test {
 protected:
  ~DictionaryTest() override {
    Dictionary_Free(dict);
    MsgList_Free(messages);
  }
  void Load(const char *text) {
    ASSERT_TRUE(Dictionary_LoadFromBuffer(dict, text, true, 0, nullptr)) << text;
  }
  std::vector<std::string> Ids() const {
    std::vector<std::string> ids;
    for (MsgList *m = messages; m; m = m->next) ids.insert(ids.begin(), m->id);
    return ids;
  }
  std::string Text() const { return messages ? messages->text : ""; }
  std::string Written() {
    char *buf;
    size_t size;
    EXPECT_TRUE(Dictionary_WriteToBuffer(dict, false, &buf, &size));
    std::string out(buf, size - 1);
    free(buf);
    return out;
  }
  Dictionary *dict = Dictionary_Create();
  MsgList *messages = nullptr;
};

TEST_F(DictionaryTest, BoolAndTristateTexts) {
  Load("e=\nOn = On\ny=YES\none=1\nno=no\ntwo=2\nauto=Auto\nmaybe=maybe\nt=t\n");
  EXPECT_TRUE(Dictionary_GetBool(dict, false, "e"));
  EXPECT_TRUE(Dictionary_GetBool(dict, false, "on"));
  EXPECT_TRUE(Dictionary_GetBool(dict, false, "y"));
  EXPECT_TRUE(Dictionary_GetBool(dict, false, "one"));
  EXPECT_FALSE(Dictionary_GetBool(dict, true, "no"));
  EXPECT_TRUE(Dictionary_GetBool(dict, true, "two"));
  int32_t def = 0;
  EXPECT_EQ(*static_cast<int32_t *>(Dictionary_Get(dict, &def, DICT_TYPE_TRISTATE, "auto")), -1);
  def = 1;
  EXPECT_EQ(*static_cast<int32_t *>(Dictionary_Get(dict, &def, DICT_TYPE_TRISTATE, "maybe")), 1);
  EXPECT_EQ(*static_cast<int32_t *>(Dictionary_Get(dict, &def, DICT_TYPE_TRISTATE, "t")), 1);
}

TEST_F(DictionaryTest, Int32FollowsThirtyTwoBitRules) {
  Load(
      "hex=0x10\noct=010\nwrap=4294967295\nbig=99999999999\njunk=12abc\nempty=\n"
      "min=-2147483648\nnegwrap=-4294967295\nhuge=99999999999999999999999\n");
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "hex"), 16);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "oct"), 8);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "wrap"), -1);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "big"), 7);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "junk"), 7);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "empty"), 0);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "min"), INT32_MIN);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "negwrap"), 1);
  EXPECT_EQ(Dictionary_GetInt32(dict, 7, "huge"), 7);
}

TEST_F(DictionaryTest, Int64AndDoubleConversions) {
  Load("i=0x7fffffffffffffff\nneg=-1\nbig=99999999999999999999\nd=0.25\nbad=1.5x\n");
  EXPECT_EQ(Dictionary_GetInt64(dict, 3, "i"), INT64_MAX);
  EXPECT_EQ(Dictionary_GetInt64(dict, 3, "neg"), -1);
  EXPECT_EQ(Dictionary_GetInt64(dict, 3, "big"), 3);
  EXPECT_EQ(Dictionary_GetDouble(dict, 2.0, "d"), 0.25);
  EXPECT_EQ(Dictionary_GetDouble(dict, 2.0, "bad"), 2.0);
}

TEST_F(DictionaryTest, WarningsOfWritesCarryTheValueUsed) {
  Load("n=5\nb=x\nt=x\n");
  const char *text = "12abc";
  Dictionary_GetInt32(dict, 0, "n");
  ASSERT_TRUE(Dictionary_SetWithMsgList(dict, &text, DICT_TYPE_UNTYPED, "n", &messages));
  EXPECT_EQ(Text(),
            "Value \"12abc\" for variable \"n\" is not a valid integer value. Using value "
            "\"12\".\n");
  bool on = true;
  Dictionary_SetWithMsgList(dict, &on, DICT_TYPE_BOOL, "b", &messages);
  EXPECT_EQ(Text(),
            "Value \"x\" for variable \"b\" is not a valid boolean value. Using value "
            "\"FALSE\".\n");
  int32_t tri = 1;
  Dictionary_SetWithMsgList(dict, &tri, DICT_TYPE_TRISTATE, "t", &messages);
  EXPECT_EQ(Ids(),
            (std::vector<std::string>{"msg.dictionary.notInteger", "msg.dictionary.notBoolean",
                                      "msg.dictionary.notTristate"}));
  EXPECT_TRUE(Dictionary_GetBool(dict, false, "b"));
}

TEST_F(DictionaryTest, DefaultsPersistAndAreNeverWritten) {
  EXPECT_EQ(Dictionary_GetInt32(dict, 5, "missing"), 5);
  EXPECT_EQ(Dictionary_GetInt32(dict, 9, "MISSING"), 5);
  EXPECT_TRUE(Dictionary_IsDefined(dict, "missing"));
  EXPECT_TRUE(Dictionary_NotSet(dict, "missing"));
  EXPECT_FALSE(Dictionary_IsModified(dict));
  EXPECT_EQ(Written(), ".encoding = \"UTF-8\"\n");
  Dictionary_SetInt32(dict, 6, "Missing");
  EXPECT_FALSE(Dictionary_NotSet(dict, "missing"));
  EXPECT_EQ(Written(), ".encoding = \"UTF-8\"\nmissing = \"6\"\n");
}

TEST_F(DictionaryTest, QuietWritesMarkModifiedOnlyOnChange) {
  Load("s = \"x\"\n");
  const char *same = "x";
  Dictionary_Set(dict, &same, DICT_TYPE_STRING | DICT_FLAG_QUIET, "s");
  EXPECT_FALSE(Dictionary_IsModified(dict));
  Dictionary_Set(dict, &same, DICT_TYPE_STRING, "s");
  EXPECT_TRUE(Dictionary_IsModified(dict));
}

TEST_F(DictionaryTest, AnotherTypeNeverReinterpretsTheValue) {
  Dictionary_SetInt32(dict, 42, "n");
  // A read as another type gets the default, not the bits of the integer.
  EXPECT_EQ(Dictionary_GetInt64(dict, -9, "n"), -9);
  EXPECT_EQ(Dictionary_GetDouble(dict, 1.5, "n"), 1.5);
  char *s = Dictionary_GetString(dict, "dflt", "n");
  EXPECT_STREQ(s, "dflt");
  free(s);
  EXPECT_EQ(Dictionary_GetInt32(dict, 0, "n"), 42);
  // A write as another type goes through the text.
  Dictionary_SetString(dict, "17", "n");
  EXPECT_EQ(Dictionary_GetInt32(dict, 0, "n"), 17);
  Dictionary_SetInt64(dict, 5000000000LL, "n");
  EXPECT_EQ(Dictionary_GetInt32(dict, 0, "n"), -1);
  Dictionary_SetBool(dict, true, "flag");
  Dictionary_SetInt32(dict, 0, "flag");
  EXPECT_FALSE(Dictionary_GetBool(dict, true, "flag"));
}

TEST_F(DictionaryTest, NamesTheFileCannotReadBackAreRefused) {
  for (const char *name : {"", "a b", "a#b", "a=b", "a\nb", "a\tb"}) {
    int32_t v = 1;
    EXPECT_FALSE(Dictionary_SetWithMsgList(dict, &v, DICT_TYPE_INT32, name, &messages)) << name;
    EXPECT_FALSE(Dictionary_IsDefined(dict, name));
  }
  EXPECT_EQ(Ids().size(), 6u);
  EXPECT_EQ(Ids()[0], "msg.dictionary.badName");
  EXPECT_FALSE(Dictionary_AddFromString(dict, " x =1", false, true, &messages));
  EXPECT_EQ(Written(), ".encoding = \"UTF-8\"\n");
}

TEST_F(DictionaryTest, TextFormsOfValues) {
  Dictionary_SetDouble(dict, 0.1, "d1");
  Dictionary_SetDouble(dict, 1.0 / 3, "d2");
  Dictionary_SetDouble(dict, 1e300, "d3");
  Dictionary_SetBool(dict, true, "b");
  Dictionary_SetInt64(dict, -5, "i");
  int32_t odd = 7;
  Dictionary_Set(dict, &odd, DICT_TYPE_TRISTATE, "t");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "d1"), "0.1");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "d2"), "0.3333333333333333");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "d3"), "1e+300");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "b"), "true");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "i"), "-5");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "t"), "false");
  EXPECT_EQ(Dictionary_GetAsString(dict, "none"), nullptr);
  EXPECT_EQ(Written(),
            ".encoding = \"UTF-8\"\nd1 = \"0.1\"\nd2 = \"0.3333333333333333\"\nd3 = \"1e+300\"\n"
            "b = \"TRUE\"\ni = \"-5\"\nt = \"FALSE\"\n");
  // The shortest text reads back as the very same double.
  Dictionary *back = Dictionary_Create();
  std::string text = Written();
  ASSERT_TRUE(Dictionary_LoadFromBuffer(back, text.c_str(), false, 0, nullptr));
  EXPECT_EQ(Dictionary_GetDouble(back, 0, "d2"), 1.0 / 3);
  Dictionary_Free(back);
}

TEST_F(DictionaryTest, AddFromStringStrictAndOverwriting) {
  EXPECT_TRUE(Dictionary_AddFromString(dict, "a=1=2", true, false, &messages));
  EXPECT_TRUE(Dictionary_AddFromString(dict, "bare", true, false, &messages));
  EXPECT_STREQ(Dictionary_GetAsString(dict, "a"), "1=2");
  EXPECT_STREQ(Dictionary_GetAsString(dict, "bare"), "");
  EXPECT_FALSE(Dictionary_IsModified(dict));
  EXPECT_FALSE(Dictionary_AddFromString(dict, "A=3", true, true, &messages));
  EXPECT_EQ(Text(), "Variable \"A\" is already defined.\n");
  EXPECT_TRUE(Dictionary_AddFromString(dict, "A=3", false, true, &messages));
  EXPECT_STREQ(Dictionary_GetAsString(dict, "a"), "3");
  EXPECT_TRUE(Dictionary_IsModified(dict));
}

TEST_F(DictionaryTest, MergeTypesAndSkipsMismatches) {
  Load("n = 1\ns = text\n");
  Dictionary *src = Dictionary_Create();
  Dictionary_SetInt32(src, 2, "N");
  Dictionary_SetBool(src, true, "s");
  Dictionary_SetString(src, "new", "added");
  Dictionary_Merge(dict, src);
  EXPECT_EQ(Dictionary_GetInt32(dict, 0, "n"), 2);
  // The untyped target takes the source's type before the value moves.
  EXPECT_STREQ(Dictionary_GetAsString(dict, "s"), "true");
  char *added = Dictionary_GetString(dict, nullptr, "added");
  EXPECT_STREQ(added, "new");
  free(added);
  Dictionary_SetString(src, "x", "n2");
  Dictionary_SetInt32(dict, 1, "n2");
  Dictionary_Merge(dict, src);
  EXPECT_EQ(Dictionary_GetInt32(dict, 0, "n2"), 1);
  Dictionary_Free(src);
}

TEST_F(DictionaryTest, IterateStringEnumAndUnset) {
  Load("a = 1\nmode = FAST\nodd = weird\n");
  Dictionary_GetInt32(dict, 3, "dflt");
  std::vector<std::string> seen;
  auto cb = [](const char *name, const char *value, int index, void *data) {
    static_cast<std::vector<std::string> *>(data)->push_back(std::to_string(index) + name + "=" +
                                                             (value ? value : "(null)"));
  };
  EXPECT_EQ(Dictionary_Iterate(dict, cb, &seen, false), 3);
  EXPECT_EQ(Dictionary_Iterate(dict, cb, &seen, true), 4);
  EXPECT_EQ(seen[0], "0a=1");
  EXPECT_EQ(seen[6], "3dflt=3");
  const char *choices[] = {"fast", "slow", nullptr};
  char *mode = Dictionary_GetStringEnum(dict, "slow", choices, "%s", "mode");
  char *odd = Dictionary_GetStringEnum(dict, "slow", choices, "odd");
  char *none = Dictionary_GetStringEnum(dict, nullptr, choices, "none");
  EXPECT_STREQ(mode, "fast");
  EXPECT_STREQ(odd, "slow");
  EXPECT_EQ(none, nullptr);
  free(mode);
  free(odd);
  Dictionary_Unset(dict, "A");
  EXPECT_FALSE(Dictionary_IsDefined(dict, "a"));
  EXPECT_EQ(Written(), ".encoding = \"UTF-8\"\nmode = FAST\nodd = weird\n");
}

TEST_F(DictionaryTest, OverlongNamesCreateNothing) {
  std::string longName(1100, 'k');
  EXPECT_EQ(Dictionary_GetInt32(dict, 5, "%s", longName.c_str()), 5);
  EXPECT_FALSE(Dictionary_SetInt32(dict, 6, "%s", longName.c_str()));
  // The cut name is another name, and must not have been touched.
  EXPECT_EQ(Dictionary_GetInt32(dict, 9, "%s", longName.substr(0, 1023).c_str()), 9);
}

TEST(DictionaryDeath, UnknownTypeEndsTheProcess) {
  Dictionary *dict = Dictionary_Create();
  int32_t v = 0;
  EXPECT_DEATH(Dictionary_Get(dict, &v, 7, "x"), "NOT_REACHED");
  Dictionary_Free(dict);
}

}  // namespace
