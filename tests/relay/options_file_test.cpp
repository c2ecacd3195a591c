// The options file's reader: what it takes, every kind of line it cannot read, and that any
// such line keeps every listener closed. Reading the file, and one that cannot be read, are
// end-to-end cases (tests/e2e/linux/healing_linux_test.cpp, tests/e2e/linux/access_linux_test.cpp).

#include "relay/options_file.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* name;
  std::string text;
  int value;     // of the option the case is about; 0: not given
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
           std::string(50, 'x') + "\n",
       0, 0,
       {{1, "unknown keyword \"retries\""},
        {2, "unknown keyword \"\xD0\xBF\xD0\xBE\xD0\xB2\xD1\x82\xD0\xBE\xD1\x80\""},
        {3, "unknown keyword \"" + std::string(40, 'x') + "\"... (50 bytes)"}}},
  };
  const std::string backlog = "backlog takes one value, the connections that may wait to be accepted, from 1 to 65535";
  const std::vector<Case> backlogs = {
      {"backlog limits", "backlog 1\nBACKLOG 65535\n", 1, 1, {{2, "backlog is given a second time: line 1 counts"}}},
      {"bad backlogs", "backlog 0\nbacklog 65536\nbacklog\nbacklog 1k\nbacklog 64\n", 64, 5,
       {{1, backlog + ", not \"0\""}, {2, backlog + ", not \"65536\""}, {3, backlog + "; it has none"},
        {4, backlog + ", not \"1k\""}}},
  };
  auto check = [](const std::vector<Case>& table, TOptionValue<int> TRelayOptions::*option) {
    for (const Case& c : table) {
      const TOptionsFile file = ReadOptionsText(c.text);
      EXPECT_TRUE(file.Found) << c.name;
      EXPECT_EQ((file.Options.*option).value, c.value) << c.name;
      EXPECT_EQ((file.Options.*option).line, c.line) << c.name;
      std::vector<std::pair<int, std::string>> problems;
      for (const TOptionsProblem& problem : file.Problems) problems.emplace_back(problem.line, problem.what);
      EXPECT_EQ(problems, c.problems) << c.name;
    }
  };
  check(cases, &TRelayOptions::Retry);
  check(backlogs, &TRelayOptions::Backlog);
}

