// The live bench in-process: the envelope against the samples it stands for, and the server's
// guards (the token, the Host, a foreign page's WebSocket, the number of pages) with its
// commands reaching the session's side.
#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "live_server.h"
#include "live_tap.h"
#include "test_folder.h"
#include "wait_for.h"

namespace qx470rec {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
namespace fs = std::filesystem;

// Every column's extremes, count and sums, straight from the samples it covers.
void expect_exact(const ChannelEnvelope &e, const std::vector<uint16_t> &codes,
                  const std::vector<bool> &fill) {
  CodeSpan total;
  for (size_t i = 0; i < e.columns.size(); ++i) {
    CodeSpan want;
    for (uint64_t k = 0; k < e.per_column; ++k) {
      const int64_t at = e.first + int64_t(i * e.per_column + k);
      if (at < 0 || uint64_t(at) >= codes.size() || fill[size_t(at)]) continue;
      want.add(codes[size_t(at)]);
    }
    const CodeSpan &got = e.columns[i];
    ASSERT_EQ(got.count, want.count) << "column " << i;
    if (!want.count) continue;
    ASSERT_EQ(got.lo, want.lo) << "column " << i;
    ASSERT_EQ(got.hi, want.hi) << "column " << i;
    ASSERT_EQ(got.sum, want.sum) << "column " << i;
    ASSERT_EQ(got.sum_sq, want.sum_sq) << "column " << i;
    total.add(want);
  }
  EXPECT_EQ(e.total.count, total.count);
  EXPECT_EQ(e.total.sum_sq, total.sum_sq);
}

TEST(LiveTap, EveryColumnHoldsTheExtremesOfItsSamplesAndGapsAreLeftOut) {
  // Ch1 at 100 kS/s (whole buckets for long windows), Ch3 at 1 kS/s (single samples).
  LiveTap tap({100, 0, 1, 0}, {});
  std::mt19937 rng(7);
  std::array<std::vector<uint16_t>, 4> codes;
  std::array<std::vector<bool>, 4> fill;
  const auto feed = [&](int c, size_t n) {
    std::vector<int32_t> chunk(n);
    for (auto &v : chunk) {
      // Mostly small values with rare extremes: a decimation that skips samples would miss them.
      v = rng() % 1000 == 0 ? int32_t(rng() % 2 ? 0 : 65535) : int32_t(30000 + rng() % 5000);
      codes[size_t(c)].push_back(uint16_t(v));
      fill[size_t(c)].push_back(false);
    }
    tap.samples(c, chunk.data(), n);
  };
  const auto lose = [&](int c, uint64_t n) {
    qx470reader::Gap g;
    g.channel = c;
    g.index = codes[size_t(c)].size();
    g.count = n;
    tap.gap(g);
    codes[size_t(c)].resize(codes[size_t(c)].size() + n, 32768);
    fill[size_t(c)].resize(fill[size_t(c)].size() + n, true);
  };
  feed(0, 123457);
  lose(0, 1000);  // not on a bucket's edge
  feed(0, 77);
  lose(0, 64 * 3);
  feed(0, 250000);
  feed(2, 3000);
  lose(2, 17);
  feed(2, 1234);
  for (double window : {0.1, 0.5, 2.0, 3.77}) {
    for (int columns : {16, 333, 1500}) {
      SCOPED_TRACE("window " + std::to_string(window) + " columns " + std::to_string(columns));
      const std::vector<ChannelEnvelope> envs = tap.envelopes(window, columns);
      ASSERT_EQ(envs.size(), 2u);
      for (const ChannelEnvelope &e : envs) {
        EXPECT_LE(e.columns.size(), size_t(columns));
        // The window ends at the newest sample, to within one column.
        EXPECT_LE(e.first + int64_t(e.columns.size() * e.per_column), int64_t(e.end));
        EXPECT_GT(e.first + int64_t((e.columns.size() + 1) * e.per_column), int64_t(e.end));
        expect_exact(e, codes[size_t(e.channel)], fill[size_t(e.channel)]);
      }
    }
  }
  // The gaps are there to shade, with the files' words.
  std::vector<LiveGap> gaps;
  std::vector<LiveEvent> events;
  tap.marks_since(0, gaps, events);
  ASSERT_EQ(gaps.size(), 3u);
  EXPECT_EQ(gaps[0].text, "Ch1 lost 1000");
  EXPECT_EQ(gaps[0].start, 123457u);
  EXPECT_EQ(gaps[0].end, 124457u);
}

TEST(LiveTap, AWindowLongerThanTheRecordingStartsWithEmptyColumnsAndAMinuteIsKept) {
  LiveTap tap({100, 0, 0, 0}, {});
  std::vector<int32_t> chunk(100000, 40000);
  tap.samples(0, chunk.data(), chunk.size());
  ChannelEnvelope e = tap.envelopes(10, 1000)[0];
  EXPECT_LT(e.first, 0);
  EXPECT_EQ(e.total.count, 100000u - 100000u % e.per_column);
  EXPECT_EQ(e.columns.front().count, 0u);
  // A hundred seconds later the ring has wrapped, and the last minute is still whole: each second
  // has a value of its own.
  for (int s = 0; s < 100; ++s) {
    chunk.assign(100000, 20000 + s * 100);
    tap.samples(0, chunk.data(), chunk.size());
  }
  e = tap.envelopes(60, 1000)[0];
  EXPECT_GE(e.columns.size() * e.per_column, 6'000'000u) << "at least the minute asked for";
  EXPECT_EQ(e.total.count, e.columns.size() * e.per_column);
  const auto value_at = [](int64_t i) {
    return i < 100000 ? 40000 : 20000 + (i - 100000) / 100000 * 100;
  };
  EXPECT_EQ(e.total.lo, value_at(e.first));
  EXPECT_EQ(e.total.hi, value_at(int64_t(e.end) - 1));
}

// A page's files in a folder of the test's own.
class LiveServerTest : public qxtest::TestFolder {
 protected:
  LiveServerTest() : qxtest::TestFolder("qx470_live_") {}
  void SetUp() override {
    qxtest::TestFolder::SetUp();
    for (const char *f :
         {"index.html", "live.js", "live.css", "uPlot.iife.min.js", "uPlot.min.css"})
      std::ofstream(dir_ / f) << "/* " << f << " */\n";
    std::vector<int32_t> chunk(50000, 32768 + 3200);
    tap_.samples(0, chunk.data(), chunk.size());
    tap_.set_volts_per_count(312500e-9);
    ASSERT_EQ(server_.listen("127.0.0.1", 0, dir_.string()), "");
    server_.start();
    const std::string url = server_.url();
    const size_t colon = url.rfind(':'), slash = url.find('/', colon);
    port_ = url.substr(colon + 1, slash - colon - 1);
    token_ = url.substr(url.find("token=") + 6);
  }

