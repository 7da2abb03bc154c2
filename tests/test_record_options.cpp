// qx470-record's command line: what it accepts, what it refuses and the message it gives, the
// sample counts that -t and -n turn into, and the file names per rate.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "options.h"

namespace {

using qx470rec::Format;
using qx470rec::Options;
using qx470rec::Outcome;

struct Parsed {
  Outcome outcome;
  Options opts;
  std::string out, err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "qx470-record");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  Parsed p{};
  p.outcome =
      qx470rec::parse_command_line(static_cast<int>(args.size()), argv.data(), p.opts, out, err);
  p.out = out.str();
  p.err = err.str();
  return p;
}

TEST(RecordOptions, DefaultsAreTheConsolesRatesAndRecordUntilStopped) {
  const Parsed p = parse({"-o", "x.edf"});
  ASSERT_EQ(p.outcome, Outcome::kRun) << p.err;
  EXPECT_EQ(p.opts.rates, (std::array<int, 4>{50, 50, 50, 50}));
  EXPECT_EQ(p.opts.format, Format::kEdf);
  EXPECT_FALSE(p.opts.quiet);
  for (uint64_t t : qx470rec::sample_targets(p.opts)) EXPECT_EQ(t, qx470rec::kUnbounded);
}

TEST(RecordOptions, LongAndShortFormsTogether) {
  const Parsed p = parse({"--rate", "1=100,3=off,4=1", "--time=2m", "--output", "a.b/c.CSV", "-q"});
  ASSERT_EQ(p.outcome, Outcome::kRun) << p.err;
  EXPECT_EQ(p.opts.rates, (std::array<int, 4>{100, 0, 0, 1}));
  EXPECT_EQ(p.opts.duration_ms, 120000u);
  EXPECT_EQ(p.opts.format, Format::kCsv);
  EXPECT_TRUE(p.opts.quiet);
  const auto t = qx470rec::sample_targets(p.opts);
  EXPECT_EQ(t, (std::array<uint64_t, 4>{12'000'000, 0, 0, 120'000}));
}

TEST(RecordOptions, SampleCountsGoToTheFastestChannelAndInProportionToTheOthers) {
  const Parsed p = parse({"-r", "1=20,2=100,3=50,4=1", "-n", "1001", "-o", "x.dat"});
  ASSERT_EQ(p.outcome, Outcome::kRun) << p.err;
  EXPECT_EQ(qx470rec::sample_targets(p.opts), (std::array<uint64_t, 4>{200, 1001, 500, 10}));
  EXPECT_EQ(parse({"-n", "3k", "-o", "x.dat"}).opts.samples, 3000u);
  EXPECT_EQ(parse({"-n", "2M", "-o", "x.dat"}).opts.samples, 2'000'000u);
}

TEST(RecordOptions, Durations) {
  struct Case {
    const char *text;
    uint64_t ms;
  };
  for (const Case &c : {Case{"500ms", 500}, Case{"30s", 30000}, Case{"1.5s", 1500},
                        Case{"2m", 120000}, Case{"0.25h", 900000}, Case{"1h", 3600000}}) {
    uint64_t ms = 0;
    EXPECT_EQ(qx470rec::parse_duration(c.text, ms), "") << c.text;
    EXPECT_EQ(ms, c.ms) << c.text;
  }
}

TEST(RecordOptions, FormatsFromTheExtension) {
  struct Case {
    const char *path;
    Format format;
  };
  for (const Case &c : {Case{"a.edf", Format::kEdf}, Case{"a.EDF", Format::kEdf},
                        Case{"-", Format::kCsv}, Case{"dir.x/a.flac", Format::kFlac},
                        Case{"a.wav", Format::kWav}, Case{"a.dat", Format::kDat}}) {
    Format f{};
    EXPECT_EQ(qx470rec::format_for(c.path, f), "") << c.path;
    EXPECT_EQ(f, c.format) << c.path;
  }
}

// Every refusal: exit code 2 through kBadArguments, and a message that quotes the input.
TEST(RecordOptions, NamesSubjectAndNotesForEveryFile) {
  const Parsed p = parse({"--label", "1=Fz,3=EMG left", "--subject", "S01 session 2", "--meta",
                          "site=lab 2", "--meta", "task=rest", "-o", "x.edf"});
  ASSERT_EQ(p.outcome, Outcome::kRun) << p.err;
  EXPECT_EQ(p.opts.labels, (std::array<std::string, 4>{"Fz", "", "EMG left", ""}));
  EXPECT_EQ(p.opts.subject, "S01 session 2");
  ASSERT_EQ(p.opts.meta.size(), 2u);
  EXPECT_EQ(p.opts.meta[0], (std::pair<std::string, std::string>{"site", "lab 2"}));
  EXPECT_EQ(p.opts.meta[1].first, "task");
}

TEST(RecordOptions, TheLiveBenchBindsTheLoopbackUnlessToldAndNeedsNoFile) {
  struct Case {
    const char *arg, *address;
    int port;
  };
  for (const Case &c : {Case{"8470", "127.0.0.1", 8470}, Case{"0", "127.0.0.1", 0},
                        Case{"0.0.0.0:80", "0.0.0.0", 80}, Case{"[::1]:9000", "::1", 9000},
                        Case{"localhost:1", "localhost", 1}}) {
    const Parsed p = parse({"--serve", c.arg, "-t", "2s"});
    ASSERT_EQ(p.outcome, Outcome::kRun) << c.arg << ": " << p.err;
    EXPECT_EQ(p.opts.serve_address, c.address) << c.arg;
    EXPECT_EQ(p.opts.serve_port, c.port) << c.arg;
    EXPECT_TRUE(p.opts.output.empty());
  }
  EXPECT_EQ(parse({"-o", "x.edf"}).opts.serve_port, -1) << "not served unless asked";
}

TEST(RecordOptions, BadArgumentsAreRefusedWithAMessageThatQuotesThem) {
  struct Case {
    std::vector<std::string> args;
    const char *says;
  };
  const std::vector<Case> cases = {
      {{"-r", "1=7", "-o", "x.edf"}, "invalid rate '7' for channel 1"},
      {{"-r", "5=100", "-o", "x.edf"}, "invalid channel '5'"},
      {{"-r", "0=100", "-o", "x.edf"}, "invalid channel '0'"},
      {{"-r", "1=100,1=50", "-o", "x.edf"}, "channel 1 is given twice"},
      {{"-r", "1=off,2=off", "-o", "x.edf"}, "no channel is on"},
      {{"-r", "1:100", "-o", "x.edf"}, "invalid rate '1:100'"},
      {{"-r", "1=100,", "-o", "x.edf"}, "trailing comma"},
      {{"-r", "", "-o", "x.edf"}, "empty rate list"},
      {{"-r", "1=-100", "-o", "x.edf"}, "invalid rate '-100'"},
      {{"-t", "10x", "-o", "x.edf"}, "invalid duration '10x'"},
      {{"-t", "0s", "-o", "x.edf"}, "invalid duration '0s'"},
      {{"-t", "30", "-o", "x.edf"}, "invalid duration '30': give its unit"},
      {{"-t", "1.s", "-o", "x.edf"}, "invalid duration '1.s'"},
      {{"-t", "0.0001s", "-o", "x.edf"}, "invalid duration '0.0001s'"},
      {{"-t", "99999999999999h", "-o", "x.edf"}, "invalid duration"},
      {{"-n", "-5", "-o", "x.edf"}, "invalid sample count '-5'"},
      {{"-n", "99999999999999999999", "-o", "x.edf"}, "invalid sample count"},
      {{"-t", "1s", "-n", "10", "-o", "x.edf"}, "give -t or -n, not both"},
      {{"-t", "1s", "-t", "2s", "-o", "x.edf"}, "option '-t' is given twice"},
      {{"--volts", "-o", "x.edf"}, "--volts is for CSV: EDF+ holds counts"},
      {{"-o", "x.mp3"}, "unknown output format '.mp3' of 'x.mp3'"},
      {{"-o", "noext"}, "has no extension"},
      {{"-t", "1s"}, "no output file"},
      {{"-o"}, "option '-o' needs a value"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x", "-o", "x.edf"}, "unknown option '-x'"},
      {{"-o", "x.edf", "extra"}, "unexpected argument 'extra'"},
      {{"--show", "-q"}, "--show takes no option but -d"},
      {{"--scan", "-d", "QX47001"}, "--scan takes no other option"},
      {{"-d", "", "-o", "x.edf"}, "empty serial number"},
      {{"-o", "x.edf", "-d"}, "option '-d' needs a value"},
      {{"-r", "1=100,2=50", "-o", "x.flac"}, "FLAC holds one sample rate"},
      {{"-r", "1=100,2=50", "-o", "x.wav"}, "WAV holds one sample rate"},
      {{"-r", "1=100,2=50", "-o", "-"}, "CSV on standard output holds one sample rate"},
      {{"--label", "5=Fz", "-o", "x.edf"}, "invalid label '5=Fz'"},
      {{"--label", "1=Fz,2=Fz", "-o", "x.edf"}, "channel name 'Fz' is given twice"},
      {{"--label", "1=", "-o", "x.edf"}, "invalid channel name ''"},
      {{"--label", "1=a-name-of-17-chars", "-o", "x.edf"}, "1 to 16 printable ASCII"},
      {{"--label", "1=Fz\t", "-o", "x.edf"}, "invalid channel name"},
      {{"--subject", "", "-o", "x.edf"}, "invalid --subject"},
      {{"--serve", "70000"}, "invalid --serve '70000'"},
      {{"--serve", "host.example:8470"}, "'host.example' is not an IP address"},
      {{"--serve", ":8470"}, "invalid --serve ':8470'"},
      {{"--serve", "8470", "--volts"}, "--volts is for CSV: give -o FILE.csv"},
      {{"--lsl", "", "-o", "x.edf"}, "invalid --lsl name"},
      {{"--lsl", "a'b"}, "no quotes"},
      {{"--lsl", "bench", "-f"}, "-f replaces files: give -o FILE"},
      {{"--subject", "\xC3\xA9", "-o", "x.edf"}, "printable ASCII"},
      {{"--meta", "novalue", "-o", "x.edf"}, "invalid --meta 'novalue': give KEY=VALUE"},
      {{"--meta", "a b=1", "-o", "x.edf"}, "invalid --meta 'a b=1'"},
      {{"--meta", "site=", "-o", "x.edf"}, "invalid value of --meta site"},
      {{"--meta", "site=a", "--meta", "site=b", "-o", "x.edf"}, "--meta site is given twice"},
  };
  for (const Case &c : cases) {
    const Parsed p = parse(c.args);
    std::string joined;
    for (const auto &a : c.args) joined += a + " ";
    EXPECT_EQ(p.outcome, Outcome::kBadArguments) << joined;
    EXPECT_NE(p.err.find(c.says), std::string::npos) << joined << "\n gave: " << p.err;
    EXPECT_NE(p.err.find("--help"), std::string::npos) << joined;
    EXPECT_EQ(p.out, "") << joined;
  }
}

TEST(RecordOptions, HelpGoesToStandardOutputAndShowStandsAlone) {
  const Parsed h = parse({"--help"});
  EXPECT_EQ(h.outcome, Outcome::kExitOk);
  EXPECT_NE(h.out.find("Usage: qx470-record"), std::string::npos);
  EXPECT_EQ(h.err, "");
  const Parsed s = parse({"--show"});
  EXPECT_EQ(s.outcome, Outcome::kRun);
  EXPECT_TRUE(s.opts.show);
  const Parsed d = parse({"--device", "QX47002", "--show"});
  EXPECT_EQ(d.outcome, Outcome::kRun) << d.err;
  EXPECT_EQ(d.opts.device, "QX47002");
  EXPECT_TRUE(parse({"--scan"}).opts.scan);
  EXPECT_EQ(parse({"-d", "QX47001", "-o", "x.edf"}).opts.device, "QX47001");
  // Parsing twice in one process starts afresh.
  EXPECT_EQ(parse({"-o", "y.csv"}).opts.output, "y.csv");
  const Parsed v = parse({"--version"});
  EXPECT_EQ(v.outcome, Outcome::kExitOk);
  EXPECT_EQ(v.out, "qx470-record 1.0.0\n");
  EXPECT_TRUE(parse({"-f", "-o", "y.csv"}).opts.force);
  EXPECT_FALSE(parse({"-o", "y.csv"}).opts.force);
  EXPECT_EQ(parse({"--show", "--force"}).outcome, Outcome::kBadArguments);
}

}  // namespace
