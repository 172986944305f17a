// SPDX-License-Identifier: MIT
// The emulator's reading of request lines and its shaping of answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "line_framer.h"
#include "request_line.h"
#include "transmission.h"

namespace tivaxemu {
namespace {

TEST(RequestLine, SessionNumbersAsTheLibraryWritesThem) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  } cases[] = {
      {"000123", true, 123},        {"000000", true, 0},
      {"0000-1", true, -1},         {"1234567", true, 1234567},
      {"-2147483648", true, INT32_MIN}, {"2147483647", true, INT32_MAX},
      {"2147483648", false, 0},     {"99999999999999999999", false, 0},
      {"", false, 0},               {"12a", false, 0},
      {"+5", false, 0},             {"00-", false, 0},
      {" 12", false, 0},
  };
  for (const Case& c : cases) {
    std::int32_t value = 0;
    EXPECT_EQ(parseSession(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  EXPECT_EQ(formatSession(1), "000001");
  EXPECT_EQ(formatSession(-1), "0000-1");
  EXPECT_EQ(formatSession(1234567), "1234567");
}

TEST(RequestLine, FieldsFunctionAndParameters) {
  Request r;
  ASSERT_EQ(parseRequest("14|000000||1||", r), ParseResult::kOk);
  EXPECT_EQ(r.function, 14);
  EXPECT_EQ(r.session, 0);
  EXPECT_EQ(r.params, (std::vector<std::string>{"", "1", "", ""}));

  ASSERT_EQ(parseRequest("4|000123", r), ParseResult::kOk);
  EXPECT_TRUE(r.params.empty());

  EXPECT_EQ(parseRequest("16|000001|x", r), ParseResult::kUnknownFunction);
  EXPECT_EQ(r.session, 1);
  EXPECT_EQ(parseRequest("-1|000001", r), ParseResult::kUnknownFunction);
  EXPECT_EQ(parseRequest("4", r), ParseResult::kUnreadable);
  EXPECT_EQ(parseRequest("", r), ParseResult::kUnreadable);
  EXPECT_EQ(parseRequest("4|abc", r), ParseResult::kUnreadable);
}

std::vector<LineFramer::Line> frame(LineFramer& framer, const std::vector<std::string>& chunks) {
  std::vector<LineFramer::Line> lines;
  for (const std::string& chunk : chunks) framer.push(chunk.data(), chunk.size(), lines);
  return lines;
}

TEST(LineFramer, CutsLinesAndDropsOneCarriageReturn) {
  LineFramer framer(1024);
  auto lines = frame(framer, {"4|00", "0001\r", "\n6|000002|x\r\r\n\n7|0"});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "4|000001");
  EXPECT_EQ(lines[1].text, "6|000002|x\r");
  EXPECT_EQ(lines[2].text, "");
  lines = frame(framer, {"00001\n"});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "7|000001");
  EXPECT_FALSE(lines[0].truncated);
}

TEST(LineFramer, KeepsTheBeginningOfAnOverlongLineOnly) {
  LineFramer framer(8);
  auto lines = frame(framer, {"2|000001|", std::string(100000, 'x'), "yy\n4|000002\n"});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "2|000001");
  EXPECT_TRUE(lines[0].truncated);
  EXPECT_EQ(lines[1].text, "4|000002");
  EXPECT_FALSE(lines[1].truncated);
}

std::string joined(const std::vector<Piece>& pieces) {
  std::string all;
  for (const Piece& p : pieces) all += p.bytes;
  return all;
}

