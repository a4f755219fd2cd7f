// Cost of exec_admin_utility over a bare fork/execv/waitpid of the same
// program. Runs interleaved pairs (order alternating within each pair),
// checks every run's result, and prints the median difference and its range.
//
//   exec_admin_bench [pairs]      (default 21, at least 7)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/process.h"
#include "common/product_conf.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kKeys[] = {"PRODUCT_ROOT_D", "HTTPD_VHOSTS_D",    "HTTPD_CONF_D", "HTTPD_BIN_D",
                             "QMAIL_ROOT_D",   "QMAIL_MAILNAMES_D", "FTPD_CONF",    "FTPD_CONF_INC",
                             "FTPD_BIN_D",     "NAMED_RUN_ROOT_D",  "WEB_STAT",     "LOGROTATE",
                             "MYSQL_VAR_D",    "MYSQL_BIN_D",       "PGSQL_BIN_D",  "PGSQL_DATA_D",
                             "MAILMAN_ROOT_D", "MAILMAN_VAR_D",     "PRODUCT_RC_D", "DUMP_D",
                             "CATALINA_HOME",  "DRWEB_ROOT_D",      "DRWEB_ETC_D"};

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// A private root with a configuration and one utility that exits at once.
std::string prepare_root() {
  char templ[] = "/tmp/hvxbench.XXXXXX";
  if (mkdtemp(templ) == nullptr) return {};
  const std::string root = templ;
  const std::string product = root + "/product";
  std::string conf;
  for (const char* key : kKeys)
    conf +=
        std::string(key) + "\t" + (std::string(key) == "PRODUCT_ROOT_D" ? product : root) + "\n";
  if (std::system(("mkdir -p " + root + "/etc/hvx " + product + "/admin/bin").c_str()) != 0)
    return {};
  if (!write_text(root + "/etc/hvx/hvx.conf", conf)) return {};
  const std::string tool = product + "/admin/bin/quick";
  if (!write_text(tool, "#!/bin/sh\necho \"quick $1\"\nexit 0\n")) return {};
  chmod(tool.c_str(), 0755);
  setenv("HVX_ROOT", root.c_str(), 1);
  return root;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The yardstick: the same program, started and waited for with nothing else.
double direct_run(const std::string& tool) {
  char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>("--check"), nullptr};
  const auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    execv(tool.c_str(), argv);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = ms_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "direct run failed (status %d)\n", status);
    std::exit(1);
  }
  return ms;
}

double library_run() {
  const auto start = Clock::now();
  int result = exec_admin_utility("quick", "--check", nullptr);
  const double ms = ms_since(start);
  if (result != 0) {
    std::fprintf(stderr, "exec_admin_utility failed (result %d)\n", result);
    std::exit(1);
  }
  return ms;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = argc > 1 ? std::atoi(argv[1]) : 21;
  if (pairs < 7) pairs = 7;
  const std::string root = prepare_root();
  if (root.empty()) {
    std::fprintf(stderr, "cannot prepare a root under /tmp\n");
    return 1;
  }
  load_product_conf();
  const std::string tool = std::string(product_conf.PRODUCT_ROOT_D) + "/admin/bin/quick";

  // One unmeasured run of each warms the page cache.
  direct_run(tool);
  library_run();

  std::vector<double> direct, library, diff;
  for (int i = 0; i < pairs; ++i) {
    double d, l;
    if (i % 2 == 0) {
      d = direct_run(tool);
      l = library_run();
    } else {
      l = library_run();
      d = direct_run(tool);
    }
    direct.push_back(d);
    library.push_back(l);
    diff.push_back(l - d);
  }
  std::printf("pairs: %d\n", pairs);
  std::printf("direct fork/execv/waitpid: median %.3f ms\n", median(direct));
  std::printf("exec_admin_utility:        median %.3f ms\n", median(library));
  std::printf("difference (library - direct): median %.3f ms, range %.3f .. %.3f ms\n",
              median(diff), *std::min_element(diff.begin(), diff.end()),
              *std::max_element(diff.begin(), diff.end()));
  std::system(("rm -rf " + root).c_str());
  return 0;
}
