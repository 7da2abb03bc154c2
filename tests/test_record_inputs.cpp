// What comes into a recording besides the samples, in-process and without a device: event texts
// made safe for every file, event times placed or refused, pipes and files followed as `tail -F`
// follows them, and the output files a recording holds so that no other recorder spoils them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "events.h"
#include "output_claim.h"
#include "placement.h"
#include "sidecar.h"
#include "test_folder.h"
#include "utf8_check.h"
#include "wait_for.h"

namespace {

namespace fs = std::filesystem;
using qx470rec::Event;
using qx470rec::EventSources;
using qxtest::strict_utf8;

TEST(EventText, AnyBytesBecomeValidUtf8WithoutControlCharactersCutAtACharacter) {
  std::vector<std::string> texts;
  for (int b = 0; b < 256; ++b) texts.push_back("byte " + std::string(1, char(b)) + " end");
  texts.push_back(std::string("a\0b", 3));
  texts.push_back("\xff\xfe\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82");  // nothing valid
  std::string big;
  for (int i = 0; i < 65536; ++i) big += char(i * 7 + 3);
  texts.push_back(big);
  for (const std::string &t : texts) {
    const std::string safe = qx470rec::event_text(t, qx470rec::kEventTextBytes);
    EXPECT_TRUE(strict_utf8(safe)) << t.size();
    EXPECT_LE(safe.size(), qx470rec::kEventTextBytes);
    for (char c : safe) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
  }
  // Good UTF-8 stays as it is, and a cut never splits a character.
  EXPECT_EQ(qx470rec::event_text("\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", 200),
            "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(qx470rec::event_text("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(qx470rec::valid_utf8("x\xffy"), "x\xEF\xBF\xBDy");
}

TEST(EventTimes, APrefixThatDoesNotParseIsRefusedNotTimedOnArrival) {
  EXPECT_EQ(qx470rec::parse_event("@utc=12.5 go", 7.0).utc, 12.5);
  EXPECT_EQ(qx470rec::parse_event("@utc=12.5 go", 7.0).text, "go");
  EXPECT_EQ(qx470rec::parse_event("@steady=3.25 go", 7.0).steady, 3.25);
  EXPECT_EQ(qx470rec::parse_event("plain", 7.0).steady, 7.0);
  for (const char *bad : {"@utc=abc x", "@utc= x", "@steady=1e999 x", "@utc=12s x", "@utc="}) {
    const Event e = qx470rec::parse_event(bad, 7.0);
    EXPECT_NE(e.refused.find("is not a number of seconds"), std::string::npos) << bad;
  }
}

// A recording whose first sample was taken at steady 100 s, now at 110 s, the system clock 1.7e9
// s ahead of the steady one: an event inside it (or within a second's grace) lands at its sample,
// any other is refused with the reason and left as it was.
TEST(EventTimes, TimesOutsideTheRecordingOrNotFiniteAreRefusedNeverMoved) {
  qx470reader::ClockMap map;
  map.reset({100, 10, 0, 0});
  map.begin_segment(1, {0, 0, 0, 0}, 100.0, 1.7e9);
  const std::array<bool, 4> on{true, true, false, false};
  const auto place = [&](Event e) {
    const std::string why = qx470rec::place_event(e, map, 100.0, 110.0, on);
    return std::make_pair(why, e);
  };
  Event at_steady;
  at_steady.steady = 105.0;
  auto [why, e] = place(at_steady);
  EXPECT_EQ(why, "");
  EXPECT_EQ(e.index[0], 500'000u);
  EXPECT_EQ(e.index[1], 50'000u);
  EXPECT_NEAR(e.utc_time, 1.7e9 + 105.0, 1e-6);
  Event at_utc;
  at_utc.utc_given = true;
  at_utc.utc = 1.7e9 + 99.5;  // within the grace before the first sample
  EXPECT_EQ(place(at_utc).first, "");
  EXPECT_EQ(place(at_utc).second.index[0], 0u);

  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    bool utc;
    double t;
    const char *why;
  };
  for (const Case &c : {Case{true, inf, "not finite"}, Case{true, nan, "not finite"},
                        Case{true, 1e300, "after the recording"}, Case{true, 0, "before the rec"},
                        Case{true, -5, "before the recording"}, Case{false, nan, "not finite"},
                        Case{false, 1e20, "after the recording"},
                        Case{true, 1.7e9 + 100.0 - 3600, "before the recording"},
                        Case{true, 1.7e9 + 110.0 + 3600, "after the recording"},
                        Case{false, 111.5, "after the recording"}}) {
    Event ev;
    (c.utc ? ev.utc : ev.steady) = c.t;
    ev.utc_given = c.utc;
    const auto [reason, left] = place(ev);
    EXPECT_NE(reason.find(c.why), std::string::npos) << c.t << ": " << reason;
    EXPECT_EQ(left.index[0], 0u) << "refused events are not placed anywhere";
  }
}

class Sources : public qxtest::TestFolder {
 protected:
  Sources() : TestFolder("qx470inputs_") {}
  std::string add(EventSources &s, const fs::path &p) {
    bool bad = false;
    return s.add(p.string(), bad);
  }
  // Waits until `n` events have come in all, gathering them.
  bool gather(EventSources &s, size_t n) {
    return qxtest::wait_for(
        [&] {
          for (Event &e : s.take()) got_.push_back(std::move(e));
          return got_.size() >= n;
        },
        30);
  }
  static void append(const fs::path &p, const std::string &text) {
    std::ofstream(p, std::ios::app) << text << std::flush;
  }
  std::vector<Event> got_;
};

TEST_F(Sources, AFollowedFileIsReadAsTailFReadsItThroughCutsAndReplacements) {
  const fs::path log = dir_ / "events.log";
  append(log, "before the recording\n");
  EventSources s;
  ASSERT_EQ(add(s, log), "");
  s.start();
  append(log, "one\n");
  ASSERT_TRUE(gather(s, 1));
  // Cut short (as copytruncate rotates a log): read from its new start.
  fs::resize_file(log, 0);
  append(log, "two\n");
  ASSERT_TRUE(gather(s, 2));
  // Moved away and made anew: the old one's last words, then the new file from its start.
  fs::rename(log, dir_ / "events.log.1");
  append(dir_ / "events.log.1", "three\n");
  append(log, "four\n");
  ASSERT_TRUE(gather(s, 4));
  // A line longer than a source keeps is one event of its start; a last line without its end
  // is taken when the sources stop.
  append(log, std::string(200'012, 'x') + "\nfive\nsix");
  ASSERT_TRUE(gather(s, 6));
  s.stop();
  for (Event &e : s.take()) got_.push_back(std::move(e));
  std::vector<std::string> texts;
  for (const Event &e : got_) texts.push_back(e.text);
  ASSERT_EQ(texts.size(), 7u);
  EXPECT_EQ(texts[0], "one");
  EXPECT_EQ(texts[1], "two");
  EXPECT_EQ(texts[2], "three");
  EXPECT_EQ(texts[3], "four");
  EXPECT_TRUE(got_[4].cut);
  EXPECT_EQ(texts[4], std::string(qx470rec::kEventTextBytes, 'x'));
  EXPECT_EQ(texts[5], "five");
  EXPECT_EQ(texts[6], "six");
}

TEST_F(Sources, APipeKeepsLongLinesWholeAndASourceThatNeverEndsCannotHoldTheStop) {
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EventSources s;
  ASSERT_EQ(add(s, fifo), "");
  ASSERT_EQ(add(s, "/dev/zero"), "");
  s.start();
  {
    std::ofstream pipe(fifo);
    pipe << std::string(200'012, 'y') << "\nafter\n";
  }
  ASSERT_TRUE(qxtest::wait_for(
      [&] {
        for (Event &e : s.take())
          if (e.text.rfind("y", 0) == 0 || e.text == "after") got_.push_back(std::move(e));
        return got_.size() >= 2;
      },
      30));
  EXPECT_EQ(got_.size(), 2u) << "one long line is one event";
  EXPECT_EQ(got_[1].text, "after");
  // /dev/zero sends without end: the stop still joins at once, and nothing piled up.
  const auto begun = std::chrono::steady_clock::now();
  s.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
  EXPECT_LE(s.take().size(), 1u) << "an endless line is one event at most";
}

TEST_F(Sources, AFolderOrAnUnreadableSourceIsABadArgument) {
  EventSources s;
  bool bad = false;
  EXPECT_NE(s.add(dir_.string(), bad).find("is a folder"), std::string::npos);
  EXPECT_TRUE(bad);
  EXPECT_NE(s.add((dir_ / "none").string(), bad).find("No such file"), std::string::npos);
  EXPECT_TRUE(bad);
  EXPECT_NE(s.add("udp:0", bad).find("expected udp:PORT"), std::string::npos);
  EXPECT_TRUE(bad);
  EXPECT_TRUE(s.empty());
}

// A file a recording writes is locked from before it has its name: another recorder finds it
// held, with -f too, and so its sidecar; once the recording is over, -f replaces the file under
// a new inode, so whoever still reads the old one keeps reading it.
TEST_F(Sources, AFileARecordingWritesIsHeldAndReplacedOnlyWhenFree) {
  const std::string data = (dir_ / "x.dat").string();
  int fd = -1;
  ASSERT_EQ(qx470rec::create_output(data, false, fd), "");
  ASSERT_EQ(::write(fd, "first", 5), 5);
  EXPECT_EQ(qx470rec::held_by_a_recording(data), data);
  int other = -1;
  EXPECT_NE(qx470rec::create_output(data, true, other).find("is being recorded"),
            std::string::npos);
  EXPECT_NE(qx470rec::create_output(data, false, other).find("exists"), std::string::npos);
  EXPECT_EQ(other, -1);
  { std::ofstream(dir_ / "x.json") << R"({"files": [{"file": "x.dat"}]})"; }
  EXPECT_EQ(qx470rec::held_by_a_recording((dir_ / "x.json").string()), data)
      << "a sidecar is held through its data files";
  ::close(fd);
  EXPECT_EQ(qx470rec::held_by_a_recording(data), "");

  std::ifstream old_reader(data);
  ASSERT_EQ(qx470rec::create_output(data, true, fd), "");
  ASSERT_EQ(::write(fd, "second", 6), 6);
  ::close(fd);
  std::string old_text;
  old_reader >> old_text;
  EXPECT_EQ(old_text, "first") << "the old file, untouched, for whoever had it open";
  std::ifstream now(data);
  std::string new_text;
  now >> new_text;
  EXPECT_EQ(new_text, "second");
  for (const auto &entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos) << "no temporary left";
}

}  // namespace
