// Client disk quota check against a sandbox database and repository.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "common/messages.h"
#include "common/product_conf.h"
#include "sitevault/client_quota.h"
#include "sitevault/domain_lock.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::run_command;
using testing_support::TempDir;
using testing_support::write_file;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kGiB = kMiB << 10;

[[maybe_unused]] testing::Environment* const sandbox_environment =
    testing::AddGlobalTestEnvironment(new testing_support::SandboxEnvironment);

void sql(const std::string& statement) {
  const auto r =
      run_command({"mariadb", "--no-defaults", "--protocol=socket",
                   "--socket=" + testing_support::test_env("HVX_TEST_DB_SOCKET"), "--user=admin",
                   "--batch", "--skip-column-names", getenv("HVX_DB_NAME"), "-e", statement},
                  {{"MYSQL_PWD", testing_support::test_env("HVX_TEST_DB_PASSWORD")}});
  ASSERT_EQ(r.status, 0) << statement << ": " << r.err;
}

std::string repository(const std::string& domain) {
  return std::string(product_conf.DUMP_D) + "/" + domain;
}

struct Outcome {
  int result;
  std::string out;
  std::string err;
};

Outcome check(const char* domain) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int result = check_client_quota(domain);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  return {result, out, err};
}

std::string refusal(std::uint64_t allowed_mb, std::uint64_t used_mb, std::uint64_t dumps_mb) {
  return "Can't perform dump operations: not enough disc space.\n"
         "Space allowed for client: " +
         std::to_string(allowed_mb) + " Mb\nSpace used: " + std::to_string(used_mb) + " Mb (" +
         std::to_string(dumps_mb) +
         " Mb by dumps)\n"
         "As possible workaround you can delete dumps from repository\n"
         "or choose option 'do not create domain dump file, only download'\n"
         "at the Domain dump creation page";
}

std::string report(const std::string& domain, std::uint64_t allowed, std::uint64_t used) {
  return "sitevault: Can't perform dump operation for domain '" + domain +
         "': not enough disc space allowed for client (allowed: " + std::to_string(allowed) +
         " used: " + std::to_string(used) + ")\n";
}

class Quota : public testing::Test {
 protected:
  // Client 1 owns the three sample domains; only the sizes set here count.
  void SetUp() override {
    sql("REPLACE INTO Limits (id, limit_name, value) VALUES (100, 'disk_space', '10737418240')");
    sql("UPDATE domains SET real_size=0, cl_id=1");
    sql("REPLACE INTO misc (param, val) VALUES ('size_count_type', 'byte')");
    fs::remove_all(product_conf.DUMP_D);
    for (const char* d : {"example.com", "xn--bcher-kva.example", "other.example"})
      fs::create_directories(repository(d));
  }

  static void set_limit(const std::string& value) {
    sql("UPDATE Limits SET value='" + value + "' WHERE id=100 AND limit_name='disk_space'");
  }
  static void set_size(const std::string& domain, std::uint64_t bytes) {
    sql("UPDATE domains SET real_size=" + std::to_string(bytes) + " WHERE name='" + domain + "'");
  }
  // Byte count of the client's repositories, directory entries included.
  static std::uint64_t dumps_bytes() {
    return static_cast<std::uint64_t>(get_client_dumps_size(1, domain_db_connection()));
  }
};

TEST_F(Quota, RefusesWithBothReports) {
  set_limit(std::to_string(kMiB));
  set_size("example.com", 2 * kMiB);
  set_size("other.example", kMiB);
  write_file(repository("xn--bcher-kva.example") + "/d_2005.01.01_10.00", std::string(kMiB, 'd'));
  const std::uint64_t dumps = dumps_bytes();
  ASSERT_GE(dumps, kMiB);
  ASSERT_LT(dumps, kMiB + 65536);

  const Outcome o = check("example.com");
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, refusal(1, 4, 1) + report("example.com", kMiB, 3 * kMiB + dumps));
  EXPECT_EQ(o.err, report("example.com", kMiB, 3 * kMiB + dumps));
}

TEST_F(Quota, SumsPastFourGibibytesWithoutWrapping) {
  // 6 GiB + 5 GiB would wrap to 3 GiB in 32 bits, under the 10 GiB limit.
  set_size("example.com", 6 * kGiB);
  set_size("other.example", 5 * kGiB);
  fs::remove_all(product_conf.DUMP_D);
  const Outcome o = check("example.com");
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, refusal(10240, 11264, 0) + report("example.com", 10 * kGiB, 11 * kGiB));

  // Just under a limit above 4 GiB passes.
  set_size("other.example", 4 * kGiB - 1);
  EXPECT_EQ(check("example.com").result, 0);
}

TEST_F(Quota, UsageEqualToTheLimitIsRefused) {
  fs::remove_all(product_conf.DUMP_D);
  set_size("example.com", 9 * kMiB);
  set_limit(std::to_string(9 * kMiB));
  EXPECT_EQ(check("example.com").result, -1);
  set_limit(std::to_string(9 * kMiB + 1));
  EXPECT_EQ(check("example.com").result, 0);
}

TEST_F(Quota, NoLimitProceedsWithoutMeasuring) {
  set_size("example.com", 100 * kGiB);
  sql("DELETE FROM Limits WHERE id=100 AND limit_name='disk_space'");
  Outcome o = check("example.com");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  // An empty value, or the panel's -1, means no limit as well.
  sql("INSERT INTO Limits (id, limit_name, value) VALUES (100, 'disk_space', '')");
  EXPECT_EQ(check("example.com").result, 0);
  set_limit("-1");
  EXPECT_EQ(check("example.com").result, 0);
  EXPECT_EQ(get_client_limit(1, "disk_space", domain_db_connection()), UINT64_MAX);
}

TEST_F(Quota, CountsBlocksUnlessTheTypeIsExactlyByte) {
  // A sparse file: 64 MiB long, next to nothing allocated.
  const std::string sparse = repository("example.com") + "/d_2005.01.01_10.00";
  const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 64 * kMiB), 0);
  close(fd);
  EXPECT_GE(dumps_bytes(), 64 * kMiB);
  sql("UPDATE misc SET val='bytes' WHERE param='size_count_type'");
  EXPECT_LT(dumps_bytes(), kMiB);
  sql("DELETE FROM misc WHERE param='size_count_type'");
  EXPECT_LT(dumps_bytes(), kMiB);
}

TEST_F(Quota, NamesAreEscapedAndOwnersFoundByTheDomainsId) {
  // A quote in the name is data, not statement text: no such domain is
  // found; without an owner there is no owner's limit to refuse by.
  const Outcome o = check("x' OR name<>'");
  EXPECT_EQ(o.result, 0);
  EXPECT_NE(o.err.find("Can't get domain owner for domain 'x' OR name<>'': no such domain in "
                       "database"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(get_domain_owner("other.example", domain_db_connection()), 1u);
  // Any case and either form of an IDN name finds the same owner.
  const unsigned long idn_owner = get_domain_owner("xn--bcher-kva.example", domain_db_connection());
  EXPECT_NE(idn_owner, 0u);
  EXPECT_EQ(get_domain_owner("BÜCHER.example", domain_db_connection()), idn_owner);
  EXPECT_EQ(get_client_limit(1, "disk_space' OR limit_name<>'", domain_db_connection()),
            UINT64_MAX);
}

}  // namespace
