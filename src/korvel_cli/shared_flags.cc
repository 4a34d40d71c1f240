#include "korvel_cli/shared_flags.h"

#include "absl/flags/flag.h"

ABSL_FLAG(std::string, model, "", "lite model file");
ABSL_FLAG(std::string, output_file, "",
          "the file to write, which appears only once complete; without it "
          "or with '-' output goes to standard output");
ABSL_FLAG(int, threads, 1,
          "threads that process the lines; the output keeps the input order");
