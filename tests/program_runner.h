// Runs the built program as a child process with pipes on its standard input
// and output, so tests can talk to it as a user or a script would.
#ifndef HALVANE_TESTS_PROGRAM_RUNNER_H_
#define HALVANE_TESTS_PROGRAM_RUNNER_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

// A running program. One not yet finished when this goes out of scope (a test
// that stopped early) is killed, so no session outlives its test.
struct Child {
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept;
  ~Child();

  pid_t pid = -1;     // -1 once finished
  int input_fd = -1;   // the child's standard input; -1 once closed
  int output_fd = -1;  // the child's standard output
  std::string output;  // everything the child has printed so far
  bool terminal = false;  // input and output are one pseudo-terminal
};

// How the child's side of things is set up.
struct StartOptions {
  bool unprivileged = false;        // a root caller runs the child as user nobody
  bool nonblocking_input = false;   // the child's standard input in O_NONBLOCK mode
  bool nonblocking_output = false;  // the child's standard output in O_NONBLOCK mode
  const char* fault = nullptr;      // HVN_FAULT for tests/fault_shim, preloaded, or for
                                    // the fault library a Windows test program holds
  bool list_calls = false;          // HVN_FAULT_LIST: the fault library lists every call
  bool terminal = false;            // standard input and output are a pseudo-terminal of
                                    // 80 by 25, the child's controlling terminal
  const char* fault_run = nullptr;  // HVN_FAULT_RUN: the shell command of a "run" fault
  const char* output_path = nullptr;  // standard output goes to this file in the folder
};

// Starts `command` (program and arguments) in `folder`, its standard error
// going to the file `errors_path`, so that nothing the child leaves behind
// (Wine's helper processes, say) holds the test's own output open. The child
// starts with the default signal dispositions and umask 022, whatever the
// test process has set.
Child startProgram(const std::vector<std::string>& command, const std::string& folder,
                   const std::string& errors_path, const StartOptions& options = {});

// Sends `input` while collecting output, then keeps collecting until `done`
// holds for the output so far or the child closes its output. Returns false if
// that took longer than `timeout_ms`.
bool converse(Child& child, std::string_view input,
              const std::function<bool(const std::string&)>& done, int timeout_ms);

// Sends `input`, closes the child's input (at a terminal: waits for the child
// to end instead), collects the rest of its output and returns its exit status (128 + signal number if a signal ended it, -1 if it
// had not ended within `timeout_ms`).
int finish(Child& child, std::string_view input, int timeout_ms);

// Closes the test's end of the child's output, as a reader that went away.
void closeOutput(Child& child);

// True while the child has not ended; it stays waitable either way.
bool isRunning(const Child& child);

// True when the child's terminal has been switched out of line mode, as a
// Windows console host does before it takes keys one at a time.
bool inRawMode(const Child& child);

// Creates a fresh empty folder for one test case, readable by everyone.
std::string makeTempFolder();

// True when `command` runs a Windows program, under Wine: a word of it ends
// in .exe. Such a program speaks CR LF and has its fault library built in.
bool isWindowsProgram(const std::vector<std::string>& command);

// The program command from the environment variable `variable`, split on spaces.
std::vector<std::string> commandFromEnvironment(const char* variable);

#endif  // HALVANE_TESTS_PROGRAM_RUNNER_H_
