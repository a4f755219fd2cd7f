#include "common/db_connection.h"

#include <errmsg.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/c_handles.h"
#include "common/messages.h"
#include "common/system_paths.h"
#include "common/unique_fd.h"

namespace {

constexpr std::size_t kPasswordMax = 4096;
constexpr std::size_t kLineMax = 4096;
constexpr std::chrono::seconds kDefaultReconnectTimeout{10};
// A reconnection try never waits longer than this for the server.
constexpr unsigned kReconnectConnectTimeout = 2;

const char kNoForeignKeys[] = "set foreign_key_checks=0";

// The variable's value when it is set and not empty.
const char* env_value(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

bool run_mode_is_3() {
  const char* mode = std::getenv("HVX_RUN_MODE");
  return mode != nullptr && std::strtol(mode, nullptr, 10) == 3;
}

// In run mode 3 the marker link is (re)written from HVX_DB_HOST.
void rewrite_zc_marker() {
  const char* host = std::getenv("HVX_DB_HOST");
  if (!run_mode_is_3() || host == nullptr) return;
  const std::string marker = system_path(SystemPath::zc_mode);
  (void)::unlink(marker.c_str());
  (void)::symlink(host, marker.c_str());
}

bool is_socket(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

// The socket setting of the [mysqld] section, when it names a socket. The scan
// stops at the first setting, usable or not, and at the next section.
std::optional<std::string> socket_from_my_cnf() {
  FilePtr file(std::fopen(system_path(SystemPath::my_cnf).c_str(), "re"));
  if (!file) return std::nullopt;
  char line[kLineMax];
  bool in_section = false;
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    const char* p = line;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0' || *p == '#' || *p == ';') continue;
    if (!in_section) {
      if (std::strncmp(p, "[mysqld]", 8) == 0) in_section = true;
      continue;
    }
    if (*p == '[') return std::nullopt;
    if (std::strncmp(p, "socket", 6) != 0) continue;
    const char* eq = std::strchr(p, '=');
    if (eq == nullptr) return std::nullopt;
    const char* value = eq + 1;
    while (std::isspace(static_cast<unsigned char>(*value))) ++value;
    if (*value == '\0') return std::nullopt;
    const char* end = value;
    while (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end))) ++end;
    std::string path(value, end);
    if (is_socket(path.c_str())) return path;
    return std::nullopt;
  }
  return std::nullopt;
}

// A socket path the client can use: sun_path holds at most 107 characters, so
// a longer path (typically a link into a deep directory) is replaced by its
// resolved target when that fits.
std::string usable_socket_path(const char* socket) {
  constexpr std::size_t kSunPathMax = sizeof(sockaddr_un::sun_path) - 1;
  std::string path = socket;
  if (path.size() <= kSunPathMax) return path;
  char resolved[PATH_MAX];
  if (::realpath(socket, resolved) != nullptr && std::strlen(resolved) <= kSunPathMax) {
    return resolved;
  }
  return path;
}

void set_error(char* err, std::size_t err_size, const char* format, const char* a,
               const char* b = nullptr) {
  if (err == nullptr || err_size == 0) return;
  std::snprintf(err, err_size, format, a, b);
}

}  // namespace

int init_zc_mode() {
  const std::string marker = system_path(SystemPath::zc_mode);
  char target[4096];
  const ssize_t len = ::readlink(marker.c_str(), target, sizeof target - 1);
  if (len < 0) {
    rewrite_zc_marker();
    return -1;
  }
  target[len] = '\0';
  if (::setenv("HVX_DB_HOST", target, 0) != 0) {
    rewrite_zc_marker();
    return 0;
  }

  FilePtr veinfo(std::fopen(system_path(SystemPath::zc_veinfo).c_str(), "re"));
  if (!veinfo) return -1;
  char line[kLineMax];
  if (std::fgets(line, sizeof line, veinfo.get()) != nullptr) {
    const long number = std::strtol(line, nullptr, 10);
    if (number != 0 && number >= INT_MIN && number <= INT_MAX) {
      const std::string name = "hvx" + std::to_string(number);
      const std::string login = "admin" + std::to_string(number);
      (void)::setenv("HVX_DB_NAME", name.c_str(), 0);
      (void)::setenv("HVX_DB_LOGIN", login.c_str(), 0);
    }
  }
  return 0;
}

void check_run_mode() {
  const char* mode = std::getenv("HVX_RUN_MODE");
  if (mode == nullptr) return;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(mode, &end, 10);
  const bool number = errno == 0 && end != mode && *end == '\0';
  if (number && value >= 1 && value <= 3) return;
  errno = 0;
  exit_with_error(1, "unrecognized HVX_RUNMODE");
}

const char* find_mysql_socket() {
  static std::string found;
  if (env_value("MYSQL_UNIX_PORT") != nullptr) return nullptr;

  std::optional<std::string> socket = socket_from_my_cnf();
  if (!socket) {
    for (SystemPath well_known : {SystemPath::mysql_sock_var, SystemPath::mysql_sock_tmp}) {
      std::string path = system_path(well_known);
      if (is_socket(path.c_str())) {
        socket = std::move(path);
        break;
      }
    }
  }
  if (socket) {
    found = std::move(*socket);
    return found.c_str();
  }
  return std::getenv("MYSQL_UNIX_PORT");
}

