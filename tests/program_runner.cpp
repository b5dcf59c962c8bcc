#include "tests/program_runner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void closeInput(Child& child) {
  if (child.input_fd >= 0) close(child.input_fd);
  child.input_fd = -1;
}

// Waits for the child to end; kills it if it has not within `timeout_ms`.
// Returns its status as finish() does.
int reap(Child& child, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(child.pid, &status, WNOHANG)) == 0 && millisecondsLeft(deadline) > 0)
    usleep(5000);
  if (ended == 0) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, &status, 0);
  }
  child.pid = -1;
  if (ended == 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads what is available; false once the child has closed its output.
bool collect(Child& child) {
  char buffer[65536];
  const ssize_t n = read(child.output_fd, buffer, sizeof buffer);
  if (n > 0) child.output.append(buffer, static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
}

}  // namespace

Child::Child(Child&& other) noexcept
    : pid(other.pid), input_fd(other.input_fd), output_fd(other.output_fd),
      output(std::move(other.output)), terminal(other.terminal) {
  other.pid = -1;
}

Child::~Child() {
  if (pid < 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  closeInput(*this);
  closeOutput(*this);
}

Child startProgram(const std::vector<std::string>& command, const std::string& folder,
                   const std::string& errors_path, const StartOptions& options) {
  // A child that stops reading must not kill the test with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  int to_child[2];
  int from_child[2];
  const int errors = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (errors < 0) std::abort();
  if (options.terminal) {
    // One terminal for both: the child reads and writes its side, the test
    // its own, through two descriptors so that each can be closed alone.
    winsize size = {25, 80, 0, 0};
    if (openpty(&to_child[1], &to_child[0], nullptr, nullptr, &size) != 0) std::abort();
    from_child[0] = dup(to_child[1]);
    from_child[1] = dup(to_child[0]);
  } else if (pipe(to_child) != 0 || pipe(from_child) != 0) {
    std::abort();
  }
  const passwd* const nobody = getpwnam("nobody");
  Child child;
  child.pid = fork();
  if (child.pid == 0) {
    // The program must meet the dispositions a shell would give it, not the
    // test's own (which ignores SIGPIPE, see above).
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) std::signal(signal_number, SIG_DFL);
    umask(022);
    if (options.terminal && (setsid() < 0 || ioctl(to_child[0], TIOCSCTTY, 0) != 0)) _exit(126);
    if (options.nonblocking_input) fcntl(to_child[0], F_SETFL, O_NONBLOCK);
    if (options.nonblocking_output) fcntl(from_child[1], F_SETFL, O_NONBLOCK);
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    dup2(errors, 2);
    close(errors);
    close(to_child[0]);
    close(to_child[1]);
    close(from_child[0]);
    close(from_child[1]);
    if (chdir(folder.c_str()) != 0) _exit(126);
    if (options.output_path != nullptr) {
      const int output = open(options.output_path, O_WRONLY);
      if (output < 0 || dup2(output, 1) < 0) _exit(126);
      close(output);
    }
    if (options.fault_run != nullptr) setenv("HVN_FAULT_RUN", options.fault_run, 1);
    if (options.list_calls) setenv("HVN_FAULT_LIST", "1", 1);
    // A Windows program has its fault library built in.
    const bool windows = isWindowsProgram(command);
    if (options.fault != nullptr && windows) setenv("HVN_FAULT", options.fault, 1);
    if (options.fault != nullptr && !windows) {
      setenv("LD_PRELOAD", HVN_FAULT_SHIM, 1);
      setenv("HVN_FAULT", options.fault, 1);
      // A sanitized program wants its runtime first; the shim comes before it.
      const char* const asan = std::getenv("ASAN_OPTIONS");
      setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    }
    if (options.unprivileged && getuid() == 0 &&
        (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0))
      _exit(126);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(errors);
  close(to_child[0]);
  close(from_child[1]);
  child.input_fd = to_child[1];
  // Never block on a full input pipe while the child waits to be read from.
  fcntl(child.input_fd, F_SETFL, O_NONBLOCK);
  child.output_fd = from_child[0];
  child.terminal = options.terminal;
  return child;
}

bool converse(Child& child, std::string_view input,
              const std::function<bool(const std::string&)>& done, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool output_open = true;
  while (output_open && (!input.empty() || !done(child.output))) {
    pollfd fds[2] = {{child.output_fd, POLLIN, 0}, {child.input_fd, POLLOUT, 0}};
    const nfds_t watched = input.empty() || child.input_fd < 0 ? 1 : 2;
    // Woken at least every 50 ms, so that `done` is asked again even when
    // nothing arrives (a child that ends while another holds its terminal).
    const int left = millisecondsLeft(deadline);
    const int ready = poll(fds, watched, left < 50 ? left : 50);
    if (ready == 0 && left == 0) return false;
    if (ready == 0) continue;
    if (ready < 0) continue;
    if (fds[0].revents != 0) output_open = collect(child);
    if (watched == 2 && fds[1].revents != 0) {
      const ssize_t n = write(child.input_fd, input.data(), input.size());
      if (n > 0) {
        input.remove_prefix(static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        input = {};  // the child has stopped reading; the rest cannot be sent
      }
    }
  }
  return true;
}

int finish(Child& child, std::string_view input, int timeout_ms) {
  const auto never = [](const std::string&) { return false; };
  bool ended = converse(child, input, [](const std::string&) { return true; }, timeout_ms);
  if (child.terminal) {
    // A terminal has no end to send. Once the child has ended, what it wrote
    // last is read until its side closes, or briefly where a helper it left
    // behind (Wine's) still holds it.
    ended = ended && converse(child, {}, [&](const std::string&) { return !isRunning(child); }, timeout_ms);
    if (ended) converse(child, {}, never, 200);
  } else {
    closeInput(child);
    if (child.output_fd >= 0) ended = ended && converse(child, {}, never, timeout_ms);
  }
  closeInput(child);
  closeOutput(child);
  return reap(child, ended ? timeout_ms : 0);
}

void closeOutput(Child& child) {
  if (child.output_fd >= 0) close(child.output_fd);
  child.output_fd = -1;
}

bool isRunning(const Child& child) {
  siginfo_t info{};
  return child.pid > 0 && waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

bool inRawMode(const Child& child) {
  termios modes{};
  return tcgetattr(child.input_fd, &modes) == 0 && (modes.c_lflag & ICANON) == 0;
}

std::string makeTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/hvn-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  chmod(pattern.c_str(), 0755);
  return pattern;
}

std::vector<std::string> commandFromEnvironment(const char* variable) {
  std::vector<std::string> command;
  const char* value = std::getenv(variable);
  std::istringstream words(value != nullptr ? value : "");
  for (std::string word; words >> word;) command.push_back(word);
  return command;
}

bool isWindowsProgram(const std::vector<std::string>& command) {
  return std::any_of(command.begin(), command.end(), [](const std::string& word) { return word.ends_with(".exe"); });
}
