// A remote repository reached through libcurl's file transfer protocols:
// plain FTP, FTP with explicit or implicit TLS, and SFTP. One implementation
// serves them all; where they differ, it asks the row of the dialect table
// chosen when the store is opened, never the scheme.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sitevault/remote/curl_session.h"
#include "sitevault/remote/remote_store.h"

// How one of the protocols is spoken.
struct FtpDialect {
  const char* scheme;      // the RemoteLocation scheme the row serves
  const char* url_prefix;  // "ftp://" (explicit TLS too), "ftps://", "sftp://"
  remote::CurlTransport transport;
  // A relative repository path starts at the login directory; libcurl's
  // SFTP paths are absolute, and "/~/" says where they start.
  bool login_relative_tilde;
  // Commands take their paths in double quotes with '"' and '\' escaped
  // (libcurl's SFTP commands), rather than as the rest of the line.
  bool quoted_paths;
  const char* delete_verb;  // "DELE " or "rm "
  // A rename is one command ("rename <from> <to>") rather than RNFR and
  // RNTO.
  bool rename_one_command;
  // Bytes a download asks for at once. libssh2 reads ahead several blocks of
  // what it is asked for, and at 512 KiB that read-ahead alone takes
  // megabytes.
  long receive_block;
  // The write probe is the panel's farstore utility, which speaks only plain
  // FTP.
  bool external_write_test;
  // A plain listing (NLST) holds the names that begin with a dot. vsftpd
  // leaves them out unless asked with "NLST -a"; an SFTP listing has all.
  bool lists_dot_names;
};

// The row for a RemoteLocation scheme; null for a scheme no row serves.
const FtpDialect* ftp_dialect_for(std::string_view scheme);

// The names of an NLST listing that begin with a filter, gathered from the
// chunks libcurl hands over: a line may arrive split over several chunks,
// and its beginning waits until the rest comes. A real carriage return at a
// line's end is dropped, and a server that answers with paths is reduced to
// the bare names.
class FtpNameList {
 public:
  explicit FtpNameList(std::string filter) : filter_(std::move(filter)) {}
  // false when memory ran out (the listing then fails).
  bool feed(std::string_view chunk);
  // Takes a last line that the listing did not end with a line feed; the
  // names in the order the server listed them.
  std::vector<std::string> finish();

 private:
  void take_line(std::string_view line);

  std::string filter_;
  std::vector<std::string> names_;
  std::string pending_;
};

class FtpStore final : public RemoteStore {
 public:
  // where must be parsed (parse_remote_location); dialect is its row.
  FtpStore(const RemoteLocation& where, const FtpDialect& dialect);
  FtpStore(const FtpStore&) = delete;
  FtpStore& operator=(const FtpStore&) = delete;
  ~FtpStore() override;

  const StoreFeatures& features() const override { return features_; }
  // One STOR (or SFTP write) fed from the source, then the size of what
  // arrived. Uploads one after another share one handle, and so one
  // connection where the transport keeps it; any other call ends it first.
  std::optional<std::uint64_t> put(const std::string& name, const ByteSource& source) override;
  bool get(const std::string& name, const ByteSink& sink) override;
  // The size, then a ranged download of the rest (REST, or an SFTP seek).
  std::optional<std::string> tail(const std::string& name, std::size_t bytes) override;
  // NLST; with DotNames::included on a server that hides dot-names, the
  // union with "NLST -a".
  std::optional<std::vector<RemoteFile>> list(std::string_view prefix, DotNames dot_names) override;
  // One batch of DELE (or SFTP rm) commands on one connection; with
  // Missing::allowed a refusal of one does not stop the others.
  bool remove(const std::vector<std::string>& names, Missing missing, Urgency urgency) override;
  // RNFR/RNTO or an SFTP rename, one batch on one connection. No target may
  // exist: an SFTP server refuses to replace a file, an FTP server may
  // refuse or replace it.
  Renamed rename(const std::vector<std::pair<std::string, std::string>>& moves) override;
  // SIZE, or stat over SFTP.
  std::optional<std::uint64_t> size(const std::string& name, Missing missing) override;
  // One query for SIZE and MDTM (or an SFTP stat): the time when the server
  // tells it.
  std::optional<RemoteFile> file_info(const std::string& name) override;
  // Bounded as a command: the connect and stall limits together.
  bool put_text(const std::string& name, std::string_view text) override;
  std::optional<std::string> get_text(const std::string& name, std::size_t max_bytes) override;
  // Plain FTP: farstore's write test. Otherwise a small probe file is
  // written, looked for in the listing and deleted.
  bool probe_writable(const std::string& basedir) override;

 private:
  // Why a listing that is not reported failed: libcurl's code and reason.
  struct ListFailure {
    CURLcode code = CURLE_OK;
    std::string reason;
  };

  // A handle whose failures are reported as this store's.
  remote::CurlSession session();
  // The options every handle shares and the URL.
  remote::CurlOptions& start(remote::CurlSession& handle, remote::TransferUse use,
                             const std::string& url);
  std::string url(const std::string* name) const;
  std::string login_url() const;
  std::string command_path(const std::string& name) const;
  bool fit_for_commands(const char* action, const std::vector<std::string>& names);
  // 0, or after reporting -1 when the server refused a command and -2 when
  // it gave no answer.
  int run_command_batch(const std::vector<std::string>& commands, remote::TransferUse use);
  std::optional<std::vector<std::string>> list_once(const std::string& filter, const char* request,
                                                    ListFailure* failure);
  std::optional<std::vector<std::string>> list_names(const std::string& filter, DotNames dot_names);
  // A size query's outcome. set_up: the handle and its options were
  // there (else reported); code: the query's; size -1 when the server told
  // none.
  struct SizeAnswer {
    bool set_up = false;
    CURLcode code = CURLE_OK;
    curl_off_t size = -1;
  };
  SizeAnswer query_size(remote::CurlSession& handle, const std::string& name);
  std::optional<std::uint64_t> size_on(remote::CurlSession& handle, const std::string& name,
                                       Missing missing);
  bool farstore_write_test(const std::string& basedir);
  bool write_test();
  // Ends the handle kept between uploads.
  void end_upload();

  RemoteLocation where_;
  const FtpDialect& dialect_;
  StoreFeatures features_;
  std::optional<remote::CurlSession> upload_;
};
