// The chainrun program: key mode and pipeline mode.
#pragma once

// chainrun KEYFILE            prints the ftok key of KEYFILE for the caller
// chainrun                    prints a random key
// chainrun KEY LOG TITLE UID FLAG DOMAIN COMMAND...
//                             runs the chain under the semaphore of KEY
// Returns the exit status.
int chainrun_main(int argc, char** argv);
