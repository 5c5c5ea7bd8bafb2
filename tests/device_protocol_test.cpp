// Device messages: their layouts on the wire and the validation of replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/device_protocol.h"
#include "engine/seven_bit.h"
#include "support/support_log.h"
#include "tests/test_support.h"

namespace {

std::vector<unsigned char> reply_of(std::initializer_list<int> bytes) {
  std::vector<unsigned char> r(kReplySize, 0);
  size_t i = 0;
  for (int b : bytes) r[i++] = static_cast<unsigned char>(b);
  return r;
}

struct ErrorCase {
  std::vector<unsigned char> reply;
  unsigned char expected;
  const char* line3;
  const char* line4;
  const char* line5;
};

class CheckReply : public ::testing::Test {
 protected:
  HostRecorder host;
  TempDir dir;
  void SetUp() override { ASSERT_EQ(open_log(), 1); }
  void TearDown() override { close_log(); }
};

TEST(MessageLayout, CommonHeadAndRequests) {
  unsigned char buf[kDataPacketSize + 16] = {};
  EXPECT_EQ(make_excl_head(buf, 0x02), buf);
  EXPECT_EQ(std::vector<unsigned char>(buf, buf + 5), (std::vector<unsigned char>{0xF0, 0x42, 0x23, 0x58, 0x02}));

  ASSERT_EQ(build_version_request(buf), 6);
  EXPECT_EQ(std::vector<unsigned char>(buf, buf + 6),
            (std::vector<unsigned char>{0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7}));

  ASSERT_EQ(build_set_mode(buf, 3), 7);
  EXPECT_EQ(std::vector<unsigned char>(buf, buf + 7),
            (std::vector<unsigned char>{0xF0, 0x42, 0x23, 0x58, 0x02, 0x03, 0xF7}));
}

TEST(MessageLayout, DataPacketOfZeroBlock) {
  std::vector<unsigned char> block(8192, 0);
  std::vector<unsigned char> buf(12288, 0xAA);
  ASSERT_EQ(build_data_packet(buf.data(), 5, block.data()), 9372);
  EXPECT_EQ(buf[4], 0x04);
  EXPECT_EQ(buf[5], 5);
  EXPECT_EQ(buf[6], 0);
  for (int i = 7; i < 7 + 9363; ++i) ASSERT_EQ(buf[i], 0) << i;
  EXPECT_EQ(buf[7 + 9363], 0x00);  // checksum
  EXPECT_EQ(buf[8 + 9363], 0xF7);
  EXPECT_EQ(buf[9372], 0xAA);  // nothing written past the packet
}

TEST(MessageLayout, PacketNumberBytes) {
  std::vector<unsigned char> block(8192, 0x81);
  std::vector<unsigned char> buf(12288);
  const std::pair<int, std::pair<int, int>> cases[] = {{0, {0, 0}}, {127, {0x7F, 0}}, {128, {0, 1}}};
  for (const auto& c : cases) {
    build_data_packet(buf.data(), c.first, block.data());
    EXPECT_EQ(buf[5], c.second.first) << c.first;
    EXPECT_EQ(buf[6], c.second.second) << c.first;
  }
}

TEST(MessageLayout, PacketCarriesPackedBlockAndItsChecksum) {
  std::vector<unsigned char> block(8192);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7 + 3);
  std::vector<unsigned char> buf(12288);
  build_data_packet(buf.data(), 1, block.data());
  std::vector<unsigned char> packed(9363);
  unsigned char checksum = 0;
  encode_midi(block.data(), packed.data(), 8192, &checksum);
  EXPECT_EQ(std::vector<unsigned char>(buf.begin() + 7, buf.begin() + 7 + 9363), packed);
  EXPECT_EQ(buf[7 + 9363], checksum);
  for (int i = 1; i < 9371; ++i) ASSERT_LT(buf[i], 0x80) << i;  // all inside the SysEx is 7-bit
}

TEST_F(CheckReply, ValidReplies) {
  EXPECT_EQ(check_rx_data(reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 0x00}).data(), 0x03), 1);
  // F7 in place of F0 passes the first check.
  EXPECT_EQ(check_rx_data(reply_of({0xF7, 0x42, 0x23, 0x58, 0x03, 0x00}).data(), 0x03), 1);
  // A version reply's byte 5 onward is not examined.
  EXPECT_EQ(check_rx_data(reply_of({0xF0, 0x42, 0x23, 0x58, 0x01, 0x55, 0xFF}).data(), 0x01), 1);
  EXPECT_TRUE(host.line_history(3).empty());
}

