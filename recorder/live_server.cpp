#include "live_server.h"

#include "live_frame.h"
#include "live_page.h"

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace qx470rec {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::ordered_json;

namespace {

// A page asks for a frame by acknowledging the last one; it gets one at most this often.
constexpr auto kFrameInterval = std::chrono::milliseconds(20);

// What every connection shares.
struct Shared {
  LiveTap &tap;
  net::io_context &ioc;
  std::string token;
  std::map<std::string, std::string> files;  // name -> contents
  std::vector<std::string> hosts;            // Host values that name this server; empty: any
  int pages = 0;                             // open WebSockets (the server's thread only)

  bool host_ok(beast::string_view host) const {
    if (hosts.empty()) return true;
    for (const std::string &h : hosts)
      if (host == h) return true;
    return false;
  }
  // A browser always says where a page came from; a program may say nothing.
  bool origin_ok(beast::string_view origin, beast::string_view host) const {
    return origin.empty() || (host_ok(host) && origin == "http://" + std::string(host));
  }
};

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response answer(const Request &req, http::status status, const std::string &type,
                std::string body) {
  Response res{status, req.version()};
  res.set(http::field::server, "qx470-record");
  res.set(http::field::content_type, type);
  res.set(http::field::cache_control, "no-store");
  // The page may not be framed by another site (clickjacking of its buttons).
  res.set("X-Frame-Options", "DENY");
  res.set("X-Content-Type-Options", "nosniff");
  res.keep_alive(req.keep_alive());
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

Response json_answer(const Request &req, http::status status, const json &j) {
  return answer(req, status, "application/json",
                j.dump(-1, ' ', false, json::error_handler_t::replace));
}

Response refusal(const Request &req, http::status status, const std::string &why) {
  return json_answer(req, status, {{"ok", false}, {"error", why}});
}

// One page's WebSocket: it says which window it shows (a text message), and acknowledges each
// frame once drawn; the next frame is made only then, from the newest samples.
class LiveSocket : public std::enable_shared_from_this<LiveSocket> {
 public:
  LiveSocket(tcp::socket socket, Shared &sh)
      : ws_(std::move(socket)), timer_(ws_.get_executor()), sh_(sh) {}
  ~LiveSocket() {
    if (counted_) --sh_.pages;
  }

  void run(Request req) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type &res) { res.set(http::field::server, "qx470-record"); }));
    ws_.read_message_max(64 * 1024);
    ++sh_.pages;
    counted_ = true;
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->read();
      self->tick();
    });
  }

 private:
  void read() {
    ws_.async_read(
        in_, [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
  }

  void on_read(beast::error_code ec) {
    if (ec) {
      closed_ = true;
      timer_.cancel();
      return;
    }
    const std::string text = beast::buffers_to_string(in_.data());
    in_.consume(in_.size());
    // Anything else a page might send is ignored.
    const json m = json::parse(text, nullptr, false);
    const auto field = [&m](const char *key) {
      return m.is_object() && m.contains(key) ? m[key] : json();
    };
    if (field("type") == "view") {
      const json w = field("window"), cols = field("columns");
      if (w.is_number() && std::isfinite(w.get<double>()))
        window_ = std::clamp(w.get<double>(), 0.1, LiveTap::kMaxWindowSeconds);
      if (cols.is_number()) columns_ = int(std::clamp(cols.get<double>(), 16.0, 4096.0));
      have_view_ = true;
    } else if (field("type") == "ack") {
      acked_ = true;
      // Straight away when the page is quick, rather than at the next tick.
      maybe_send();
    }
    read();
  }

  void tick() {
    timer_.expires_after(kFrameInterval);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->closed_) return;
      self->maybe_send();
      self->tick();
    });
  }

  // At most one frame per interval, and only once the page has drawn the last one.
  void maybe_send() {
    if (closed_ || !have_view_ || !acked_ || writing_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - sent_at_ < kFrameInterval) return;
    sent_at_ = now;
    send_frame();
  }

  void send_frame() {
    out_ = make_frame(sh_.tap, window_, columns_, ++seq_);
    acked_ = false;
    writing_ = true;
    ws_.binary(true);
    ws_.async_write(net::buffer(out_), [self = shared_from_this()](beast::error_code ec, size_t) {
      self->writing_ = false;
      if (ec) self->closed_ = true;
    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  net::steady_timer timer_;
  Shared &sh_;
  beast::flat_buffer in_;
  std::string out_;
  double window_ = 2;
  int columns_ = 1000;
  bool have_view_ = false, acked_ = true, writing_ = false, closed_ = false, counted_ = false;
  uint64_t seq_ = 0;
  std::chrono::steady_clock::time_point sent_at_{};
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, Shared &sh) : stream_(std::move(socket)), sh_(sh) {}

  void read() {
    parser_.emplace();
    parser_->body_limit(16 * 1024);
    stream_.expires_after(std::chrono::seconds(60));
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (!ec) self->on_request(self->parser_->release());
                     });
  }

 private:
  void on_request(Request req) {
    const beast::string_view host = req[http::field::host];
    if (!sh_.host_ok(host)) return send(refusal(req, http::status::forbidden, "unknown host"));
    const std::string target(req.target());
    const size_t q = target.find('?');
    const std::string path = target.substr(0, q);
    const std::string query = q == std::string::npos ? "" : target.substr(q + 1);
    const bool token_ok = same_secret(query_value(query, "token"), sh_.token);

    if (websocket::is_upgrade(req)) {
      if (path != "/live") return send(refusal(req, http::status::not_found, "no such socket"));
      if (!token_ok) return send(refusal(req, http::status::forbidden, "no valid token"));
      if (!sh_.origin_ok(req[http::field::origin], host))
        return send(refusal(req, http::status::forbidden, "a page of another origin"));
      if (sh_.pages >= kMostPages)
        return send(refusal(req, http::status::service_unavailable,
                            std::to_string(kMostPages) + " pages are open already"));
      std::make_shared<LiveSocket>(stream_.release_socket(), sh_)->run(std::move(req));
      return;
    }
    if (req.method() == http::verb::get || req.method() == http::verb::head) {
      if (path == "/favicon.ico")
        return send(answer(req, http::status::no_content, "text/plain", ""));
      const std::string name = path == "/" ? "index.html" : path.substr(1);
      if (const char *type = page_file_type(name))
        return send(answer(req, http::status::ok, type, sh_.files[name]));
      if (path == "/api/status") {
        if (!token_ok) return send(refusal(req, http::status::forbidden, "no valid token"));
        return send(json_answer(req, http::status::ok, status_json(sh_.tap.status(), sh_.tap)));
      }
      return send(refusal(req, http::status::not_found, "not found"));
    }
    if (req.method() != http::verb::post)
      return send(refusal(req, http::status::method_not_allowed, "GET or POST"));
    if (!token_ok) return send(refusal(req, http::status::forbidden, "no valid token"));
    LiveCommand c;
    c.steady = steady_now();
    if (path == "/api/mark") {
      c.kind = LiveCommand::kMark;
      const json body = json::parse(req.body(), nullptr, false);
      c.text = body.is_object() && body.contains("text") && body["text"].is_string()
                   ? body["text"].get<std::string>()
                   : std::string();
      if (c.text.empty()) c.text = "mark";
    } else if (path == "/api/autozero") {
      c.kind = LiveCommand::kAutoZero;
    } else if (path == "/api/shunt") {
      c.kind = LiveCommand::kShunt;
      const std::string on = query_value(query, "on");
      if (on != "0" && on != "1")
        return send(refusal(req, http::status::bad_request, "on=1 or on=0"));
      c.on = on == "1";
    } else {
      return send(refusal(req, http::status::not_found, "not found"));
    }
    // The session runs it between its reads and answers through the server's thread.
    const LiveCommand::Kind kind = c.kind;
    const bool on = c.on;
    const std::string text = c.text;
    c.done = [self = shared_from_this(), req = std::move(req), kind, on,
              text](const std::string &error) {
      net::post(self->sh_.ioc, [self, req, kind, on, text, error] {
        if (!error.empty()) return self->send(refusal(req, http::status::conflict, error));
        json j = {{"ok", true}};
        if (kind == LiveCommand::kMark) j["text"] = text;
        if (kind == LiveCommand::kShunt) j["shunt"] = on;
        self->send(json_answer(req, http::status::ok, j));
      });
    };
    sh_.tap.post(std::move(c));
  }

  void send(Response res) {
    auto sp = std::make_shared<Response>(std::move(res));
    http::async_write(stream_, *sp, [self = shared_from_this(), sp](beast::error_code ec, size_t) {
      if (ec) return;
      if (!sp->keep_alive()) {
        beast::error_code ignored;
        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        return;
      }
      self->read();
    });
  }

  beast::tcp_stream stream_;
  Shared &sh_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

