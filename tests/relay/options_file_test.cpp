// The options file's reader: what it takes, and every kind of line it leaves out. Reading the
// file, and one that cannot be read, are end-to-end cases (tests/e2e/linux/healing_linux_test.cpp).

#include "relay/options_file.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* name;
  std::string text;
  int retry;     // 0: not given
  int line;      // where it was given
  std::vector<std::pair<int, std::string>> problems;
};

const std::string kWanted = "retry takes one value, the seconds between tries, from 1 to 3600";

TEST(OptionsFile, TakesWhatItCanAndLeavesOutEachBadLine) {
  const std::vector<Case> cases = {
      {"empty", "", 0, 0, {}},
      {"comments and blank lines count as lines", "# note\n\n   \t\nretry 9\n", 9, 4, {}},
      {"byte-order mark, CR LF, tabs, any case", "\xEF\xBB\xBF\t RETRY\t7 # seven\r\n", 7, 1, {}},
      {"limits", "retry 1\nretry 3600\n", 1, 1, {{2, "retry is given a second time: line 1 counts"}}},
      {"the first one counts", "retry 0\nretry 4\nRetry 5\n", 4, 2,
       {{1, kWanted + ", not \"0\""}, {3, "retry is given a second time: line 2 counts"}}},
      {"values that are no seconds", "retry 3601\nretry -1\nretry 2s\nretry#5\nretry 1 2\n", 0, 0,
       {{1, kWanted + ", not \"3601\""},
        {2, kWanted + ", not \"-1\""},
        {3, kWanted + ", not \"2s\""},
        {4, kWanted + "; it has none"},
        {5, kWanted + "; it has more"}}},
      {"unknown keywords, shown as written", "retries 5\n\xD0\xBF\xD0\xBE\xD0\xB2\xD1\x82\xD0\xBE\xD1\x80 5\n" +
           std::string(50, 'x') + "\x01\n",
       0, 0,
       {{1, "unknown keyword \"retries\""},
        {2, "unknown keyword \"\xD0\xBF\xD0\xBE\xD0\xB2\xD1\x82\xD0\xBE\xD1\x80\""},
        {3, "unknown keyword \"" + std::string(40, 'x') + "...\""}}},
  };
  for (const Case& c : cases) {
    const TOptionsFile file = ReadOptionsText(c.text);
    EXPECT_TRUE(file.Found) << c.name;
    EXPECT_EQ(file.Options.Retry.value, c.retry) << c.name;
    EXPECT_EQ(file.Options.Retry.line, c.line) << c.name;
    std::vector<std::pair<int, std::string>> problems;
    for (const TOptionsProblem& problem : file.Problems) problems.emplace_back(problem.line, problem.what);
    EXPECT_EQ(problems, c.problems) << c.name;
  }
}

}  // namespace
