#include "sitevault/dump_utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/product_conf.h"
#include "common/shell_quote.h"

namespace {

constexpr const char* kErrorLog = "backup_restore.err_log";

std::string utility_path(const char* name) {
  return shell_quote(std::string(product_conf.PRODUCT_ROOT_D) + "/bin/" + name);
}

}  // namespace

std::string hvxdump_arguments(const char* domain, const char* desc_file) {
  std::string args = " -f - --noblock --domain-name " + shell_quote(domain);
  if (desc_file != nullptr && *desc_file != '\0') args += " --desc-file " + shell_quote(desc_file);
  args += " --nostop --nostop-domain --force";
  return args;
}

UniqueFd open_error_log(const char* domain) {
  const std::string path = std::string(product_conf.DUMP_D) + "/" + domain + "/" + kErrorLog;
  UniqueFd fd(::open(path.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st {};
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.reset();
    errno = EINVAL;
  }
  if (!fd) {
    report_error("Unable to open the error log '%s': %s", path.c_str(),
                 errno == ELOOP || errno == EINVAL ? "not a regular file" : std::strerror(errno));
    return fd;
  }
  ::fcntl(fd.get(), F_SETFL, O_WRONLY);
  return fd;
}

std::string hvxdump_command(const std::string& arguments, bool ftp_form) {
  return "nice " + utility_path("hvxdump") + " --single-domain-mode " + (ftp_form ? "-F " : "") +
         arguments;
}

std::string hvxrestore_command(const char* domain, const char* client_login,
                               const char* domain_ip) {
  std::string args = "-f - --noblock --domain-name=" + shell_quote(domain) +
                     " --client-login=" + shell_quote(client_login) +
                     " --domain-ip=" + shell_quote(domain_ip);
  return "nice " + utility_path("hvxrestore") + " --single-domain-mode -V conf " + args;
}

int run_dumpctl(const char* option, const char* dump_path) {
  std::string command = "nice " + utility_path("hvxdumpctl") + " --single-domain-mode " + option +
                        " -f " + shell_quote(dump_path);
  std::fflush(nullptr);
  int status = std::system(command.c_str());
  if (status == -1) return 1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 1;
}
