// korvel: imports, converts, inspects and runs tokenizer models from the
// command line. See 'korvel --help'.

#include "korvel_cli/command.h"

int main(int argc, char** argv) {
  return korvel::cli::RunCommandLine(argc, argv);
}
