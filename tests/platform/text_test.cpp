#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

// Where a cut ends: never inside a UTF-8 character, never more than three bytes back (text
// that is no UTF-8 keeps what it can), never before the floor.
TEST(Utf8CutAt, EndsOnACharacterBoundaryLosingAtMostThreeBytes) {
  const std::string euro = "ab\xE2\x82\xAC" "cd";  // U+20AC at bytes 2..4
  const std::string legacy(10, '\xA8');             // code page 1251 letters, all 10xxxxxx
  struct Case {
    std::string text;
    std::size_t end, floor, cut;
  } cases[] = {
      {euro, 2, 0, 2}, {euro, 3, 0, 2},  {euro, 4, 0, 2},  {euro, 5, 0, 5},
      {euro, 9, 0, 7}, {euro, 4, 3, 3},  {legacy, 8, 0, 5}, {legacy, 2, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::Utf8CutAt(c.text, c.end, c.floor), c.cut) << c.end << " " << c.floor;
  }
}
