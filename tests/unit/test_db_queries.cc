// Queries and parameter writers against a fresh sample database per test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/db_connection.h"
#include "common/db_queries.h"
#include "tests/support/db_test_env.h"
#include "tests/support/std_capture.h"

namespace {

using db_test::exec;
using db_test::scalar;

class DbQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    db_test::clean_environment();
    setenv("HVX_DB_NAME", db_test::fresh_database().c_str(), 1);
    char err[4097] = "";
    conn_.reset(db_connect(err, sizeof err));
    ASSERT_TRUE(conn_) << err;
  }

  MYSQL* conn() { return conn_.get(); }
  std::string count(const std::string& table) {
    return scalar(conn(), "select count(*) from " + table).value_or("?");
  }
  // Every row of a table as one text, to show that nothing changed.
  std::string dump(const std::string& table) {
    return scalar(conn(), "select group_concat(concat_ws('|', " + columns(table) +
                              ") order by 1 separator ';') from " + table)
        .value_or("");
  }
  static std::string columns(const std::string& table) {
    if (table == "domains") return "id, name, status";
    if (table == "misc") return "param, ifnull(val, 'NULL')";
    if (table == "Parameters") return "id, parameter, value";
    return "dom_id, param, val";
  }

  MysqlPtr conn_;
};

TEST_F(DbQueries, ReadersFindSampleValues) {
  // Once over the caller's connection, once over their own.
  for (MYSQL* c : {conn(), static_cast<MYSQL*>(nullptr)}) {
    SCOPED_TRACE(c ? "given connection" : "own connection");
    EXPECT_STREQ(get_misc_param("admin_email", c), "admin@example.com");
    EXPECT_STREQ(get_domain_htype("3", c), "std_fwd");
    EXPECT_STREQ(get_param("1", "clients", "id", "email", c), "owner@example.com");
    EXPECT_STREQ(get_param_by_query("select name from domains order by id desc", c),
                 "other.example");
    EXPECT_STREQ(get_ip_address("2", c), "192.0.2.11");
    EXPECT_STREQ(get_dom_param("1", "stat_ttl", c), "3");
    EXPECT_STREQ(get_domain_parameter("2", "apache_conf", c), "off");
    EXPECT_STREQ(get_domain_service_parameter("1", "mail", "mailbox_quota", c), "104857600");
    EXPECT_STREQ(get_domain_limit("1", "disk_space", c), "1073741824");
    EXPECT_STREQ(get_client_email("1", c), "owner@example.com");
    EXPECT_EQ(get_anon_ftp_status("1", c), 1);
    EXPECT_EQ(get_anon_ftp_status("2", c), 0);
    EXPECT_EQ(get_frontpage_status("example.com", 0, c), 1);
    EXPECT_EQ(get_frontpage_status("example.com", 1, c), 0);
    EXPECT_EQ(get_frontpage_status("xn--bcher-kva.example", 1, c), 1);
    EXPECT_EQ(get_next_id("domains", c), 4);
    EXPECT_EQ(get_next_id("certificates", c), 1);
  }
  // www record without a www subdomain; with both; with neither.
  EXPECT_EQ(has_www_prefix("1", nullptr), 1);
  EXPECT_EQ(has_www_prefix("3", conn()), 0);
  EXPECT_EQ(has_www_prefix("2", conn()), 0);
}

TEST_F(DbQueries, NotFoundIsEmptyTextNotNull) {
  const char* v = get_misc_param("no_such_param", conn());
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "");
  exec(conn(), "insert into misc (param, val) values ('null_valued', NULL)");
  EXPECT_STREQ(get_misc_param("null_valued", conn()), "");
  EXPECT_STREQ(get_dom_param("3", "stat_ttl", conn()), "");
  EXPECT_STREQ(get_ip_address("3", conn()), "");
  EXPECT_STREQ(get_domain_limit("3", "disk_space", conn()), "");
  EXPECT_STREQ(get_domain_service_parameter("2", "mail", "mailbox_quota", conn()), "");
  EXPECT_EQ(get_anon_ftp_status("3", conn()), 0);
  EXPECT_EQ(get_domain_name("missing.example"), nullptr);

  // The get_param family shares one buffer: a second call overwrites the first.
  const char* first = get_misc_param("admin_email", conn());
  const char* second = get_misc_param("size_count_type", conn());
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "byte");
}

