// The real QX470USB_Test binary in a pseudo-terminal (and on a pipe) against the simulator:
// what an operator sees, the keys as a terminal sends them, and the terminal given back.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

class Console {
 public:
  explicit Console(std::vector<std::string> env, bool use_pty = true) {
    int to_child[2] = {-1, -1}, from_child[2] = {-1, -1};
    if (use_pty) {
      // The modes the terminal starts with are fixed before the child runs, so they can be
      // compared with what the program leaves behind.
      int m = -1, sl = -1;
      if (openpty(&m, &sl, nullptr, nullptr, nullptr) == 0) {
        tcgetattr(sl, &initial_);
        close(m);
        close(sl);
      }
      pid_ = forkpty(&fd_, nullptr, &initial_, nullptr);
    } else {
      if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
      pid_ = fork();
    }
    if (pid_ == 0) {
      if (!use_pty) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        dup2(from_child[1], 2);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
      }
      for (const auto &e : env) putenv(const_cast<char *>(e.c_str()));
      execl(QX470_CONSOLE_PATH, QX470_CONSOLE_PATH, static_cast<char *>(nullptr));
      _exit(127);
    }
    if (!use_pty) {
      close(to_child[0]);
      close(from_child[1]);
      fd_ = from_child[0];
      in_ = to_child[1];
    } else {
      in_ = fd_;
    }
  }
  ~Console() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (in_ != fd_ && in_ >= 0) close(in_);
    if (fd_ >= 0) close(fd_);
  }

  // Reads until `text` has appeared after what earlier expects consumed.
  bool expect(const std::string &text, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      const size_t at = out_.find(text, consumed_);
      if (at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !read_some(static_cast<int>(left))) return false;
    }
  }
  ::testing::AssertionResult expect_or_dump(const std::string &text, double seconds = 30) {
    if (expect(text, seconds)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing \"" << text << "\" in:\n" << out_;
  }
  void send(const std::string &keys) { (void)!write(in_, keys.data(), keys.size()); }
  void close_input() {
    close(in_);
    in_ = -1;
  }
  int wait_exit(double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      read_some(10);
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  }
  void signal(int sig) { kill(pid_, sig); }
  termios settings() const {
    termios t{};
    tcgetattr(fd_, &t);
    return t;
  }
  const termios &initial() const { return initial_; }
  const std::string &output() const { return out_; }

 private:
  bool read_some(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return true;
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    out_.append(buf, static_cast<size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int fd_ = -1, in_ = -1;
  bool exited_ = false;
  std::string out_;
  size_t consumed_ = 0;
  termios initial_{};
};

bool same_modes(const termios &a, const termios &b) {
  return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
         a.c_cc[VTIME] == b.c_cc[VTIME];
}

TEST(ConsolePty, ABenchSessionFromStartToExit) {
  Console c({"QXSIM_SIGNAL=0"});
  ASSERT_TRUE(c.expect_or_dump("QX-470-USB"));
  ASSERT_TRUE(c.expect_or_dump("Device Ready.\r\n"));
  ASSERT_TRUE(c.expect_or_dump("Cal Data set to : 312500"));
  ASSERT_TRUE(c.expect_or_dump("     Ch1       Ch2       Ch3       Ch4\r\n"));
  ASSERT_TRUE(c.expect_or_dump(" [ 50kS/s]   50kS/s    50kS/s    50kS/s "));
  EXPECT_FALSE(c.settings().c_lflag & ICANON) << "keys are read unechoed, without Enter";
  c.send("\x1b[A");
  ASSERT_TRUE(c.expect_or_dump("\r [100kS/s]   50kS/s    50kS/s    50kS/s "));
  c.send("\x1bOC");
  ASSERT_TRUE(c.expect_or_dump("\r  100kS/s  [ 50kS/s]   50kS/s    50kS/s "));
  c.send("\x1b[B");
  ASSERT_TRUE(c.expect_or_dump("\r  100kS/s  [ 20kS/s]   50kS/s    50kS/s "));
  c.send("x");
  ASSERT_TRUE(c.expect_or_dump("Hit space bar to halt data acquisition."));
  ASSERT_TRUE(c.expect_or_dump("V \r"));
  c.send("1");
  ASSERT_TRUE(c.expect_or_dump("C   "));
  c.send(" ");
  ASSERT_TRUE(c.expect_or_dump("Cal Data set to : 312500"));
  ASSERT_TRUE(c.expect_or_dump("Hit <RETURN> to exit."));
  c.send("\r");
  EXPECT_EQ(c.wait_exit(), 0);
  EXPECT_TRUE(same_modes(c.settings(), c.initial())) << "the terminal is given back as it was";
}

TEST(ConsolePty, NoDevice) {
  Console c({"QXSIM_ATTACHED=0"});
  ASSERT_TRUE(c.expect_or_dump("No Device\r\n"));
  ASSERT_TRUE(c.expect_or_dump("Hit <RETURN> to exit."));
  c.send("\r");
  EXPECT_EQ(c.wait_exit(), 0);
}

TEST(ConsolePty, SigtermDuringAcquisitionStopsCleanlyAndRestoresTheTerminal) {
  Console c({});
  ASSERT_TRUE(c.expect_or_dump(" [ 50kS/s]"));
  c.send("x");
  ASSERT_TRUE(c.expect_or_dump("V \r"));
  c.signal(SIGTERM);
  ASSERT_TRUE(c.expect_or_dump("Cal Data set to : 312500"));
  EXPECT_EQ(c.wait_exit(), 0);
  EXPECT_TRUE(same_modes(c.settings(), c.initial()));
}

TEST(ConsolePty, SigintDuringSelectionLeavesWithoutStarting) {
  Console c({});
  ASSERT_TRUE(c.expect_or_dump(" [ 50kS/s]"));
  c.signal(SIGINT);
  EXPECT_EQ(c.wait_exit(), 130);
  EXPECT_EQ(c.output().find("Hit space bar"), std::string::npos);
  EXPECT_TRUE(same_modes(c.settings(), c.initial()));
}

TEST(ConsolePipe, ScriptedKeysOnStandardInput) {
  Console c({"QXSIM_EEPROM=cal:300001 "}, false);
  c.send("\x1b[A\x1b[A");  // 100 kS/s on channel 1
  ASSERT_TRUE(c.expect_or_dump("Cal Data set to : 300001"));
  ASSERT_TRUE(c.expect_or_dump(" [100kS/s]"));
  c.send("x");
  ASSERT_TRUE(c.expect_or_dump("V \r"));
  c.send("+");
  c.close_input();  // the end of the script stops the run like the space key
  ASSERT_TRUE(c.expect_or_dump("Cal Data set to : 300002")) << "the trim is written back";
  EXPECT_EQ(c.wait_exit(), 0);
}

}  // namespace
