// vireo-config: shows and edits the configuration file from the command line.
#include "ConfigCommands.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunVireoConfig(args, std::cout, std::cerr);
}
