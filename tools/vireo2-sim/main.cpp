// vireo2-sim: plays the devices of one channel of the kit over Modbus.
#include "SimIo.h"
#include "SimOptions.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    VireoSim::SimOptions options;
    std::string error = VireoSim::ParseOptions(args, options);
    if (!error.empty()) {
        std::fprintf(stderr, "vireo2-sim: %s\nTry 'vireo2-sim --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(VireoSim::HelpText().c_str(), stdout);
        return 0;
    }
    return VireoSim::RunSimulator(options);
}
