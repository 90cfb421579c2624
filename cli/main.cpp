// The lumeno command-line tool.
#include "cli/lumeno_main.h"

int main(int argc, char** argv) { return lumeno::cli::LumenoMain(argc, argv); }
