// The simulated instrument's core: requests fed byte by byte, replies and the
// received image checked against what the program would send.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/seven_bit.h"
#include "engine/update_file.h"
#include "sim/instrument.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kVersionRequest = {0xF0, 0x42, 0x23, 0x58, 0x00, 0xF7};
const Bytes kStatusOk = {0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7};

Bytes set_mode(int attr) {
  return {0xF0, 0x42, 0x23, 0x58, 0x02, static_cast<unsigned char>(attr), 0xF7};
}

Bytes status(int value) {
  return {0xF0, 0x42, 0x23, 0x58, 0x03, static_cast<unsigned char>(value), 0xF7};
}

// A data packet as the transfer builds it: head, number, packed block, checksum, F7.
Bytes packet(const std::string& image, int number) {
  Bytes p(kSimPacketSize);
  const unsigned char head[] = {0xF0, 0x42, 0x23, 0x58, 0x04};
  std::memcpy(p.data(), head, 5);
  p[5] = static_cast<unsigned char>(number & 0x7F);
  p[6] = static_cast<unsigned char>((number >> 7) & 0x7F);
  unsigned char sum = 0;
  int packed = encode_midi(reinterpret_cast<const unsigned char*>(image.data()) + number * 8192,
                           &p[7], 8192, &sum);
  EXPECT_EQ(9363, packed);
  p[7 + packed] = sum;
  p[8 + packed] = 0xF7;
  return p;
}

std::vector<SimAction> feed(SimInstrument& sim, const Bytes& bytes) {
  std::vector<SimAction> out;
  for (unsigned char b : bytes) sim_feed(sim, b, out);
  return out;
}

// The bytes of the single write the instrument answers with.
Bytes reply_to(SimInstrument& sim, const Bytes& request) {
  std::vector<SimAction> out = feed(sim, request);
  EXPECT_EQ(1u, out.size());
  if (out.size() != 1) return {};
  EXPECT_EQ(SimAction::kWrite, out[0].kind);
  return out[0].bytes;
}

class SimTest : public ::testing::Test {
 protected:
  void start(const SimConfig& config) { sim_reset(sim_, config); }
  void SetUp() override { start(SimConfig{}); }
  SimInstrument sim_;
};

TEST_F(SimTest, VersionReplyCarriesThreeVersionsLowByteFirst) {
  SimConfig config;
  config.versions = {{0x0109, 0x0203, 0x0A0B}};
  start(config);
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x01, 0x09, 0x01, 0x03, 0x02, 0x0B, 0x0A, 0, 0, 0, 0, 0xF7}),
            reply_to(sim_, kVersionRequest));
  EXPECT_EQ(1, sim_.record.version_requests);
}

TEST_F(SimTest, WholeUpdateIsUnpackedIntoTheImageFile) {
  TempDir dir;
  SimConfig config;
  config.image_path = dir.file("image.bin");
  start(config);
  const std::string image = make_update_image(0, 1, 2);
  ASSERT_EQ(262144u, image.size());
  EXPECT_EQ(kStatusOk, reply_to(sim_, set_mode(0)));
  EXPECT_EQ(32, sim_.record.expected_packets);
  for (int k = 0; k < 32; ++k) {
    ASSERT_EQ(kStatusOk, reply_to(sim_, packet(image, k))) << "packet " << k << ": " << sim_.record.last_error;
  }
  EXPECT_EQ(32, sim_.record.packets);
  EXPECT_EQ(1, sim_.record.updates_completed);
  EXPECT_EQ(1, sim_.record.image_written);
  EXPECT_EQ("", sim_.record.last_error);
  EXPECT_TRUE(sim_.record.image == Bytes(image.begin(), image.end()));
  EXPECT_TRUE(read_file_bytes(config.image_path) == image);
}

TEST_F(SimTest, SetModeSizesTheImageByAttributeCode) {
  for (int attr = 0; attr <= 3; ++attr) {
    EXPECT_EQ(kStatusOk, reply_to(sim_, set_mode(attr)));
    EXPECT_EQ(required_file_size(attr) / 8192, sim_.record.expected_packets);
    EXPECT_EQ(attr, sim_.record.attr_code);
  }
  EXPECT_EQ(status(1), reply_to(sim_, set_mode(4)));
}

