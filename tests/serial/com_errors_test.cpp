#include <gtest/gtest.h>

#include "serial/com_errors.h"

TEST(SerialErrors, TableHoldsTheTwentyThreeTextsInCodeOrder) {
  const auto& texts = ComErrorMessages();
  ASSERT_EQ(texts.size(), 24u);
  EXPECT_EQ(texts[1], "Unable to open com port");
  EXPECT_EQ(texts[2], "WriteFile function failed");
  EXPECT_EQ(texts[3], "ReadFile function failed");
  EXPECT_EQ(texts[14], "Cannot set property while connected");
  EXPECT_EQ(texts[18], "Link (un)registration failed");
  EXPECT_EQ(texts[23], "Registry error");
  for (int code = 1; code <= 23; ++code) EXPECT_FALSE(texts[code].empty()) << code;
}

TEST(SerialErrors, MessageWithSystemCodeEndsWithTheCodeInParentheses) {
  EComPort e(CError_WriteFailed, 6);
  EXPECT_EQ(e.ComErrorCode(), 2);
  EXPECT_EQ(e.WinErrorCode(), 6);
  EXPECT_EQ(e.Message(), "WriteFile function failed (win error code: 6)");
  EXPECT_STREQ(e.ClassName(), "EComPort");

  EComPort negative(CError_OpenFailed, -2);
  EXPECT_EQ(negative.Message(), "Unable to open com port (win error code: -2)");
}

TEST(SerialErrors, MessageWithoutSystemCodeHasNoSuffix) {
  EComPort e(CError_ConnChangeProp);
  EXPECT_EQ(e.ComErrorCode(), 14);
  EXPECT_EQ(e.WinErrorCode(), -1);
  EXPECT_EQ(e.Message(), "Cannot set property while connected");
}
