#include "chainrun/runner.h"

int main(int argc, char** argv) { return chainrun_main(argc, argv); }