  // One HTTP exchange on a connection of its own; `origin` set, it asks for the WebSocket.
  http::response<http::string_body> request(http::verb verb, const std::string &target,
                                            const std::string &host = "",
                                            const char *origin = nullptr) {
    net::io_context ioc;
    tcp::socket s(ioc);
    s.connect({net::ip::make_address("127.0.0.1"), uint16_t(std::stoi(port_))});
    http::request<http::string_body> req{verb, target, 11};
    req.set(http::field::host, host.empty() ? "127.0.0.1:" + port_ : host);
    if (origin) {
      req.set(http::field::connection, "Upgrade");
      req.set(http::field::upgrade, "websocket");
      req.set(http::field::sec_websocket_version, "13");
      req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
      if (*origin) req.set(http::field::origin, origin);
    }
    req.prepare_payload();
    http::write(s, req);
    beast::flat_buffer buf;
    http::response<http::string_body> res;
    http::read(s, buf, res);
    return res;
  }

  // Opens /live as a page of `origin` would (none: as a program); null when refused.
  std::unique_ptr<websocket::stream<tcp::socket>> open_live(net::io_context &ioc,
                                                            const std::string &origin) {
    auto ws = std::make_unique<websocket::stream<tcp::socket>>(ioc);
    ws->next_layer().connect({net::ip::make_address("127.0.0.1"), uint16_t(std::stoi(port_))});
    ws->set_option(websocket::stream_base::decorator([origin](websocket::request_type &r) {
      if (!origin.empty()) r.set(http::field::origin, origin);
    }));
    beast::error_code ec;
    ws->handshake("127.0.0.1:" + port_, "/live?token=" + token_, ec);
    return ec ? nullptr : std::move(ws);
  }