// What the reader takes of bind, allow and limit lines, and what it says of each one it cannot
// read.
TEST(OptionsFile, AccessLinesAndWhatIsWrongWithTheBadOnes) {
  const TOptionsFile file = ReadOptionsText(
      "Bind Device 10.1.2.3\n"                   // 1
      "bind server 0.0.0.0\n"                    // 2: every address, said outright
      "allow SERVER 10.1.0.0/16 192.168.0.7\n"   // 3
      "allow server 0.0.0.0/0\n"                 // 4: lines add up
      "allow 003 device 127.0.0.1/32\n"          // 5: channel 3's own list
      "limit device 1\n"                         // 6
      "limit server 12345678901234\n",           // 7: no limit in practice
      3);
  EXPECT_TRUE(file.Readable());
  const TAccessOptions& access = file.Options.Access;
  EXPECT_EQ(access.Sides[lsDevice].Bind.value, 0x0A010203u);
  EXPECT_EQ(access.Sides[lsDevice].Bind.line, 1);
  EXPECT_EQ(access.Sides[lsServer].Bind.line, 2);
  EXPECT_EQ(access.Sides[lsServer].Allow.networks,
            (std::vector<IPv4Network>{{0x0A010000u, 16}, {0xC0A80007u, 32}, {0, 0}}));
  EXPECT_EQ(access.Sides[lsServer].Allow.lines, (std::vector<int>{3, 4}));
  EXPECT_FALSE(access.Sides[lsDevice].Allow.Given());
  ASSERT_EQ(access.ChannelAllow.count(3), 1u);
  EXPECT_EQ(access.ChannelAllow.at(3)[lsDevice].networks, (std::vector<IPv4Network>{{0x7F000001u, 32}}));
  EXPECT_EQ(access.Sides[lsDevice].Limit.value, 1);
  EXPECT_EQ(access.Sides[lsServer].Limit.value, 999999999);
  EXPECT_EQ(SideAccess(access, lsDevice, 3).allow, &access.ChannelAllow.at(3)[lsDevice]);
  EXPECT_FALSE(SideAccess(access, lsDevice, 3).closed_by);

  const std::string bind = "bind takes a side (device or server) and one IPv4 address";
  const std::string allow =
      "allow takes a side (device or server), or a channel number and a side, then IPv4 addresses or networks";
  const std::string limit =
      "limit takes a side (device or server) and the most connections at once, a whole number from 1";
  const std::pair<std::string, std::string> bad[] = {
      {"bind device 10.1.2.3\nbind device 10.1.2.4", "bind device is given a second time: line 1 counts"},
      {"bind device 10.1.2.256", bind + ", not \"10.1.2.256\""},
      {"bind server 010.1.2.3", bind + ", not \"010.1.2.3\""},
      {"bind", bind + "; it has none"},
      {"allow 2 server", allow + "; it has no network"},
      {"allow 2 clients 10.0.0.0/8", allow + ", not \"clients\""},
      {"allow 0 device 10.0.0.0/8", "there is no channel 0: channels count from 1"},
      {"allow 4 device 10.0.0.0/8", "the channel file has no channel 4 (it has 3)"},
      {"allow device 10.0.0.0/8 10.0.0.0/", "\"10.0.0.0/\" has a mask that is not a number from 0 to 32 (without a "
                                             "leading zero)"},
      {"allow server 10.0.0.1/0", "\"10.0.0.1/0\" has bits set after its mask (the network of that mask is "
                                  "0.0.0.0/0)"},
      {"allow server 10.1.2.3/16", "\"10.1.2.3/16\" has bits set after its mask (the network of that mask is "
                                   "10.1.0.0/16)"},
      {"limit server -1", limit + ", not \"-1\""},
      {"limit 3 device 4", limit + ", not \"3\""},
      {"limit device 2 3", limit + "; it has more"},
  };
  for (const auto& [text, what] : bad) {
    const TOptionsFile one = ReadOptionsText(text, 3);
    ASSERT_EQ(one.Problems.size(), 1u) << text;
    EXPECT_EQ(one.Problems[0].what, what) << text;
    EXPECT_EQ(one.Options.Access.Closed, one.Problems[0].line) << text;
  }
}

// ASCII text as UTF-16 or UTF-32 (`width` bytes a character), with or without its mark.
std::string Wide(std::string_view ascii, int width, bool big_endian, bool mark) {
  std::string wide;
  for (char32_t c : (mark ? U"\uFEFF" : U"") + std::u32string(ascii.begin(), ascii.end())) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (big_endian ? width - 1 - i : i);
      wide += static_cast<char>((c >> shift) & 0xFF);
    }
  }
  return wide;
}

