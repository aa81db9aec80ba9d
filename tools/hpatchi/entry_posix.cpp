// hpatchi's entry on POSIX systems, whose arguments are UTF-8 bytes already.
#include "tools/hpatchi/command.h"

int main(int argc, char** argv) { return hpatchi_tool::run(argc, argv); }
