// quillet-batch: the converter without windows. The window program's main()
// hands "--batch ..." command lines to the same runner.
#include <iostream>

#include "core/batch_cli.h"

int main(int argc, char** argv) { return quillet::runBatchCommandLine(argc, argv, std::cout, std::cerr); }