TEST_F(CheckReply, EveryRowOfTheErrorTable) {
  const char* cables = "Check configuration and cables, and try again";
  const char* again = "Try again, and contact support if error persists";
  const std::vector<ErrorCase> cases = {
      {reply_of({0x90, 0x42, 0x23, 0x58, 0x03}), 3, "Rx Msg Error(0:Not Exclusive)",
       "Received invalid response (a non sysex message)", cables},
      {reply_of({0xF0, 0x41, 0x23, 0x58, 0x03}), 3, "Rx Msg Error(1:Not PELD ID)",
       "Received invalid response (from a non-Peld device)", cables},
      {reply_of({0xF0, 0x42, 0x24, 0x58, 0x03}), 3, "Rx Msg Error(2:JIG ID Error)",
       "Received invalid response (invalid format)", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x59, 0x03}), 3, "Rx Msg Error(3:Product ID Error)",
       "Received invalid response (sender is not an XR3300/R)", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x01}), 3, "Rx Msg Error(4:Msg Code Error)",
       "Received invalid response from the XR3300", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03}), 1, "Rx Msg Error(4:Msg Code Error)",
       "Received invalid response from the XR3300", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 1}), 3, "Rx Msg Error(5:Format Error)",
       "XR3300 received a badly formatted message", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 2}), 3, "Rx Msg Error(5:Checksum Error)",
       "XR3300 received a badly formatted message", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 3}), 3, "Rx Msg Error(5:Timeout Error)",
       "XR3300 reported that a timeout occurred", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 4}), 3, "Rx Msg Error(5:Hardware Error)",
       "XR3300 reported that a MIDI error occurred", cables},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 5}), 3, "Rx Msg Error(5:Write Error)",
       "XR3300 failed to write to its internal memory", again},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 6}), 3, "Rx Msg Error(5:Unknown Error)",
       "XR3300 reported an unknown error", again},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 127}), 3, "Rx Msg Error(5:Unknown Error)",
       "XR3300 reported an unknown error", again},
      {reply_of({0xF0, 0x42, 0x23, 0x58, 0x03, 255}), 3, "Rx Msg Error(5:Unknown Error)",
       "XR3300 reported an unknown error", again},
  };
  std::string expected_log;
  for (const auto& c : cases) {
    EXPECT_EQ(check_rx_data(c.reply.data(), c.expected), 0) << c.line3;
    EXPECT_EQ(host.line(3), c.line3);
    EXPECT_EQ(host.line(4), c.line4);
    EXPECT_EQ(host.line(5), c.line5);
    expected_log += std::string(c.line3) + "\r\n\r\n";
  }
  close_log();
  const std::string log = read_file_bytes(dir.file("vup_log.txt"));
  ASSERT_GE(log.size(), expected_log.size());
  EXPECT_EQ(log.substr(log.size() - expected_log.size()), expected_log);
}

TEST_F(CheckReply, AVersionReplyIsJudgedOnlyOnTheBytesThatArrived) {
  // All three versions arrived (bytes 5 to 10): valid, whatever they hold.
  const auto whole = reply_of({0xF0, 0x42, 0x23, 0x58, 0x01, 0, 0, 0, 0, 0, 0, 0xF7});
  EXPECT_EQ(check_rx_data(whole.data(), 0x01, 12), 1);
  // The third version cut off: the zeros left in the buffer must not pass as
  // versions the instrument reported.
  EXPECT_EQ(check_rx_data(whole.data(), 0x01, 10), 0);
  EXPECT_EQ(host.line(3), "Rx Msg Error(4:Msg Code Error)");
  EXPECT_EQ(check_rx_data(whole.data(), 0x01, 5), 0);
  EXPECT_EQ(host.line_history(3).size(), 2u);
}

TEST_F(CheckReply, FirstFailingCheckDecides) {
  // Wrong manufacturer and wrong code: the manufacturer is reported.
  EXPECT_EQ(check_rx_data(reply_of({0xF0, 0x00, 0x23, 0x58, 0x07}).data(), 3), 0);
  EXPECT_EQ(host.line(3), "Rx Msg Error(1:Not PELD ID)");
  EXPECT_EQ(host.line_history(3).size(), 1u);
}

}  // namespace
