// Hides passwords in a command line before it is written to a log.
#pragma once

#include <string>

// Stars out, in place:
//  - the value of every "PGPASSWORD=" assignment, up to the next space;
//  - in a command line that runs mysqldump, every option word after
//    "mysqldump" that starts with "-p": the character right after "-p" (even
//    a space) and then everything up to the next space, and the value of a
//    "--password=" option word.
// Everything else is left unchanged.
void mask_passwords(std::string& command);
