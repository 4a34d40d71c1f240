#include "korvel_cli/shared_flags.h"

#include "absl/flags/flag.h"

ABSL_FLAG(std::string, model, "", "lite model file");
ABSL_FLAG(std::string, output_file, "",
          "the file to write, which appears only once complete; without it "
          "or with '-' output goes to standard output");
ABSL_FLAG(bool, mmap, false,
          "map the model file instead of reading it into memory; the file "
          "must then not change in place during the run (replace it by "
          "rename), or the process crashes");
ABSL_FLAG(std::string, output, "",
          "what to print per line; encode: 'ids' (the default), 'pieces' or "
          "'json'; decode: 'text' (the default) or 'pieces'");
ABSL_FLAG(int, threads, 1,
          "threads that process the lines, 0 for one per core; the output "
          "keeps the input order");
