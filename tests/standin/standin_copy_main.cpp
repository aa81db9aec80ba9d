// standin_copy SOURCE TARGET VERSION: a copy of the stand-in application reporting VERSION.
#include <exception>
#include <iostream>

#include "tests/standin/standin_copy.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: standin_copy SOURCE TARGET VERSION" << std::endl;
    return 2;
  }
  try {
    standin::MakeCopyWithVersion(argv[1], argv[2], argv[3]);
  } catch (const std::exception& error) {
    std::cerr << "standin_copy: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
