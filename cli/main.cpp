#include "cli/cli_exe.h"

int main(int argc, char **argv) { return morvel::cli::cliMain(argc, argv); }
