#include "run_state.h"

int command = 0;
int verbose = 0;
int rotate_requested = 0;
std::string dump_dir;
