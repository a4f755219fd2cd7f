// Cost of switching a domain off and on through the domain lock (status
// reads and updates, two sitectl runs through exec_admin_utility) against two
// direct fork/execv/waitpid runs of the same sitectl, interleaved.
//
//   switch_bench DOMAIN [PAIRS]     (in a sandbox: HVX_ROOT and the database
//                                    variables exported by testbed/sandbox)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/domain_lock.h"
#include "sitevault/operation_support.h"

namespace {

double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool spawn(const std::string& path, const char* action, const char* domain) {
  pid_t pid = fork();
  if (pid == 0) {
    execl(path.c_str(), path.c_str(), action, "--domain-name", domain, static_cast<char*>(nullptr));
    _exit(255);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  program_name = argv[0];
  if (argc < 2) {
    std::fprintf(stderr, "usage: switch_bench DOMAIN [PAIRS]\n");
    return 2;
  }
  load_product_conf();
  const char* domain = argv[1];
  const int pairs = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::string sitectl = std::string(product_conf.PRODUCT_ROOT_D) + "/admin/bin/sitectl";
  if (create_dump_repository(domain) != 0) return 1;

  std::vector<double> lib, direct, diff;
  for (int i = 0; i < pairs; ++i) {
    double t0 = now_ms();
    if (!lock_domain(domain)) return 1;  // switched on and released at once
    double t1 = now_ms();
    if (!spawn(sitectl, "--turn-off", domain) || !spawn(sitectl, "--turn-on", domain)) return 1;
    double t2 = now_ms();
    lib.push_back(t1 - t0);
    direct.push_back(t2 - t1);
    diff.push_back((t1 - t0) - (t2 - t1));
    std::printf("pair %d: lock+unlock %.3f ms  two spawns %.3f ms  difference %.3f ms\n", i + 1,
                t1 - t0, t2 - t1, (t1 - t0) - (t2 - t1));
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::sort(diff.begin(), diff.end());
  std::printf(
      "median lock+unlock %.3f ms, two spawns %.3f ms, difference %.3f ms (range %.3f .. %.3f)\n",
      median(lib), median(direct), median(diff), diff.front(), diff.back());
  return 0;
}
