// Services shared by the domain operations: the repository directories, the
// per-domain logs and the notification mail.
#pragma once

enum NotificationKind {
  backup_begun = 0,
  backup_completed = 1,
  backup_failed = 2,
  restore_begun = 3,
  restore_completed = 4,
  restore_failed = 5,
  download_begun = 6,
  download_completed = 7,
  download_failed = 8,
};

// Ensures DUMP_D and DUMP_D/<domain> (owner hvxadm, mode 0750) without
// following links. 0, or -1 after reporting.
int create_dump_repository(const char* domain);
// Removes the domain's progress and error logs.
void clear_operation_logs(const char* domain);
// Mails the outcome of kind to recipient through the mail program (with
// text, or the operation's log for a failure). 0, or -1 when not sent.
int send_notification(const char* recipient, const char* sender, const char* domain, int kind,
                      const char* text);
// Detaches into the background (daemon(1, 0)); returns only in the detached
// process, ends the foreground process with status 0 through _exit, so no
// destructor and no exit handler runs there: a domain the caller holds
// (HeldDomain) is switched on and released by the detached process alone.
// When the fork fails it returns in the foreground, which goes on.
void detach_operation();