struct LiveServer::Impl {
  explicit Impl(LiveTap &tap) : tap(tap), sh{tap, ioc, random_token(), {}, {}, 0} {}
  LiveTap &tap;
  // Before the context: the connections it still holds at its end use it.
  Shared sh;
  net::io_context ioc{1};
  std::optional<tcp::acceptor> acceptor;
  std::thread thread;
  std::string url;

  void accept() {
    acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;  // the acceptor was closed
      // A frame's last segment must not wait for the page's delayed ACK (tens of ms a frame).
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<HttpSession>(std::move(socket), sh)->read();
      accept();
    });
  }
};

LiveServer::LiveServer(LiveTap &tap) : impl_(std::make_unique<Impl>(tap)) {}

LiveServer::~LiveServer() {
  stop();
}

std::string LiveServer::listen(const std::string &address, int port, const std::string &web_dir) {
  if (std::string missing = load_page(web_dir, impl_->sh.files); !missing.empty()) return missing;
  beast::error_code ec;
  const std::string host = address == "localhost" ? "127.0.0.1" : address;
  const net::ip::address ip = net::ip::make_address(host, ec);
  if (ec) return "--serve: '" + address + "' is not an IP address";
  try {
    tcp::acceptor &a = impl_->acceptor.emplace(impl_->ioc);
    const tcp::endpoint ep(ip, static_cast<unsigned short>(port));
    a.open(ep.protocol());
    a.set_option(net::socket_base::reuse_address(true));
    a.bind(ep);
    a.listen();
  } catch (const boost::system::system_error &e) {
    impl_->acceptor.reset();
    return "cannot serve the live bench on " + address + ":" + std::to_string(port) + ": " +
           e.code().message();
  }
  const int bound = impl_->acceptor->local_endpoint().port();
  const std::string p = std::to_string(bound);
  // The names a browser on this machine uses for the server; one bound to every address is
  // reached under names it cannot know, and the token alone guards it.
  std::string shown = ip.is_v6() ? "[" + host + "]" : host;
  if (ip.is_unspecified()) {
    shown = "127.0.0.1";
  } else {
    impl_->sh.hosts = {shown + ":" + p};
    if (ip.is_loopback()) {
      impl_->sh.hosts.push_back("localhost:" + p);
      impl_->sh.hosts.push_back(ip.is_v6() ? "127.0.0.1:" + p : "[::1]:" + p);
    }
  }
  impl_->url = "http://" + shown + ":" + p + "/?token=" + impl_->sh.token;
  return {};
}

void LiveServer::start() {
  if (!impl_->acceptor || impl_->thread.joinable()) return;
  impl_->accept();
  impl_->thread = std::thread([this] { impl_->ioc.run(); });
}

void LiveServer::stop() {
  if (!impl_) return;
  if (impl_->thread.joinable()) {
    net::post(impl_->ioc, [this] {
      beast::error_code ignored;
      if (impl_->acceptor) impl_->acceptor->close(ignored);
      impl_->ioc.stop();
    });
    impl_->thread.join();
  }
  // Commands no session will run hold their connections: dropped while the context lives.
  impl_->tap.take_commands();
}

std::string LiveServer::url() const {
  return impl_->url;
}

}  // namespace qx470rec
