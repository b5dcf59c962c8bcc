// Times scripted sessions of the program against `cat` moving the same output
// through the same kind of pipe, and measures the program's peak memory.
//
//   session_bench PROGRAM [RUNS]
//
// Each scenario's input is written to a file that becomes the program's
// standard input; its standard output is a pipe drained here. One untimed run
// captures the output, which `cat` then moves through an identical pipe.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Run {
  double seconds;
  long peak_kib;
  long long output_bytes;
};

// Runs `argv` in `folder` with `input_path` as standard input and a pipe as
// standard output, which is drained (and copied to `capture_path` if given).
Run runThroughPipe(const std::vector<std::string>& argv, const std::string& folder,
                   const std::string& input_path, const std::string& capture_path) {
  int out[2];
  if (pipe(out) != 0) std::abort();
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(input_path.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (chdir(folder.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::FILE* capture = capture_path.empty() ? nullptr : std::fopen(capture_path.c_str(), "wb");
  static char buffer[128 * 1024];
  long long total = 0;
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    total += n;
    if (capture != nullptr) std::fwrite(buffer, 1, static_cast<std::size_t>(n), capture);
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  if (capture != nullptr) std::fclose(capture);
  return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss, total};
}

std::string describeBytes(long long bytes) {
  char text[32];
  if (bytes < 1000000) std::snprintf(text, sizeof text, "%lld bytes", bytes);
  else std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void writeFile(const std::string& path, const std::function<void(std::FILE*)>& fill) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  fill(file);
  std::fclose(file);
}

void resetMenuFiles(const std::string& folder) {
  writeFile(folder + "/hvn/ini/games.ini", [](std::FILE*) {});
  writeFile(folder + "/hvn/ini/apps.ini", [](std::FILE*) {});
}

struct Scenario {
  const char* name;
  std::function<void(std::FILE*)> input;
  bool timed;  // compared with cat; otherwise only memory is measured
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM [RUNS]\n", argv[0]);
    return 2;
  }
  // The program runs in a folder of its own, so a relative name would not do.
  char* const resolved = realpath(argv[1], nullptr);
  if (resolved == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  const std::string program = resolved;
  std::free(resolved);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  char pattern[] = "/tmp/hvn-bench-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  mkdir((folder + "/hvn").c_str(), 0755);
  mkdir((folder + "/hvn/ini").c_str(), 0755);

  const std::string name(254, 'n');
  const std::string path(254, 'p');
  const Scenario scenarios[] = {
      {"1,000,000 unknown selections",
       [](std::FILE* f) {
         for (int i = 0; i < 1000000; ++i) std::fputs("x\n", f);
         std::fputs("8\n", f);
       },
       true},
      {"255+255 entries of 254 chars, both lists printed 1,000 times, written",
       [&](std::FILE* f) {
         for (const char* command : {"3", "4"})
           for (int i = 0; i < 255; ++i)
             std::fprintf(f, "%s %s %s\n", command, name.c_str(), path.c_str());
         for (int i = 0; i < 1000; ++i) std::fputs("5\n6\n", f);
         std::fputs("7\n", f);
       },
       true},
      {"256 MiB token at a path prompt",
       [](std::FILE* f) {
         std::fputs("3\nname\n", f);
         const std::string chunk(1 << 20, 'p');
         for (int i = 0; i < 256; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
         std::fputs("\n8\n", f);
       },
       false},
  };

  std::printf("| scenario | output | program (median of %d) | cat (median of %d) | ratio | program peak RSS |\n",
              runs, runs);
  std::printf("|---|---|---|---|---|---|\n");
  for (const Scenario& scenario : scenarios) {
    const std::string input_path = folder + "/input";
    const std::string output_path = folder + "/output";
    writeFile(input_path, scenario.input);
    resetMenuFiles(folder);
    const Run first = runThroughPipe({program}, folder, input_path, output_path);
    std::vector<double> program_times;
    std::vector<double> cat_times;
    long peak = first.peak_kib;
    for (int i = 0; i < (scenario.timed ? runs : 0); ++i) {
      resetMenuFiles(folder);
      const Run run = runThroughPipe({program}, folder, input_path, "");
      program_times.push_back(run.seconds);
      peak = std::max(peak, run.peak_kib);
      cat_times.push_back(runThroughPipe({"cat", output_path}, folder, input_path, "").seconds);
    }
    if (scenario.timed) {
      const double p = median(program_times);
      const double c = median(cat_times);
      std::printf("| %s | %s | %.3f s | %.3f s | %.2f | %.1f MiB |\n", scenario.name,
                  describeBytes(first.output_bytes).c_str(), p, c, p / c, peak / 1024.0);
    } else {
      std::printf("| %s | %s | %.3f s | - | - | %.1f MiB |\n", scenario.name,
                  describeBytes(first.output_bytes).c_str(), first.seconds, peak / 1024.0);
    }
    std::fflush(stdout);
  }
  std::remove((folder + "/input").c_str());
  std::remove((folder + "/output").c_str());
  std::remove((folder + "/hvn/ini/games.ini").c_str());
  std::remove((folder + "/hvn/ini/apps.ini").c_str());
  rmdir((folder + "/hvn/ini").c_str());
  rmdir((folder + "/hvn").c_str());
  rmdir(folder.c_str());
  return 0;
}