MYSQL* db_connect(char* err, std::size_t err_size) {
  const std::string password_path = system_path(SystemPath::admin_password);
  UniqueFd fd(::open(password_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    set_error(err, err_size, "db_connect: Unable to open admin password file %s: %s",
              password_path.c_str(), std::strerror(errno));
    return nullptr;
  }
  char password[kPasswordMax + 1];
  ssize_t got;
  do {
    got = ::read(fd.get(), password, kPasswordMax);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    set_error(err, err_size, "db_connect: Unable to read admin password file %s: %s",
              password_path.c_str(), std::strerror(errno));
    return nullptr;
  }
  fd.reset();
  password[got] = '\0';
  if (got > 0 && password[got - 1] == '\n') password[got - 1] = '\0';

  // Wipes the password from the stack on every way out.
  struct Wipe {
    char* p;
    ~Wipe() { ::explicit_bzero(p, kPasswordMax + 1); }
  } wipe{password};

  (void)init_zc_mode();

  const char* host = env_value("HVX_DB_HOST");
  if (host == nullptr) host = "localhost";
  const char* port_text = env_value("HVX_DB_PORT");
  const unsigned port =
      port_text ? static_cast<unsigned>(std::strtoul(port_text, nullptr, 10)) : 0U;
  const char* name = env_value("HVX_DB_NAME");
  if (name == nullptr) name = "hvx";
  const char* login = env_value("HVX_DB_LOGIN");
  if (login == nullptr) login = "admin";

  // With MYSQL_UNIX_PORT set the variable names the socket; it is passed on
  // explicitly so that a value set after the client library was first
  // initialised is honoured too.
  const char* socket = find_mysql_socket();
  if (socket == nullptr) socket = env_value("MYSQL_UNIX_PORT");
  std::string socket_path;
  if (socket != nullptr && *socket != '\0') socket_path = usable_socket_path(socket);

  MysqlPtr conn(mysql_init(nullptr));
  if (!conn) {
    if (err != nullptr && err_size > 0) {
      std::snprintf(err, err_size, "%s", "db_connect: insufficient memory to allocate new object.");
    }
    return nullptr;
  }
  if (mysql_real_connect(conn.get(), host, login, password, name, port,
                         socket_path.empty() ? nullptr : socket_path.c_str(), 0) == nullptr) {
    set_error(err, err_size, "db_connect: failed to connect to database: Error: %s",
              mysql_error(conn.get()));
    return nullptr;
  }
  (void)mysql_real_query(conn.get(), kNoForeignKeys, sizeof kNoForeignKeys - 1);
  return conn.release();
}

MYSQL* get_db_connection() {
  char err[kPasswordMax + 1] = "";
  MYSQL* conn = db_connect(err, sizeof err);
  if (conn == nullptr) write_message(err, 0);
  return conn;
}

std::string db_escape(MYSQL* conn, std::string_view value) {
  std::string out(value.size() * 2 + 1, '\0');
  unsigned long len;
  if (conn != nullptr) {
    len = mysql_real_escape_string(conn, out.data(), value.data(),
                                   static_cast<unsigned long>(value.size()));
  } else {
    len = mysql_escape_string(out.data(), value.data(), static_cast<unsigned long>(value.size()));
  }
  if (len == static_cast<unsigned long>(-1)) len = 0;
  out.resize(len);
  return out;
}

bool db_server_gone(MYSQL* conn) {
  if (conn == nullptr) return true;
  switch (mysql_errno(conn)) {
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_SOCKET_CREATE_ERROR:
    case CR_IPSOCK_ERROR:
      return true;
    default:
      return false;
  }
}

bool db_reconnect(MYSQL* conn) {
  if (conn == nullptr) return false;
  // The client library reconnects a handle in place only while this option
  // is set; it is set for this one try, so that no other statement on the
  // handle silently loses its session.
  my_bool on = 1;
  my_bool off = 0;
  const unsigned connect_timeout = kReconnectConnectTimeout;
  (void)mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  (void)mysql_options(conn, MYSQL_OPT_RECONNECT, &on);
  const bool alive = mysql_ping(conn) == 0;
  (void)mysql_options(conn, MYSQL_OPT_RECONNECT, &off);
  if (alive) (void)mysql_real_query(conn, kNoForeignKeys, sizeof kNoForeignKeys - 1);
  return alive;
}

std::chrono::milliseconds db_reconnect_timeout() {
  const char* text = env_value("HVX_DB_RECONNECT_TIMEOUT");
  if (text == nullptr) return kDefaultReconnectTimeout;
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || seconds < 0 || seconds > 3600) return kDefaultReconnectTimeout;
  return std::chrono::seconds(seconds);
}

int db_query_reconnecting(MYSQL* conn, std::string_view statement) {
  using Clock = std::chrono::steady_clock;
  if (conn == nullptr) return -1;
  const auto send = [&] {
    return mysql_real_query(conn, statement.data(), static_cast<unsigned long>(statement.size()));
  };
  if (send() == 0) return 0;
  if (!db_server_gone(conn)) return -1;
  const Clock::time_point deadline = Clock::now() + db_reconnect_timeout();
  std::chrono::milliseconds pause{250};
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return -1;
    const auto nap = std::min<Clock::duration>(pause, deadline - now);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(nap).count();
    timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    pause = std::min(pause * 2, std::chrono::milliseconds(1000));
    if (!db_reconnect(conn)) continue;
    if (send() == 0) return 0;
    if (!db_server_gone(conn)) return -1;
  }
}
