// qx470-record run as a program by the tests: started with the simulator's start-up settings in
// its environment, its output in files, waited for with a deadline.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_folder.h"

extern char **environ;

namespace qxtest {

namespace fs = std::filesystem;

struct Child {
  pid_t pid = -1;
  fs::path out, err;
};

// Starts the recorder with the simulator's start-up settings in its environment; its standard
// output and error go to files.
inline Child spawn_program(const std::string &program, const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const fs::path &dir) {
  Child c;
  c.out = dir / "stdout.txt";
  c.err = dir / "stderr.txt";
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envs = env;
  for (char **e = environ; *e; ++e)
    if (std::string(*e).rfind("QXSIM_", 0) != 0) envs.emplace_back(*e);
  std::vector<char *> envp;
  for (auto &e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return c;
}

// The exit code, or -1 if the program did not end within the deadline (it is then killed).
inline int wait_exit(pid_t pid, double seconds = 120) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string slurp(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

#ifdef QX470_RECORD_PATH
inline Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
                   const fs::path &dir) {
  return spawn_program(QX470_RECORD_PATH, args, env, dir);
}

class RecordCli : public TestFolder {
 protected:
  RecordCli() : TestFolder("qx470cli_") {}
  // Runs to the end: exit code, standard output and error.
  int run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    const Child c = spawn(args, env, dir_);
    EXPECT_GT(c.pid, 0);
    const int code = wait_exit(c.pid);
    out_ = slurp(c.out);
    err_ = slurp(c.err);
    return code;
  }
  // A bash command line (for pipes and limits), run the same way.
  int run_shell(const std::string &command, const std::vector<std::string> &env = {}) {
    const Child c = spawn_program("/bin/bash", {"-c", command}, env, dir_);
    EXPECT_GT(c.pid, 0);
    const int code = wait_exit(c.pid);
    out_ = slurp(c.out);
    err_ = slurp(c.err);
    return code;
  }
  std::string out_, err_;
};

#endif

}  // namespace qxtest
