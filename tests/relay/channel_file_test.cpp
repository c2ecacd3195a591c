#include "relay/channel_file.h"

#include <climits>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relay/arrays_vars.h"
#include "relay/log_texts.h"
#include "tests/fuzz/channel_file_model.h"
#include "tests/relay/relay_files_fixture.h"

namespace {

using Lines = std::vector<std::string>;

TEST(ChannelFileParse, ParseIntAcceptsDecimalAndHexForms) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"101", 101},          {"  101", 101},      {"0010", 10},  // no octal
      {"02", 2},             {"+2", 2},           {"$2", 2},
      {"x2", 2},             {"X2", 2},           {"0x2", 2},
      {"0X2", 2},            {"$aF", 175},        {"-$10", -16},
      {"$000000000FF", 255},  // leading zeros do not count towards the 32 bits
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1},     {"$ffffffff", -1},   {"$80000000", INT32_MIN},
      {"-$80000000", INT32_MIN},  {"-$FFFFFFFF", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(ChannelFileParse, ParseIntGivesZeroForInvalidText) {
  const char* cases[] = {
      "",       "   ",     "-",       "+",          "$",      "0x",   "x",
      "2 ",     "101 ",    "\t101",   "--5",        "+-5",    "- 5",  "5-",
      "1e3",    "$G",      "0x-5",    "00x5",       "12;",    "1.0",
      "2147483648", "-2147483649", "99999999999999999999", "$100000000", "0x123456789",
  };
  for (const char* text : cases) EXPECT_EQ(ParseInt(text), 0) << '"' << text << '"';
}

TEST(ChannelFileParse, ChannelFieldDropsLeadingBlanksOnly) {
  EXPECT_EQ(ChannelField("101;0;2;201;north", 1), "101");
  EXPECT_EQ(ChannelField("101;0;2;201;north", 4), "201");
  EXPECT_EQ(ChannelField("101;0;2;201;north", 5), "north");
  EXPECT_EQ(ChannelField("  101; 0;  2; 201; north  side ", 5), "north  side ");
  EXPECT_EQ(ChannelField("101 ;0", 1), "101 ");
  EXPECT_EQ(ChannelField("\t101;0", 1), "\t101");
  EXPECT_EQ(ChannelField("1;2;3;4;5;6;7", 5), "5");  // beyond the fifth ";" is ignored
  EXPECT_EQ(ChannelField("1;2;3;4;", 5), "");       // present but empty
  EXPECT_EQ(ChannelField("1;;3", 2), "");
}

TEST(ChannelFileParse, MissingFieldReadsZero) {
  EXPECT_EQ(ChannelField("101;0;2;201", 5), "0");
  EXPECT_EQ(ChannelField("101;0", 3), "0");
  EXPECT_EQ(ChannelField("101;0", 4), "0");
  EXPECT_EQ(ChannelField("", 1), "");
  EXPECT_EQ(ChannelField("", 2), "0");
  EXPECT_EQ(ChannelField("   ", 1), "");
}

TEST(ChannelFileParse, SplitLinesHonoursEveryTerminator) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\rb"), (Lines{"a", "", "b"}));  // LF CR ends two lines
  EXPECT_EQ(SplitLines("a\r\n"), (Lines{"a"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (Lines{"a", ""}));
  EXPECT_EQ(SplitLines("\n"), (Lines{""}));
  EXPECT_EQ(SplitLines(""), Lines{});
  EXPECT_EQ(SplitLines(std::string("a\nb\0c\nd", 7)), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines(std::string("a\n\0\nb", 5)), (Lines{"a"}));
  EXPECT_EQ(SplitLines(std::string("\0a", 2)), Lines{});
}

class ChannelFileLoad : public test::FilesTest {
 protected:
  void WriteChannels(const std::string& bytes) { test::WriteFile(file(kChannelFileName), bytes); }
  // Loads the file; channel(k) is then channel k of what it read.
  bool Load() {
    loaded_ = LoadChannelFile(directory());
    return loaded_.Found;
  }
  int ChannelCount() const { return static_cast<int>(loaded_.Channels.size()); }
  const TSootv& channel(int k) const { return loaded_.Channels.at(static_cast<std::size_t>(k - 1)); }

  TChannelFile loaded_;
};

TEST_F(ChannelFileLoad, FillsRecordsByChannelType) {
  WriteChannels("101;0;2;201;north\r\n102;7;1;COM3;pump\r\n101; 0; 2; 201; north side\r\n"
                "101 ;0;2;201;north\r\n102;0;1;COM3 ;pump\r\n101;0;2;201\r\n101;0;2;201;\r\n101;0\r\n\r\n"
                "1;2;$2;3\r\n4;5;2 ;6\r\n");
  ASSERT_TRUE(Load());
  ASSERT_EQ(ChannelCount(), 11);
  EXPECT_EQ(loaded_.LinesIgnored, 0);

  const TSootv& tcp = channel(1);
  EXPECT_EQ(tcp.DevicePort, 101);
  EXPECT_EQ(tcp.SpareValue, 0);
  EXPECT_EQ(tcp.ChannelType, 2);
  EXPECT_EQ(tcp.ServerPort, 201);
  EXPECT_EQ(tcp.ChannelLabel, "north");
  EXPECT_EQ(tcp.ComPortName, "");

  const TSootv& serial = channel(2);
  EXPECT_EQ(serial.SpareValue, 7);
  EXPECT_EQ(serial.ChannelType, 1);
  EXPECT_EQ(serial.ComPortName, "COM3");
  EXPECT_EQ(serial.ServerPort, 0);
  EXPECT_EQ(serial.ChannelLabel, "pump");

  EXPECT_EQ(channel(3).ServerPort, 201);
  EXPECT_EQ(channel(3).ChannelLabel, "north side");
  EXPECT_EQ(channel(4).DevicePort, 0);  // "101 " is not a number
  EXPECT_EQ(channel(5).ComPortName, "COM3 ");
  EXPECT_EQ(channel(6).ChannelLabel, "0");
  EXPECT_EQ(channel(7).ChannelLabel, "");
  EXPECT_EQ(channel(8).ChannelType, 0);
  EXPECT_EQ(channel(8).ServerPort, 0);

  const TSootv& blank = channel(9);  // a blank line is a channel too
  EXPECT_EQ(blank.DevicePort, 0);
  EXPECT_EQ(blank.ChannelType, 0);
  EXPECT_EQ(blank.ChannelLabel, "0");
  EXPECT_EQ(channel(10).ChannelType, 2);
  EXPECT_EQ(channel(10).ServerPort, 3);
  EXPECT_EQ(channel(11).ChannelType, 0);
  EXPECT_EQ(channel(11).ServerPort, 6);  // not type 2, but field 4 is still its port
}

TEST_F(ChannelFileLoad, LineEndsLoadAlike) {
  for (const std::string& bytes :
       {std::string("1;0;2;2;a\r\n3;0;1;COM1;b"), std::string("1;0;2;2;a\n3;0;1;COM1;b\n"),
        std::string("1;0;2;2;a\r3;0;1;COM1;b\r"), std::string("1;0;2;2;a\n3;0;1;COM1;b\0" "9;9;9", 28)}) {
    WriteChannels(bytes);
    ASSERT_TRUE(Load());
    ASSERT_EQ(ChannelCount(), 2);
    EXPECT_EQ(channel(1).ChannelLabel, "a");
    EXPECT_EQ(channel(2).ComPortName, "COM1");
    EXPECT_EQ(channel(2).ChannelLabel, "b");
  }
}

TEST_F(ChannelFileLoad, MissingOrEmptyFileGivesNoChannels) {
  WriteChannels("1;0;2;2;kept\r\n");
  ASSERT_TRUE(Load());
  std::filesystem::remove(file(kChannelFileName));
  EXPECT_FALSE(Load());
  EXPECT_EQ(ChannelCount(), 0);

  std::filesystem::create_directory(file(kChannelFileName));
  EXPECT_FALSE(Load());
  EXPECT_EQ(ChannelCount(), 0);

  std::filesystem::remove(file(kChannelFileName));
  WriteChannels("");
  EXPECT_TRUE(Load());
  EXPECT_EQ(ChannelCount(), 0);
}

TEST_F(ChannelFileLoad, FileHeldByWriterRaisesCannotOpen) {
  WriteChannels("1;0;2;2\r\n");
  test::HeldByWriter writer(file(kChannelFileName));
  ASSERT_TRUE(writer.locked());
  try {
    Load();
    FAIL() << "the load read a file that a writer holds";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + file(kChannelFileName) + "\". " + SystemErrorText(test::kErrorFileHeld));
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
  }
  EXPECT_EQ(ChannelCount(), 0);
}

TEST_F(ChannelFileLoad, KeepsFirstFourHundredLinesOfALongFile) {
  std::string bytes;
  for (int line = 1; line <= 100000; ++line) {
    bytes += std::to_string(line) + ";0;2;" + std::to_string(line + 1000) + ";ch" + std::to_string(line) + "\r\n";
  }
  WriteChannels(bytes);
  ASSERT_TRUE(Load());
  EXPECT_EQ(ChannelCount(), kMaxChannels);
  EXPECT_EQ(loaded_.LinesIgnored, 100000 - kMaxChannels);
  EXPECT_EQ(channel(400).DevicePort, 400);
  EXPECT_EQ(channel(400).ChannelLabel, "ch400");
  EXPECT_EQ(ChannelLinesIgnoredLogText(loaded_.LinesIgnored), std::string(kChannelLinesIgnoredText) + "99600");

  bytes.clear();
  for (int line = 1; line <= kMaxChannels; ++line) bytes += "1;0;2;2\n";
  WriteChannels(bytes);
  ASSERT_TRUE(Load());
  EXPECT_EQ(ChannelCount(), kMaxChannels);
  EXPECT_EQ(loaded_.LinesIgnored, 0);
  EXPECT_EQ(ChannelLinesIgnoredLogText(loaded_.LinesIgnored), "");
}

// Random bytes, heavy in what the rules care about (separators, blanks, line ends, signs,
// digits, hex marks), with channel-like lines among them, load as the reference model of the
// rules says, line by line and field by field.
TEST_F(ChannelFileLoad, GarbageLoadsAsTheRulesSay) {
  const std::string alphabet = "0123456789;;;;;    \r\n$xX-+aAfF\t1";
  std::mt19937 random(12345);
  auto junk = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
      // No NUL, so all of it is read.
      c = random() % 4 ? alphabet[random() % alphabet.size()] : static_cast<char>(random() % 255 + 1);
    }
    return bytes;
  };
  auto number = [&] {
    static const char* const kForms[] = {"", " ", "+", "-", "$", "0x", "x", "-$", "00"};
    return kForms[random() % 9] + std::to_string(random() % 100000) + (random() % 8 ? "" : " ");
  };
  for (std::size_t size : {std::size_t{1} << 20, std::size_t{16} << 10, std::size_t{2} << 10}) {
    std::string garbage;
    while (garbage.size() < size) {
      if (random() % 3) {
        garbage += junk(random() % 64);
      } else {
        garbage += number() + ";" + number() + ";" + (random() % 2 ? "1" : " 2") + ";" +
                   (random() % 2 ? number() : junk(8)) + ";" + junk(random() % 12) + (random() % 2 ? "\r\n" : "\n");
      }
    }
    WriteChannels(garbage);
    ASSERT_TRUE(Load());
    const model::Load expected = model::LoadChannels(garbage);
    ASSERT_EQ(ChannelCount(), static_cast<int>(expected.channels.size()));
    EXPECT_EQ(loaded_.LinesIgnored, expected.lines_ignored);
    int typed = 0;
    for (int k = 1; k <= ChannelCount(); ++k) {
      const TSootv& c = channel(k);
      const model::Channel& e = expected.channels[static_cast<std::size_t>(k - 1)];
      ASSERT_EQ(c.DevicePort, e.device_port) << "channel " << k;
      ASSERT_EQ(c.SpareValue, e.spare) << "channel " << k;
      ASSERT_EQ(c.ChannelType, e.type) << "channel " << k;
      ASSERT_EQ(c.ServerPort, e.server_port) << "channel " << k;
      ASSERT_EQ(c.ComPortName, e.port_name) << "channel " << k;
      ASSERT_EQ(c.ChannelLabel, e.label) << "channel " << k;
      typed += c.ChannelType == 1 || c.ChannelType == 2;
    }
    EXPECT_GT(typed, 0) << "the garbage made no channel of a known type";
  }
}

TEST_F(ChannelFileLoad, HugeLinesLoad) {
  std::string label(1 << 20, 'L');
  WriteChannels("7;0;1;" + std::string(1 << 20, 'P') + ";" + label);
  ASSERT_TRUE(Load());
  ASSERT_EQ(ChannelCount(), 1);
  EXPECT_EQ(channel(1).ComPortName.size(), std::size_t{1} << 20);
  EXPECT_EQ(channel(1).ChannelLabel, label);
}

}  // namespace