// Any line that the reader cannot read, however it is written, keeps every listener of every
// channel closed: the file may have meant it to keep someone out.
TEST(OptionsFile, EveryLineThatCannotBeReadKeepsEveryListenerClosed) {
  const struct {
    const char* name;
    std::string text;
  } bad[] = {
      {"unknown keyword", "alow server 10.9.9.9\n"},
      {"keyword with a colon", "allow: device 10.0.0.0/8\n"},
      {"keyword with an equals sign", "allow=server 10.0.0.0/8\n"},
      {"a retry line that cannot be read", "retry 0\n"},
      {"channel 0", "allow 0 device 10.0.0.0/8\n"},
      {"a channel the channel file lacks", "allow 9 device 10.0.0.0/8\n"},
      {"host bits beyond the mask", "allow server 10.0.0.1/0\n"},
      {"a mask with a leading zero", "allow server 10.0.0.0/08\n"},
      {"a second bind", "bind device 127.0.0.1\nbind device 127.0.0.2\n"},
      {"UTF-16 with its mark", Wide("allow server 1.2.3.4\n", 2, false, true)},
      {"UTF-16 big-endian with its mark", Wide("allow server 1.2.3.4\n", 2, true, true)},
      {"UTF-16 without a mark", Wide("allow server 1.2.3.4\n", 2, false, false)},
      {"UTF-32 with its mark", Wide("allow server 1.2.3.4\n", 4, false, true)},
      {"UTF-32 big-endian without a mark", Wide("allow server 1.2.3.4\n", 4, true, false)},
      {"NUL in a comment", std::string("allow server 1.2.3.4 # \0\n", 25)},
      {"a byte-order mark after the start", "allow server 1.2.3.4\n\xEF\xBB\xBF" "allow device 1.2.3.4\n"},
      {"no-break space", "allow\xC2\xA0server 1.2.3.4\n"},
      {"no-break space after the value", "allow server 1.2.3.4\xC2\xA0\n"},
      {"ideographic space", "allow\xE3\x80\x80server 1.2.3.4\n"},
      {"zero-width space", "allow server\xE2\x80\x8B 1.2.3.4\n"},
      {"zero-width space in a comment", "allow server 1.2.3.4 #\xE2\x80\x8B\n"},
      {"code page 1251 no-break space", "allow\xA0server 1.2.3.4 # \xEF\xF0\xE8\n"},
      {"a byte of no encoding", "# \x98\nallow server 1.2.3.4\n"},
      {"vertical tab", "allow\vserver 1.2.3.4\n"},
      {"form feed", "\fallow server 1.2.3.4\n"},
      {"Cyrillic a", "\xD0\xB0llow server 1.2.3.4\n"},
  };
  for (const auto& c : bad) {
    const TOptionsFile file = ReadOptionsText(c.text, 2);
    EXPECT_FALSE(file.Problems.empty()) << c.name;
    for (int k : {1, 2}) {
      EXPECT_TRUE(SideAccess(file.Options.Access, lsDevice, k).closed_by) << c.name << ", channel " << k;
      EXPECT_TRUE(SideAccess(file.Options.Access, lsServer, k).closed_by) << c.name << ", channel " << k;
    }
  }
  // A lone CR ends a line as LF and CR LF do: nothing hides in a comment.
  for (const std::string text : {"# note\rallow server 127.0.0.1", "# note\r\nallow server 127.0.0.1\r",
                                 "# note\n\rallow server 127.0.0.1\n"}) {
    const TOptionsFile file = ReadOptionsText(text, 2);
    EXPECT_TRUE(file.Problems.empty()) << text;
    EXPECT_EQ(file.Options.Access.Sides[lsServer].Allow.lines, (std::vector<int>{text[7] == '\r' ? 3 : 2})) << text;
  }
  // Code page 1251 and UTF-8 both read, in comments and unknown words alike.
  EXPECT_TRUE(ReadOptionsText("# \xEF\xF0\xE8\xE2\xE5\xF2\nretry 5\n").Problems.empty());
  EXPECT_TRUE(ReadOptionsText("# \xD0\xBF\xD1\x80\xD0\xB8\nretry 5\n").Problems.empty());
}

// The first few lines that cannot be read are told one by one, the rest by their count; the
// reason every closed side gives is the first of them.
TEST(OptionsFile, ProblemsAreToldUpToAFewThenCounted) {
  std::string text = "retry 5\n";
  for (int i = 0; i < 100000; ++i) text += "x\n";
  const TOptionsFile file = ReadOptionsText(text);
  EXPECT_EQ(file.Options.Retry.value, 5);
  const std::vector<std::string> told = ToldProblems(file);
  ASSERT_EQ(told.size(), 6u);
  EXPECT_EQ(told[0], "line 2: unknown keyword \"x\"");
  EXPECT_EQ(told[4], "line 6: unknown keyword \"x\"");
  EXPECT_EQ(told[5], "99995 more lines cannot be read");
  EXPECT_EQ(ClosedReason(file), "options file line 2: unknown keyword \"x\" (and 99999 more lines)");
  const std::vector<platform::Text> entries = OptionsProblemEntries("/o/cnf_options.cfg", file, "; no listener opens");
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].Bytes(), "Options file \"/o/cnf_options.cfg\", line 2: unknown keyword \"x\"; no listener opens");
  EXPECT_EQ(entries[5].Bytes(), "Options file \"/o/cnf_options.cfg\": 99995 more lines cannot be read; no listener opens");
  EXPECT_EQ(ClosedReason(ReadOptionsText("retry 5\n")), "");
}