  LiveTap tap_{{100, 0, 0, 0}, {"Fz", "", "", ""}};
  LiveServer server_{tap_};
  std::string port_, token_;
};

TEST_F(LiveServerTest, TheTokenTheHostAndTheOriginGuardEverythingButThePage) {
  EXPECT_EQ(request(http::verb::get, "/").result_int(), 200);
  EXPECT_EQ(request(http::verb::get, "/live.js").body(), "/* live.js */\n");
  EXPECT_EQ(request(http::verb::get, "/../../etc/passwd").result_int(), 404);
  EXPECT_EQ(request(http::verb::get, "/favicon.ico").result_int(), 204);
  EXPECT_EQ(request(http::verb::get, "/api/status").result_int(), 403);
  EXPECT_EQ(request(http::verb::get, "/api/status?token=" + token_ + "x").result_int(), 403);
  EXPECT_EQ(request(http::verb::post, "/api/shunt?on=1").result_int(), 403);
  EXPECT_EQ(request(http::verb::post, "/api/mark?token=wrong").result_int(), 403);
  // A name that rebinds to the loopback is not this server's name.
  EXPECT_EQ(
      request(http::verb::get, "/api/status?token=" + token_, "evil.example:" + port_).result_int(),
      403);
  const auto res = request(http::verb::get, "/api/status?token=" + token_, "localhost:" + port_);
  ASSERT_EQ(res.result_int(), 200);
  const nlohmann::json j = nlohmann::json::parse(res.body());
  EXPECT_EQ(j["channels"][0]["label"], "Fz");
  EXPECT_TRUE(tap_.take_commands().empty()) << "a refused request reached the session";

  // The WebSocket: a foreign page, no token, and the page's own origin.
  const std::string live = "/live?token=" + token_;
  EXPECT_EQ(request(http::verb::get, live, "", "http://evil.example").result_int(), 403);
  EXPECT_EQ(
      request(http::verb::get, "/live", "", ("http://127.0.0.1:" + port_).c_str()).result_int(),
      403);
  EXPECT_EQ(request(http::verb::get, live, "", ("http://127.0.0.1:" + port_).c_str()).result_int(),
            101);
  EXPECT_EQ(request(http::verb::get, live, "", "").result_int(), 101) << "a program, no origin";
}

TEST_F(LiveServerTest, APageGetsOneFrameInFlightAndAtMostFourPagesAreServed) {
  net::io_context ioc;
  auto ws = open_live(ioc, "http://127.0.0.1:" + port_);
  ASSERT_TRUE(ws);
  ws->write(net::buffer(std::string(R"({"type":"view","window":0.5,"columns":100})")));
  beast::flat_buffer buf;
  ws->read(buf);
  ASSERT_TRUE(ws->got_binary());
  const std::string frame = beast::buffers_to_string(buf.data());
  uint32_t len = 0;
  std::memcpy(&len, frame.data(), 4);
  const nlohmann::json h = nlohmann::json::parse(frame.substr(4, len));
  ASSERT_EQ(h["channels"].size(), 1u);
  const auto &ch = h["channels"][0];
  // Columns of whole 64-sample buckets: as many as fit, up to the 100 asked for.
  const size_t columns = ch["columns"].get<size_t>();
  EXPECT_LE(columns, 100u);
  EXPECT_GE(columns, 90u);
  EXPECT_NEAR(ch["stats"]["mean"].get<double>(), 3200 * 312500e-9, 1e-9);
  const size_t payload = (4 + len + 3) / 4 * 4;
  float max_volts = 0;
  std::memcpy(&max_volts,
              frame.data() + payload + 4 * (ch["max_offset"].get<size_t>() + columns - 1), 4);
  EXPECT_FLOAT_EQ(max_volts, float(3200 * 312500e-9));

  // No acknowledgement, no second frame, however long the page takes.
  ws->next_layer().non_blocking(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  beast::error_code ec;
  char byte;
  ws->next_layer().read_some(net::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, net::error::would_block);
  ws->next_layer().non_blocking(false);
  ws->write(net::buffer(std::string(R"({"type":"ack"})")));
  buf.clear();
  ws->read(buf);
  EXPECT_TRUE(ws->got_binary());

  std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> more;
  for (int i = 0; i < 3; ++i) {
    more.push_back(open_live(ioc, ""));
    ASSERT_TRUE(more.back()) << "page " << i + 2;
  }
  EXPECT_EQ(request(http::verb::get, "/live?token=" + token_, "", "").result_int(), 503);
  // A page that closes makes room for another.
  more.pop_back();
  EXPECT_TRUE(qxtest::wait_for([&] { return open_live(ioc, "") != nullptr; }, 20));
}

TEST_F(LiveServerTest, CommandsReachTheSessionAndItsAnswerReachesThePage) {
  // The session's side: runs what comes, as the recorder's loop does between its reads.
  std::atomic<bool> stop{false};
  std::vector<LiveCommand> seen;
  std::thread session([&] {
    while (!stop) {
      for (LiveCommand &c : tap_.take_commands()) {
        const bool shunt_fails = c.kind == LiveCommand::kShunt && c.on;
        c.done(shunt_fails ? "the amplifier did not acknowledge the shunt on" : "");
        seen.push_back(std::move(c));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  net::io_context ioc;
  tcp::socket s(ioc);
  s.connect({net::ip::make_address("127.0.0.1"), uint16_t(std::stoi(port_))});
  http::request<http::string_body> req{http::verb::post, "/api/mark?token=" + token_, 11};
  req.set(http::field::host, "127.0.0.1:" + port_);
  req.body() = R"({"text":"trial \u00e9 1"})";
  req.prepare_payload();
  http::write(s, req);
  beast::flat_buffer buf;
  http::response<http::string_body> res;
  http::read(s, buf, res);
  EXPECT_EQ(res.result_int(), 200) << res.body();
  EXPECT_EQ(nlohmann::json::parse(res.body())["text"], "trial \xC3\xA9 1");
  EXPECT_EQ(request(http::verb::post, "/api/shunt?on=1&token=" + token_).result_int(), 409);
  EXPECT_EQ(request(http::verb::post, "/api/shunt?on=2&token=" + token_).result_int(), 400);
  EXPECT_EQ(request(http::verb::post, "/api/autozero?token=" + token_).result_int(), 200);
  stop = true;
  session.join();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, LiveCommand::kMark);
  EXPECT_EQ(seen[1].kind, LiveCommand::kShunt);
  EXPECT_EQ(seen[2].kind, LiveCommand::kAutoZero);
}

}  // namespace
}  // namespace qx470rec
