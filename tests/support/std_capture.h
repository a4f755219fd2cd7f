// Captures what the calling process writes on its standard output and
// standard error (and what children inheriting them write) while a scope is
// active, through two temporary files.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class StdCapture {
 public:
  StdCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    out_ = make_temp();
    err_ = make_temp();
    dup2(out_, 1);
    dup2(err_, 2);
  }
  StdCapture(const StdCapture&) = delete;
  StdCapture& operator=(const StdCapture&) = delete;
  ~StdCapture() {
    stop();
    close(out_);
    close(err_);
  }

  // Restores the streams; returns the captured texts from then on.
  void stop() {
    if (saved_out_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    saved_out_ = saved_err_ = -1;
  }
  std::string out() {
    stop();
    return slurp(out_);
  }
  std::string err() {
    stop();
    return slurp(err_);
  }

 private:
  static int make_temp() {
    char name[] = "/tmp/hvxcapture.XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    return fd;
  }
  static std::string slurp(int fd) {
    std::string text;
    char buf[65536];
    ssize_t n;
    off_t off = 0;
    while ((n = pread(fd, buf, sizeof buf, off)) > 0) {
      text.append(buf, static_cast<std::size_t>(n));
      off += n;
    }
    return text;
  }

  int saved_out_ = -1;
  int saved_err_ = -1;
  int out_ = -1;
  int err_ = -1;
};
