#include "driver/table/filter_test.h"

#include "driver/table/table_fixture.h"

namespace {

struct PatternCase {
  std::u16string_view pattern;
  std::u16string_view name;
  bool matches;
};

constexpr PatternCase kPatternCases[] = {
    {u"*.t?t", u"notes.txt", true},
    {u"*.t?t", u"NOTES.TXT", true},
    {u"*.t?t", u"notes.tx", false},
    {u"*?x", u"a?x", true},
    {u"*?x", u"abx", false},
    {u"*", u"anything", true},
    {u"a*", u"a", true},
    {u"*ab", u"aab", true},
    {u"*a", u"aXa", true},
    {u"a*b*c", u"aXbYbZc", true},
    {u"a*b*c", u"aXbYbZ", false},
    {u"ab*.txt", u"ab", false},
    {u"??", u"é1", true},
    {u"??", u"abc", false},
    {u"Ä*", u"äpfel", true},
    {u"", u"", false},
    {u"", u"a", false},
    {u"abc", u"abc", true},
    {u"abc", u"abcd", false},
};

}  // namespace

TEST(PatternMatch, MatchesWildcardsIgnoringCase) {
  for (const PatternCase& c : kPatternCases) {
    SCOPED_TRACE(Narrow(c.pattern) + " ~ " + Narrow(c.name));
    EXPECT_EQ(PatternMatch(c.pattern, c.name), c.matches);
  }
}

TEST_F(TableTest, IncludeModeWithSubfoldersFiltersByNameOnly) {
  AddPair(u"c:\\Src", u"d:\\M", KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS | KV_FLAG_INCLUDE_LIST);
  SetFilter(u"c:\\Src", {{kFilterFolder, u"keep"}, {kFilterExtension, u".doc"}, {kFilterEnd, u""}});
  const PathNode& source = *Node(u"c:\\Src");
  EXPECT_TRUE(PassesFilter(source, std::nullopt, u"\\other"));
  EXPECT_TRUE(PassesFilter(source, u"a.doc", u"\\other"));
  EXPECT_FALSE(PassesFilter(source, u"a.txt", u"\\keep"));
  // The mirror answers with its source's filter.
  EXPECT_TRUE(PassesFilter(*Node(u"d:\\M"), u"x.DOC", u""));
  EXPECT_FALSE(PassesFilter(*Node(u"d:\\M"), u"x.txt", u""));
}

TEST_F(TableTest, FolderOnlyTestNeedsSubfoldersOrIncludeMode) {
  AddPair(u"c:\\Flat", u"d:\\M", KV_FLAG_SOURCE);
  EXPECT_FALSE(PassesFilter(*Node(u"c:\\Flat"), std::nullopt, u"\\sub"));
  EXPECT_TRUE(PassesFilter(*Node(u"c:\\Flat"), u"a.txt", u""));
}
