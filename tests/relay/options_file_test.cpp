// The options file's reader: what it takes, every kind of line it leaves out and what a line
// about access that it cannot read keeps closed. Reading the file, and one that cannot be read,
// are end-to-end cases (tests/e2e/linux/healing_linux_test.cpp, tests/e2e/linux/access_linux_test.cpp).

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
           std::string(50, 'x') + "\x01\n",
       0, 0,
       {{1, "unknown keyword \"retries\""},
        {2, "unknown keyword \"\xD0\xBF\xD0\xBE\xD0\xB2\xD1\x82\xD0\xBE\xD1\x80\""},
        {3, "unknown keyword \"" + std::string(40, 'x') + "...\""}}},
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

// What the reader takes of bind, allow and limit lines, and what each line it cannot read keeps
// closed: the sides it names (both when it names none), of its channel or of every channel.
TEST(OptionsFile, AccessLinesAndWhatTheBadOnesKeepClosed) {
  const TOptionsFile file = ReadOptionsText(
      "Bind Device 10.1.2.3\n"                   // 1
      "bind server 0.0.0.0\n"                    // 2: every address, said outright
      "allow SERVER 10.1.2.3/16 192.168.0.7\n"   // 3: host bits after the mask are dropped
      "allow server 0.0.0.0/0\n"                 // 4: lines add up
      "allow 003 device 127.0.0.1/32\n"          // 5: channel 3's own list
      "limit device 1\n"                         // 6
      "limit server 12345678901234\n"            // 7: no limit in practice
      "bind device 10.1.2.4\n"                   // 8: the first one counts
      "bind device 10.1.2.256\n"                 // 9
      "bind server 010.1.2.3\n"                  // 10: octal to some readers
      "bind\n"                                   // 11
      "allow 2 server\n"                         // 12
      "allow 2 clients 10.0.0.0/8\n"             // 13
      "allow 0 device 10.0.0.0/8\n"              // 14: no such channel, nothing closed
      "allow device 10.0.0.0/8 10.0.0.0/\n"      // 15
      "limit server -1\n"                        // 16
      "limit 3 device 4\n"                       // 17: no channel limits
      "limit device 2 3\n");                     // 18
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

  const std::string bind = "bind takes a side (device or server) and one IPv4 address";
  const std::string allow =
      "allow takes a side (device or server), or a channel number and a side, then IPv4 addresses or networks";
  const std::string limit =
      "limit takes a side (device or server) and the most connections at once, a whole number from 1";
  const std::string no_address = "is not an IPv4 address (four numbers 0..255 joined by dots)";
  struct Expected {
    int line;
    std::string what;
    std::string closes;  // "D", "S" or "DS", then the channel ("" for none)
  };
  const std::vector<Expected> expected = {
      {8, "bind device is given a second time: line 1 counts", ""},
      {9, bind + ", not \"10.1.2.256\"", "D0"},
      {10, bind + ", not \"010.1.2.3\"", "S0"},
      {11, bind + "; it has none", "DS0"},
      {12, allow + "; it has no network", "S2"},
      {13, allow + ", not \"clients\"", "DS2"},
      {14, "there is no channel 0: channels count from 1", ""},
      {15, "\"10.0.0.0/\" has a mask that is not a number from 0 to 32", "D0"},
      {16, limit + ", not \"-1\"", "S0"},
      {17, limit + ", not \"3\"", "DS0"},
      {18, limit + "; it has more", "D0"},
  };
  ASSERT_EQ(file.Problems.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TOptionsProblem& problem = file.Problems[i];
    std::string closes;
    if (problem.closes.Any()) {
      closes = std::string(problem.closes.sides[lsDevice] ? "D" : "") + (problem.closes.sides[lsServer] ? "S" : "") +
               std::to_string(problem.closes.channel);
    }
    EXPECT_EQ(problem.line, expected[i].line);
    EXPECT_EQ(problem.what, expected[i].what) << "line " << problem.line;
    EXPECT_EQ(closes, expected[i].closes) << "line " << problem.line;
  }
  // Every closing line is kept, and what each side of a channel gets follows from them.
  EXPECT_EQ(access.Closed.size(), 9u);
  EXPECT_EQ(SideAccess(access, lsDevice, 1).closed_by, 9);
  EXPECT_EQ(SideAccess(access, lsServer, 2).closed_by, 10);
  EXPECT_EQ(SideAccess(access, lsDevice, 3).allow, &access.ChannelAllow.at(3)[lsDevice]);
}

TEST(OptionsFile, WhatALineThatCannotBeReadDoes) {
  auto closes = [](bool device, bool server, int channel) {
    TClosedSides sides;
    sides.sides = {device, server};
    sides.channel = channel;
    return sides;
  };
  const struct {
    TClosedSides closes;
    std::string consequence;
  } cases[] = {
      {TClosedSides{}, "the line is left out"},
      {closes(true, false, 0), "the device side of every channel opens no listener"},
      {closes(false, true, 0), "the server side of every channel opens no listener"},
      {closes(true, true, 0), "no channel opens a listener"},
      {closes(false, true, 2), "the server side of channel 2 opens no listener"},
      {closes(true, true, 3), "channel 3 opens no listener"},
      {closes(true, false, 4), "the line changes nothing: the channel file has no channel 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(ClosingConsequence(c.closes, 3), c.consequence);
}

// Serial lines: the settings each channel gets, and every line that cannot be read (the channel
// file's types included) keeps every listener closed.
TEST(OptionsFile, SerialLinesAndWhatTheBadOnesKeepClosed) {
  TOptionsFile file = ReadOptionsText(
      "serial 19200 8e1 RTSCTS\n"          // 1: every serial channel's default
      "serial 2 3000000 7O2 xonxoff rs485\n"  // 2: channel 2's own
      "serial 3 50 5S1.5 none\n"           // 3
      "serial 19200 9X1\nserial 0 8N1\nserial 4 9600 8N1 fast\nserial 5 9600 8N1 rs485 rtscts\n"  // 4-7
      "serial 4000001 8N1\nserial 9600 8N1.5\nserial 9600 5N2\nserial 9600\nserial 2 9600 8N1\n"  // 8-12
      "serial 6 9600 8N1\nserial 7 9600 8N1\n");  // 13-14: channel 6 is a TCP one, there is no 7
  AddSerialChannelProblems(file, 6, [](int k) { return k == 6 ? 2 : 1; });
  auto settings = [&](int k) { return SerialSettingsText(SerialSettingsOf(file.Options.Serial, k).value); };
  EXPECT_EQ(settings(1), "19200 8E1, rtscts");
  EXPECT_EQ(settings(2), "3000000 7O2, xonxoff, rs485");
  EXPECT_EQ(settings(3), "50 5S1.5");
  EXPECT_EQ(SerialSettingsText(TSerialSettings{}), "9600 8N1");
  std::vector<int> lines;
  for (const TOptionsProblem& problem : file.Problems) {
    lines.push_back(problem.line);
    EXPECT_EQ(ProblemConsequence(problem, 6), "no channel opens a listener") << problem.what;
  }
  EXPECT_EQ(lines, (std::vector<int>{4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(file.Problems[0].what, "\"9X1\" is not a frame: data bits 5-8, parity N, E, O, M or S, stop bits 1, "
                                   "1.5 or 2, as in 8N1 or 7E2");
  EXPECT_EQ(file.Problems[9].what, "channel 6 is not a serial channel (its type is 2)");
  EXPECT_TRUE(SideAccess(file.Options.Access, lsServer, 1).closed_by);
  EXPECT_EQ(file.Taken.size(), 3u);
}

}  // namespace