TEST_F(SimTest, PacketOutOfOrderIsAFormatError) {
  const std::string image = make_update_image(0, 1, 0);
  reply_to(sim_, set_mode(0));
  EXPECT_EQ(kStatusOk, reply_to(sim_, packet(image, 0)));
  EXPECT_EQ(status(1), reply_to(sim_, packet(image, 2)));
  EXPECT_NE(std::string::npos, sim_.record.last_error.find("out of order"));
  EXPECT_EQ(kStatusOk, reply_to(sim_, packet(image, 1)));
  EXPECT_EQ(2, sim_.record.packets);
}

TEST_F(SimTest, BadChecksumIsAChecksumError) {
  const std::string image = make_update_image(0, 1, 0);
  reply_to(sim_, set_mode(0));
  Bytes p = packet(image, 0);
  p[kSimPacketSize - 2] = static_cast<unsigned char>((p[kSimPacketSize - 2] + 1) & 0x7F);
  EXPECT_EQ(status(2), reply_to(sim_, p));
  EXPECT_EQ(0, sim_.record.packets);
  EXPECT_EQ(1, sim_.record.bad_packets);
}

TEST_F(SimTest, WrongLengthOrHighBitIsAFormatError) {
  const std::string image = make_update_image(0, 1, 0);
  reply_to(sim_, set_mode(0));
  Bytes shorter = packet(image, 0);
  shorter.erase(shorter.begin() + 100);
  EXPECT_EQ(status(1), reply_to(sim_, shorter));
  Bytes high = packet(image, 0);
  high[200] = 0x85;
  EXPECT_EQ(status(1), reply_to(sim_, high));
  EXPECT_EQ(0, sim_.record.packets);
}

TEST_F(SimTest, PacketWithoutSetModeIsAFormatError) {
  const std::string image = make_update_image(0, 1, 0);
  EXPECT_EQ(status(1), reply_to(sim_, packet(image, 0)));
}

TEST_F(SimTest, RealTimeBytesInsideARequestAreIgnored) {
  EXPECT_EQ(16u, reply_to(sim_, {0xF0, 0x42, 0xF8, 0x23, 0x58, 0xFE, 0x00, 0xF7}).size());
}

TEST_F(SimTest, MessagesForOthersAndStrayBytesAreIgnored) {
  EXPECT_TRUE(feed(sim_, {0x12, 0x34, 0xF0, 0x43, 0x23, 0x58, 0x00, 0xF7}).empty());
  EXPECT_EQ(2, sim_.record.stray_bytes);
  EXPECT_EQ(1, sim_.record.messages);
  EXPECT_EQ(0, sim_.record.version_requests);
}

TEST_F(SimTest, SayMessageSendsItsBytesVerbatim) {
  const Bytes line = {0x00, 0xF0, 0xF7, 0xFF, 0x7E};
  EXPECT_EQ(line, reply_to(sim_, sim_say_message(line)));
  std::vector<SimAction> out = feed(sim_, sim_close_message());
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(SimAction::kClose, out[0].kind);
}

TEST(SimSteps, ParseAndMatch) {
  SimStep s;
  ASSERT_EQ(1, sim_parse_step("packet:3", &s));
  EXPECT_EQ(SimStep::kPacket, s.kind);
  EXPECT_EQ(3, s.packet);
  EXPECT_TRUE(sim_step_matches(s, SimStep{SimStep::kPacket, 3}));
  EXPECT_FALSE(sim_step_matches(s, SimStep{SimStep::kPacket, 4}));
  EXPECT_FALSE(sim_step_matches(s, SimStep{SimStep::kSetMode, 0}));
  ASSERT_EQ(1, sim_parse_step("all", &s));
  EXPECT_TRUE(sim_step_matches(s, SimStep{SimStep::kVersion, 0}));
  EXPECT_EQ(1, sim_parse_step("version", &s));
  EXPECT_EQ(1, sim_parse_step("setmode", &s));
  EXPECT_EQ(0, sim_parse_step("packet:", &s));
  EXPECT_EQ(0, sim_parse_step("packet:x", &s));
  EXPECT_EQ(0, sim_parse_step("versions", &s));
  EXPECT_FALSE(sim_step_matches(SimStep{}, SimStep{SimStep::kVersion, 0}));
}

