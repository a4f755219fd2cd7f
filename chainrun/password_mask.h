// Hides passwords in a command line before it is written to a log.
#pragma once

#include <string>

// Stars out, in place and keeping the length, the secrets of a shell command
// line. The text is read as the shell would cut it: simple commands end at
// ; | & ( ) and line breaks, words at blanks and redirections, quotes and
// backslashes belong to their word and are kept. Starred are:
//  - the rest of a word after "PASSWORD=", "PASSWD=" or "MYSQL_PWD=" in any
//    case: PGPASSWORD=..., MYSQL_PWD=..., --password=..., --ftp-password=...;
//  - the word after "--password" or "--passwd";
//  - in a command that names a MySQL client (a word whose last component
//    starts with "mysql" or "mariadb"), an option word "-pSECRET"; a bare
//    "-p" stars the character after it (even a blank) and the following
//    characters up to the next space;
//  - the part after the first ':' of a -u/--user value (curl's user:SECRET);
//  - the password of a URL's user:SECRET@ part.
// A word that holds quotes is also read as a command line of its own, so
// the command of `sh -c "..."` is masked too. Everything else is unchanged.
void mask_passwords(std::string& command);