TEST_F(DbQueries, FailedQueriesReportAndReturnFailure) {
  exec(conn(), "drop table misc");
  exec(conn(), "drop table dns_recs");
  exec(conn(), "drop table anon_ftp");
  exec(conn(), "drop table dom_param");
  StdCapture cap;
  EXPECT_EQ(get_misc_param("admin_email", conn()), nullptr);
  EXPECT_EQ(get_dom_param("1", "stat_ttl", conn()), nullptr);
  EXPECT_EQ(has_www_prefix("1", conn()), -1);
  EXPECT_EQ(get_anon_ftp_status("1", conn()), 0);
  EXPECT_EQ(get_next_id("no_such_table", conn()), 0);
  EXPECT_EQ(put_misc_param("a", "b", conn()), -1);
  const std::string out = cap.out();
  const std::string db = std::getenv("HVX_DB_NAME");
  EXPECT_NE(out.find("Unable to query parameter by query select val from misc where "
                     "param='admin_email': Table '" +
                     db + ".misc' doesn't exist\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Unable to query domain parameter stat_ttl: Table '"), std::string::npos);
  EXPECT_NE(out.find("Unable to query www prefix: Table '"), std::string::npos);
  EXPECT_NE(out.find("Unable to query anon_ftp: Table '"), std::string::npos);
  EXPECT_NE(out.find("Unable to define max id: Table '"), std::string::npos);
  EXPECT_NE(out.find("Unable to put parameter a into misc: Table '"), std::string::npos);
}

TEST_F(DbQueries, OwnConnectionFailureIsReported) {
  setenv("HVX_DB_LOGIN", "nobody", 1);
  StdCapture cap;
  EXPECT_EQ(get_ip_address("1", nullptr), nullptr);
  EXPECT_EQ(put_dom_param("1", "p", "v", nullptr), -1);
  EXPECT_EQ(get_next_id("domains", nullptr), 0);
  const std::string out = cap.out();
  EXPECT_NE(out.find("db_connect: failed to connect to database: Error: Access denied"),
            std::string::npos);
  EXPECT_NE(out.find("get_ip_address: Unable to connect to the mysql database\n"),
            std::string::npos);
  EXPECT_NE(out.find("Unable to connect to mysql database\n"), std::string::npos);
  EXPECT_NE(out.find("Unable to connect to the mysql database\n"), std::string::npos);
}

