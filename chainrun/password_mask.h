// Hides passwords in a command line before it is written to a log.
#pragma once

#include <string>

// Stars out, in place and keeping the length, the secrets of a shell command
// line. The text is read as the shell would cut it: simple commands end at
// ; | & ( ) and line breaks, words at blanks and redirections, quotes and
// backslashes belong to their word and are kept. A name says it holds a
// secret when it contains "pass", "secret" or "token" in any case, or has
// "pwd" as one of several parts (MYSQL_PWD), or names an API key. Starred are:
//  - the rest of a word after "PASSWORD=", "PASSWD=" or "MYSQL_PWD=" in any
//    case, and after NAME= anywhere in a word when NAME says it holds a
//    secret: SSHPASS=..., GITHUB_TOKEN=..., --ftp-password=..., ?token=...;
//  - the rest of a word that begins with NAME: or -NAME: (openssl's pass:X);
//  - the word after an option whose name says it holds a secret
//    (--ftp-password, --http-password, -passin, --token, --key-passphrase,
//    and always --password and --passwd), only the part after "pass:" of a
//    pass:X value; in an openssl command the sources env:, file:, fd: and
//    stdin are left. Options that name where a secret comes from or how it
//    is asked for (--password-file, --password-stdin, --passphrase-fd,
//    --ask-password, --no-password), --passive... and --bypass... have none;
//  - in a command that names a MySQL client (a word whose last component
//    starts with "mysql" or "mariadb"), an option word "-pSECRET"; a bare
//    "-p" stars the character after it (even a blank) and the following
//    characters up to the next space;
//  - sshpass's -p SECRET and -pSECRET (not a -p of the command it runs),
//    and openssl's -k SECRET;
//  - the password of a user value: after the first ':' or ',' of -u (curl's
//    user:SECRET, lftp's user,SECRET), the first '%' or ':' of -U
//    (smbclient's user%SECRET), the first of all three of --user;
//  - the password of a URL's user:SECRET@ part.
// A word that holds quotes is also read as a command line of its own, so
// the command of `sh -c "..."` is masked too. Everything else is unchanged.
void mask_passwords(std::string& command);
