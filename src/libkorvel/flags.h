#ifndef LIBKORVEL_FLAGS_H_
#define LIBKORVEL_FLAGS_H_

namespace korvel {

// Parses the process's command line into the abseil flags that the program
// defines. `usage` becomes the program's usage message (the first call in a
// process sets it; later calls keep it). --help and the other usage flags
// print and exit, and an unknown or malformed flag prints an error and exits
// with status 1, as abseil's own parser does.
//
// With `remove_flags`, *argc and *argv are rewritten to hold the program name
// followed by the positional arguments only (those after "--" included), and
// (*argv)[*argc] becomes null; otherwise they are left as they were. The
// strings themselves are never copied. Call it once, from main, before any
// other thread starts.
void ParseCommandLineFlags(const char* usage, int* argc, char*** argv,
                           bool remove_flags);

}  // namespace korvel

#endif  // LIBKORVEL_FLAGS_H_