// Faults.

TEST_F(SimTest, FaultSetModeStatus) {
  SimConfig config;
  config.setmode_status = 5;
  start(config);
  EXPECT_EQ(status(5), reply_to(sim_, set_mode(0)));
  EXPECT_EQ(status(1), reply_to(sim_, packet(make_update_image(0, 1, 0), 0)));  // no update under way
}

TEST_F(SimTest, FaultStatusAtPacketK) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("packet:2", &config.status_step));
  config.status_value = 200;
  start(config);
  const std::string image = make_update_image(0, 1, 0);
  reply_to(sim_, set_mode(0));
  EXPECT_EQ(kStatusOk, reply_to(sim_, packet(image, 0)));
  EXPECT_EQ(kStatusOk, reply_to(sim_, packet(image, 1)));
  EXPECT_EQ(status(200), reply_to(sim_, packet(image, 2)));
  EXPECT_EQ(2, sim_.record.packets);
}

TEST_F(SimTest, FaultNoReply) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("packet:1", &config.silent_step));
  start(config);
  const std::string image = make_update_image(0, 1, 0);
  reply_to(sim_, set_mode(0));
  EXPECT_EQ(kStatusOk, reply_to(sim_, packet(image, 0)));
  EXPECT_TRUE(feed(sim_, packet(image, 1)).empty());
  EXPECT_EQ(2, sim_.record.packets);  // received, just not answered
}

TEST_F(SimTest, FaultNoiseBeforeTheReply) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("setmode", &config.noise_step));
  config.noise = {0xFE, 0xF8, 0x33};
  start(config);
  Bytes expected = config.noise;
  expected.insert(expected.end(), kStatusOk.begin(), kStatusOk.end());
  EXPECT_EQ(expected, reply_to(sim_, set_mode(0)));
  EXPECT_EQ(16u, reply_to(sim_, kVersionRequest).size());  // other steps clean
}

TEST_F(SimTest, FaultLongReply) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.long_step));
  config.long_length = 20;
  config.long_fill = 0x11;
  start(config);
  Bytes reply = reply_to(sim_, kVersionRequest);
  ASSERT_EQ(20u, reply.size());
  EXPECT_EQ(0x11, reply[15]);
  EXPECT_EQ(0x11, reply[18]);
  EXPECT_EQ(0xF7, reply[19]);
}

TEST_F(SimTest, FaultWrongHeadByteOrCode) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.bad_step));
  config.bad_index = 4;
  config.bad_value = 0x03;
  start(config);
  Bytes reply = reply_to(sim_, kVersionRequest);
  ASSERT_EQ(16u, reply.size());
  EXPECT_EQ(0x03, reply[4]);
  config.bad_index = 1;
  config.bad_value = 0x41;
  ASSERT_EQ(1, sim_parse_step("setmode", &config.bad_step));
  start(config);
  EXPECT_EQ((Bytes{0xF0, 0x41, 0x23, 0x58, 0x03, 0x00, 0xF7}), reply_to(sim_, set_mode(0)));
}

TEST_F(SimTest, FaultDelayAndLineSpeed) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("version", &config.delay_step));
  config.delay_ms = 250;
  config.line_baud = 38400;
  start(config);
  std::vector<SimAction> out = feed(sim_, kVersionRequest);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(250000, out[0].delay_us);
  EXPECT_EQ(260, out[0].per_byte_us);  // ten bits at 38400 baud
  out = feed(sim_, set_mode(0));
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(0, out[0].delay_us);
}

TEST_F(SimTest, FaultCloseTheLine) {
  SimConfig config;
  ASSERT_EQ(1, sim_parse_step("packet:1", &config.close_step));
  start(config);
  const std::string image = make_update_image(0, 1, 0);
  reply_to(sim_, set_mode(0));
  EXPECT_EQ(kStatusOk, reply_to(sim_, packet(image, 0)));
  std::vector<SimAction> out = feed(sim_, packet(image, 1));
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(SimAction::kClose, out[0].kind);
  EXPECT_TRUE(sim_.closed);
  EXPECT_TRUE(feed(sim_, kVersionRequest).empty());  // nothing after the close
}

}  // namespace
