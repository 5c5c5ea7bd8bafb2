// The Linux command line's checks of options that cannot go together, made once
// the whole line is read: which one is told when several apply.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "ui/run_options.h"

namespace {

struct Parsed {
  int status = -1;
  RunOptions options;
};

Parsed parse(std::vector<std::string> given) {
  given.insert(given.begin(), "xrupdate");
  // The options point into the words: they are kept for the whole test program.
  static std::deque<std::vector<std::string>> kept;
  kept.push_back(given);
  std::vector<std::string>& words = kept.back();
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  Parsed parsed;
  FILE* err = std::fopen("/dev/null", "w");
  parsed.status = parse_run_options(static_cast<int>(words.size()), argv.data(), &parsed.options, err);
  std::fclose(err);
  return parsed;
}

TEST(RunOptionConflicts, AnOptionTheCommandRefusesIsToldBeforeTheLinkConflict) {
  const Parsed p = parse({"--list", "--port", "/dev/ttyS0", "--midi-out", "1"});
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(p.options.usage_error, "--port does not apply to --list");
}

TEST(RunOptionConflicts, TwoLinksAtOnceAreToldBeforeTheFileCount) {
  const Parsed p = parse({"--query", "--port", "/dev/ttyS0", "--midi-in", "1"});
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(p.options.usage_error, "--port and --midi-out/--midi-in choose two links at once; give one");
}

TEST(RunOptionConflicts, SeveralPortsAreForFindAndBatchAlone) {
  EXPECT_EQ(parse({"--query", "--port", "/dev/a", "--port", "/dev/b"}).options.usage_error,
            "--port is given more than once; only --find and --batch take several");
  EXPECT_EQ(parse({"--dry-run", "--midi-out", "1", "--midi-in", "1", "--midi-out", "2", "--midi-in", "2", "a.sys"})
                .options.usage_error,
            "--midi-out or --midi-in is given more than once; only --batch takes several pairs");
  EXPECT_EQ(parse({"--find", "--port", "/dev/a", "--port", "/dev/b"}).status, 0);
}

TEST(BatchInstruments, PortsAndPairsMixKeepTheirOrderAndCountAsInstruments) {
  const Parsed p = parse({"--batch", "a.sys", "--port", "/dev/a", "--midi-out", "x", "--midi-in", "y",
                          "--port", "/dev/b", "--midi-out", "z", "--midi-in", "w"});
  ASSERT_EQ(p.status, 0) << p.options.usage_error;
  EXPECT_EQ(named_instruments(p.options), 4);
  EXPECT_TRUE(several_instruments(p.options));
  EXPECT_EQ(p.options.ports, (std::vector<std::string>{"/dev/a", "/dev/b"}));
  EXPECT_STREQ(p.options.midi_outs[1], "z");
  EXPECT_STREQ(p.options.midi_ins[0], "y");
}

TEST(BatchInstruments, OneLinkIsTheSingleUpdateAsBefore) {
  const Parsed one = parse({"--batch", "a.sys", "--midi-out", "x"});
  ASSERT_EQ(one.status, 0) << one.options.usage_error;
  EXPECT_FALSE(several_instruments(one.options));
  EXPECT_FALSE(several_instruments(parse({"--batch", "a.sys"}).options));
  EXPECT_TRUE(several_instruments(parse({"--batch", "a.sys", "--all"}).options));
}

TEST(BatchInstruments, HalfPairsAllWithLinksAndStrayTimeoutsAreRefused) {
  EXPECT_EQ(parse({"--batch", "a.sys", "--port", "/dev/a", "--midi-out", "x"}).options.usage_error,
            "--midi-out and --midi-in go in pairs when several instruments are named (1 --midi-out, 0 --midi-in)");
  EXPECT_EQ(parse({"--batch", "a.sys", "--all", "--port", "/dev/a"}).options.usage_error,
            "--all updates every instrument found; it takes no --port, --midi-out or --midi-in");
  EXPECT_EQ(parse({"--batch", "a.sys", "--timeout", "100"}).options.usage_error,
            "--timeout applies to --batch only with --all");
  EXPECT_EQ(parse({"--batch", "a.sys", "--all", "--timeout", "100"}).status, 0);
  EXPECT_EQ(parse({"--query", "--all"}).options.usage_error, "--all does not apply to --query");
}

TEST(BatchInstruments, TheMemberOptionTakesItsNumberWholeAndOneLink) {
  const Parsed p = parse({"--batch", "a.sys", "--port", "/dev/a", "--member", "2"});
  ASSERT_EQ(p.status, 0) << p.options.usage_error;
  EXPECT_EQ(p.options.member, 2);
  EXPECT_FALSE(several_instruments(p.options));
  for (const char* bad : {"0", "2,", "-1", "2x", "x", "4097"}) {
    EXPECT_EQ(parse({"--batch", "a.sys", "--port", "/dev/a", "--member", bad}).status, 2) << bad;
  }
  EXPECT_EQ(parse({"--batch", "a.sys", "--member", "1"}).options.usage_error, "--member needs exactly one link");
}

TEST(BatchInstruments, AnInstrumentIsLabelledAsTheUserNamedIt) {
  EXPECT_EQ(instrument_label(parse({"--batch", "a.sys", "--port", "COM2"}).options), "COM2");
  EXPECT_EQ(instrument_label(parse({"--batch", "a.sys", "--midi-out", "x", "--midi-in", "x"}).options), "MIDI x");
  EXPECT_EQ(instrument_label(parse({"--batch", "a.sys", "--midi-out", "1", "--midi-in", "2"}).options),
            "MIDI 1 / 2");
  EXPECT_EQ(instrument_label(parse({"--batch", "a.sys", "--port", "/dev/a\nb"}).options), "/dev/a\\nb");
}

}  // namespace
