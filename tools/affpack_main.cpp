// affpack: builds AFF firmware containers from component image files.

#include <iostream>
#include <string>
#include <vector>

#include "tools/affpack.h"

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return affpack::run(args, std::cout, std::cerr);
}