TEST_F(DbQueries, DomainStatusReadAndWrite) {
  unsigned status = 99;
  EXPECT_EQ(get_domain_status("2", &status, conn()), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(update_domain_status("2", 4 | 64, conn()), 0);
  EXPECT_EQ(get_domain_status("2", &status, conn()), 0);
  EXPECT_EQ(status, 68u);
  EXPECT_EQ(scalar(conn(), "select status from domains where id=1"), "0");

  StdCapture cap;
  EXPECT_EQ(get_domain_status("42", &status, conn()), -2);
  exec(conn(), "alter table domains modify status varchar(16)");
  exec(conn(), "update domains set status='on' where id=3");
  EXPECT_EQ(get_domain_status("3", &status, conn()), -3);
  exec(conn(), "drop table domains");
  EXPECT_EQ(get_domain_status("1", &status, conn()), -1);
  EXPECT_EQ(update_domain_status("1", 4, conn()), -1);
  const std::string out = cap.out();
  EXPECT_NE(out.find("Unable to get status for domain with id=\"42\": such domain is not exist.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Unable to get status for domain with id=\"3\": error translate status value "
                     "from char to unsigned int.\n"),
            std::string::npos);
  EXPECT_NE(out.find("Unable to get status for domain with id=\"1\": Table '"), std::string::npos);
  EXPECT_NE(out.find("Unable to update status for domain with id=\"1\": Table '"),
            std::string::npos);
}

TEST_F(DbQueries, DomainIdLookup) {
  EXPECT_STREQ(get_dom_id("example.com", conn()), "1");
  EXPECT_STREQ(get_dom_id("bücher.example", nullptr), "2");
  EXPECT_STREQ(get_dom_id("BÜCHER.Example", conn()), "2");
  EXPECT_STREQ(get_dom_id("xn--bcher-kva.example", conn()), "2");
  EXPECT_EQ(get_dom_id("o'ther.example", conn()), nullptr);
}

TEST_F(DbQueries, DomainIdFailuresReportAndReturnNull) {
  // A caller may hold a domain switched off: the lookup never ends the run.
  StdCapture cap;
  EXPECT_EQ(get_dom_id("missing.example", conn()), nullptr);
  const std::string long_label(64, 'a');
  EXPECT_EQ(get_dom_id((long_label + ".example").c_str(), conn()), nullptr);
  exec(conn(), "drop table domains");
  EXPECT_EQ(get_dom_id("example.com", conn()), nullptr);
  const std::string err = cap.err();
  EXPECT_NE(err.find("get_dom_id(): domains record not found in DB for 'missing.example'"),
            std::string::npos);
  EXPECT_NE(err.find("idn_toascii() failed: Invalid length"), std::string::npos);
  EXPECT_NE(err.find("Unable to query domain ID: Table '"), std::string::npos);
}

TEST_F(DbQueries, DomainNameInLowerCase) {
  exec(conn(), "insert into domains (id, name, cl_id) values (7, 'MiXed.Example', 1)");
  EXPECT_STREQ(get_domain_name("mixed.example"), "mixed.example");
  EXPECT_STREQ(get_domain_name("example.com"), "example.com");
  EXPECT_EQ(get_domain_name("ex'ample.com"), nullptr);
}

TEST_F(DbQueries, ClientEmailFallsBackToAdmin) {
  exec(conn(), "insert into domains (id, name, cl_id) values (4, 'spare.example', 2)");
  EXPECT_STREQ(get_client_email("4", conn()), "admin@example.com");
  exec(conn(), "update misc set val='' where param='admin_email'");
  StdCapture cap;
  EXPECT_EQ(get_client_email("4", conn()), nullptr);
  EXPECT_NE(cap.out().find("Unable to define admin email\n"), std::string::npos);
}

TEST_F(DbQueries, ParameterWritersRoundTrip) {
  EXPECT_EQ(put_misc_param("bu_cert_id", "7", conn()), 0);
  EXPECT_STREQ(get_misc_param("bu_cert_id", conn()), "7");
  EXPECT_EQ(put_misc_param("bu_cert_id", "8", nullptr), 0);
  EXPECT_STREQ(get_misc_param("bu_cert_id", conn()), "8");
  EXPECT_EQ(put_misc_param("flag", nullptr, conn()), 0);
  EXPECT_EQ(scalar(conn(), "select val is null from misc where param='flag'"), "1");
  EXPECT_EQ(delete_misc_param("bu_cert_id", conn()), 0);
  EXPECT_STREQ(get_misc_param("bu_cert_id", conn()), "");

  EXPECT_EQ(put_dom_param("3", "stat_ttl", "9", conn()), 0);
  EXPECT_STREQ(get_dom_param("3", "stat_ttl", conn()), "9");
  EXPECT_EQ(delete_dom_param("3", "stat_ttl", nullptr), 0);
  EXPECT_STREQ(get_dom_param("3", "stat_ttl", conn()), "");

  EXPECT_EQ(put_domain_parameter("1", "php", "on", conn()), 0);
  EXPECT_STREQ(get_domain_parameter("1", "php", conn()), "on");
  // A value that does not match leaves the row.
  EXPECT_EQ(delete_domain_parameter("1", "php", "off", conn()), 0);
  EXPECT_STREQ(get_domain_parameter("1", "php", conn()), "on");
  EXPECT_EQ(delete_domain_parameter("1", "php", nullptr, conn()), 0);
  EXPECT_STREQ(get_domain_parameter("1", "php", conn()), "");
}

TEST_F(DbQueries, QuotedNamesRefusedSilently) {
  const std::string misc = dump("misc");
  const std::string params = dump("Parameters");
  StdCapture cap;
  EXPECT_EQ(get_dom_param("1", "stat'ttl", conn()), nullptr);
  EXPECT_EQ(get_domain_limit("1", "disk\\space", conn()), nullptr);
  EXPECT_EQ(get_domain_service_parameter("1", "ma\"il", "mailbox_quota", conn()), nullptr);
  EXPECT_EQ(get_frontpage_status("example.com' or '1'='1", 0, conn()), 0);
  EXPECT_EQ(put_misc_param("x'y", "v", conn()), -1);
  EXPECT_EQ(put_misc_param("x", "v'", conn()), -1);
  EXPECT_EQ(delete_misc_param("admin_email' or '1'='1", conn()), -1);
  EXPECT_EQ(delete_domain_parameter("1", "apache_conf", "on' or '1'='1", conn()), -1);
  EXPECT_EQ(cap.out(), "");
  EXPECT_EQ(dump("misc"), misc);
  EXPECT_EQ(dump("Parameters"), params);
}

TEST_F(DbQueries, InjectionThroughUnguardedValuesChangesNothing) {
  // Ids that start with a letter compare as 0 with the numeric id columns, so
  // a value kept as one text matches no row; run as SQL it would match all.
  const std::string domains = dump("domains");
  const std::string misc = dump("misc");
  const std::string params = dump("Parameters");
  const std::string dom_param = dump("dom_param");
  StdCapture cap;
  unsigned status = 0;
  EXPECT_EQ(update_domain_status("x\" or \"1\"=\"1", 4, conn()), 0);
  EXPECT_EQ(get_domain_status("x\" or \"1\"=\"1", &status, conn()), -2);
  EXPECT_STREQ(get_misc_param("x' or '1'='1", conn()), "");
  EXPECT_STREQ(get_ip_address("x' or '1'='1", conn()), "");
  EXPECT_EQ(get_anon_ftp_status("x' or '1'='1", conn()), 0);
  EXPECT_STREQ(get_param("x' or '1'='1", "misc", "param", "val", conn()), "");
  EXPECT_STREQ(get_client_email("x' or '1'='1", conn()), "admin@example.com");
  EXPECT_EQ(delete_domain_parameter("x' or '1'='1", "apache_conf", nullptr, conn()), 0);
  EXPECT_EQ(delete_dom_param("x' or '1'='1", "stat_ttl", conn()), 0);
  EXPECT_EQ(put_dom_param("2', 'injected', 'v'), ('1", "p", "v", conn()), -1);
  // Table and column names are identifiers, never statement text.
  EXPECT_EQ(get_param("1", "domains; drop table misc", "id", "name", conn()), nullptr);
  EXPECT_EQ(get_next_id("domains where 1=0 union select 41", conn()), 0);
  cap.stop();
  EXPECT_EQ(dump("domains"), domains);
  EXPECT_EQ(dump("misc"), misc);
  EXPECT_EQ(dump("Parameters"), params);
  EXPECT_EQ(dump("dom_param"), dom_param);
}

TEST_F(DbQueries, OverlongStatementsAreNotSent) {
  const std::string padding(4100, 'x');
  const std::string dom_param = dump("dom_param");
  StdCapture cap;
  EXPECT_EQ(delete_dom_param("1", (std::string("stat_ttl") + padding).c_str(), conn()), -1);
  EXPECT_EQ(put_misc_param("long", padding.c_str(), conn()), -1);
  // Cut at 4095 characters this statement loses its condition and would
  // delete every row.
  const std::string cut = "delete from dom_param" + std::string(4090, ' ') + "where dom_id=1";
  EXPECT_EQ(get_param_by_query(cut.c_str(), conn()), nullptr);
  EXPECT_EQ(run_statement(conn(), cut.c_str()), -1);
  EXPECT_STREQ(statement_error(conn()), "statement longer than 4095 characters refused");
  const std::string out = cap.out();
  EXPECT_NE(out.find("Unable to delete parameter stat_ttlxxx"), std::string::npos);
  EXPECT_NE(out.find(": statement longer than 4095 characters refused"), std::string::npos);
  EXPECT_EQ(dump("dom_param"), dom_param);
  EXPECT_EQ(scalar(conn(), "select count(*) from misc where param='long'"), "0");

  // Up to the limit statements run, and a later failure reports the server.
  std::string fits = "select 'ok' /* ";
  fits += std::string(4095 - fits.size() - 3, 'y') + " */";
  ASSERT_EQ(fits.size(), 4095u);
  EXPECT_EQ(run_statement(conn(), fits.c_str()), 0);
  mysql_free_result(mysql_store_result(conn()));
  EXPECT_EQ(run_statement(conn(), "select * from no_such_table"), -1);
  EXPECT_NE(std::string(statement_error(conn())).find("no_such_table"), std::string::npos);
}

}  // namespace