// Serial lines: the settings each channel gets; a bad one, or one of a channel that is not a
// serial channel of the channel file, is one more line that cannot be read.
TEST(OptionsFile, SerialLinesAndTheOnesThatCannotBeRead) {
  const ChannelTypeOf type_of = [](int k) { return k == 6 ? 2 : 1; };  // channel 6 is a TCP one
  const std::string good =
      "serial 19200 8e1 RTSCTS\n"             // 1: every serial channel's default
      "serial 2 3000000 7O2 xonxoff rs485\n"  // 2: channel 2's own
      "serial 3 50 5S1.5 none\n";             // 3
  const TOptionsFile file = ReadOptionsText(good, 6, type_of);
  EXPECT_TRUE(file.Readable());
  EXPECT_EQ(file.Taken.size(), 3u);
  auto settings = [&](int k) { return SerialSettingsText(SerialSettingsOf(file.Options.Serial, k).value); };
  EXPECT_EQ(settings(1), "19200 8E1, rtscts");
  EXPECT_EQ(settings(2), "3000000 7O2, xonxoff, rs485");
  EXPECT_EQ(settings(3), "50 5S1.5");
  EXPECT_EQ(SerialSettingsText(TSerialSettings{}), "9600 8N1");
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"serial 19200 9X1", "\"9X1\" is not a frame: data bits 5-8, parity N, E, O, M or S, stop bits 1, 1.5 or 2"},
      {"serial 0 8N1", "\"0\" is not a rate from 50 to 4000000 bit/s"},
      {"serial 4000001 8N1", "\"4000001\" is not a rate"},
      {"serial 0 9600 8N1", "there is no channel 0: channels count from 1"},
      {"serial 4 9600 8N1 fast", ", not \"fast\""},
      {"serial 5 9600 8N1 rs485 xonxoff", ", not \"xonxoff\""},  // the flow comes first
      {"serial 5 9600 8N1 rtscts rs485", "rs485 drives RTS itself: it cannot go with rtscts"},
      {"serial 4 9600 8N1.5", "1.5 stop bits go with 5 data bits only"},
      {"serial 4 9600 5N2", "2 stop bits with 6 to 8"},
      {"serial 4 9600", "; it has no frame"},
      {"serial 2 9600 8N1", "serial 2 is given a second time: line 2 counts"},
      {"serial 9600 8N1", "serial is given a second time: line 1 counts"},
      {"serial 6 9600 8N1", "channel 6 is not a serial channel (its type is 2)"},
      {"serial 7 9600 8N1", "the channel file has no channel 7 (it has 6)"},
      {"serial 12345678901 9600 8N1", "the channel file has no channel 999999999 (it has 6)"},
  };
  for (const auto& [line, what] : bad) {
    const TOptionsFile one = ReadOptionsText(good + line + "\n", 6, type_of);
    ASSERT_EQ(one.Problems.size(), 1u) << line;
    EXPECT_EQ(one.Problems[0].line, 4) << line;
    EXPECT_NE(one.Problems[0].what.find(what), std::string::npos) << line << ": " << one.Problems[0].what;
    EXPECT_EQ(one.Options.Access.Closed, 4) << line;
    EXPECT_EQ(ClosedReason(one), "options file line 4: " + one.Problems[0].what) << line;
  }
}

}  // namespace