TEST(Transmission, ShapesTheAnswerPerFault) {
  const std::string request = "6|9000000|12345678";
  const std::string answer = "9000000|10000|ok||";
  Options options;
  Xorshift random(7);
  struct Case {
    Faults faults;
    std::string expected;
  } cases[] = {
      {kNoFault, answer + "\n"},
      {kEcho, request + "\n" + answer + "\n"},
      {kCrLf, answer + "\r\n"},
      {kEcho | kCrLf, request + "\r\n" + answer + "\r\n"},
      {kSplit, answer + "\n"},
      {kDelay, answer + "\n"},
      {kOtherSession, "9000001|10000|ok||\n"},
      {kEchoThenSilence, request + "\n"},
      {kLateAnswer, answer + "\n"},  // held back by the emulator, not here
      {kBlankLine, "\n" + answer + "\n"},
      {kBlankCrLf, "\r\n" + answer + "\n"},
  };
  for (const Case& c : cases) {
    const std::vector<Piece> pieces = shapeAnswer(request, answer, 9000000, c.faults, options, random);
    EXPECT_EQ(joined(pieces), c.expected) << c.faults;
  }

  EXPECT_TRUE(shapeAnswer(request, answer, 1, kSilence, options, random).empty());

  const auto split = shapeAnswer(request, answer, 1, kSplit, options, random);
  ASSERT_EQ(split.size(), 3u);
  EXPECT_EQ(split[0].after.count(), 0);
  EXPECT_EQ(split[1].after, options.splitPause);
  EXPECT_EQ(split[2].after, options.splitPause);

  const auto late = shapeAnswer(request, answer, 1, kDelay, options, random);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].after, options.answerDelay);

  // The lone line end is read apart from the answer.
  const auto blank = shapeAnswer(request, answer, 1, kBlankCrLf, options, random);
  ASSERT_EQ(blank.size(), 2u);
  EXPECT_EQ(blank[1].after, options.splitPause);

  const auto hangUp = shapeAnswer(request, answer, 1, kHangUp, options, random);
  ASSERT_EQ(hangUp.size(), 2u);
  EXPECT_EQ(hangUp[0].bytes, (answer + "\n").substr(0, (answer.size() + 1) / 2));
  EXPECT_FALSE(hangUp[0].hangUpAfter);
  EXPECT_TRUE(hangUp[1].bytes.empty());
  EXPECT_TRUE(hangUp[1].hangUpAfter);
}

TEST(Transmission, PaddedAnswersAreExactlyTheSizeAskedFor) {
  Options options;
  Xorshift random(7);
  for (Faults extra : {kNoFault, kCrLf}) {
    const std::string all =
        joined(shapeAnswer("6|9000700|x", "9000700|10000|ok||", 9000700, kOversize | extra, options, random));
    EXPECT_EQ(all.size(), options.oversizeBytes);
    EXPECT_EQ(all.rfind("9000700|10000|ok|||AAAA", 0), 0u);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1);
    EXPECT_EQ(all.back(), '\n');
  }
  // After the echo, in the same write.
  const auto large = shapeAnswer("6|9001000|x", "9001000|10000|ok||", 9001000, kEchoLarge, options, random);
  ASSERT_EQ(large.size(), 1u);
  EXPECT_EQ(large[0].bytes.size(), 12 + options.largeBytes);
  EXPECT_EQ(large[0].bytes.rfind("6|9001000|x\n9001000|10000|ok|||AAAA", 0), 0u);
}

TEST(Transmission, GarbageHasNoSeparatorAndOneLineEnd) {
  Options options;
  Xorshift random(12345);
  for (int i = 0; i < 200; ++i) {
    const std::string all = joined(shapeAnswer("4|9000600", "9000600|08000|ok||", 9000600, kGarbage, options, random));
    ASSERT_GE(all.size(), 65u);
    EXPECT_EQ(all.find('|'), std::string::npos);
    EXPECT_EQ(all.find('\r'), std::string::npos);
    EXPECT_EQ(all.find('\n'), all.size() - 1);
  }
}

}  // namespace
}  // namespace tivaxemu

namespace tivaxemu {
namespace {

TEST(FaultRanges, SevenDigitSessionsOnly) {
  const struct {
    std::int32_t session;
    Faults faults;
  } cases[] = {
      {1, kNoFault},          {900000, kNoFault},     {999999, kNoFault},
      {8999999, kNoFault},    {9000000, kEcho},       {9000099, kEcho},
      {9000100, kCrLf},       {9000250, kSplit},      {9000399, kDelay},
      {9000400, kSilence},    {9000500, kHangUp},     {9000600, kGarbage},
      {9000700, kOversize},   {9000899, kOtherSession}, {9000900, kEchoThenSilence},
      {9001000, kEchoLarge},  {9001150, kLateAnswer}, {9001200, kBlankLine},
      {9001399, kBlankCrLf},  {9001400, kNoFault},
      {-9000000, kNoFault},   {INT32_MIN, kNoFault},  {INT32_MAX, kNoFault},
  };
  for (const auto& c : cases) EXPECT_EQ(faultsForSession(c.session), c.faults) << c.session;
}

}  // namespace
}  // namespace tivaxemu
