// SPDX-License-Identifier: GPL-2.0-or-later
#include "oracle/mkimage.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace duobl::testing {
namespace {

// Runs `argv` (argv[0] looked up on PATH) with standard output and error
// collected; true when it exited with 0.
bool run(const std::vector<std::string>& args, std::string& output) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
    output.append(buffer, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool have_mkimage() {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end == start ? "." : dirs.substr(start, end - start);
    if (access((dir + "/mkimage").c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

MkimageResult mkimage_rockchip(const std::string& soc, const std::string& type,
                               const std::vector<std::string>& inputs) {
  MkimageResult result;
  if (inputs.empty()) return result;
  std::string data;
  for (const std::string& input : inputs) data += (data.empty() ? "" : ":") + input;
  const std::string out = inputs.front() + "." + soc + "-" + type;
  if (!run({"mkimage", "-n", soc, "-T", type, "-d", data, out}, result.output)) return result;
  std::ifstream file(out, std::ios::binary);
  if (file) {
    result.image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    result.ok = !file.bad();
  }
  std::remove(out.c_str());
  return result;
}

}  // namespace duobl::testing
