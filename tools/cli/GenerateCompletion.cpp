// Writes brevant-cli's bash completion from its option table, at build time, so the script
// offers exactly the commands, options and fixed values the parser takes.
#include <cstdio>
#include <fstream>

#include "CliCommandTable.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << cli::CompletionScript();
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
