// A test-only server for OPC UA clients written by others: the toolkit's
// endpoint in front of a program, until the real executable serves it.
//
//   ua-test-host --fake [--listen ADDRESS:PORT]
//
// --fake: the toolkit tests' fake program with a kit-shaped item space (one
// channel, a MyPin with its write password and a command, 250 items in one
// group, a PAS Boolean). Prints "ready <port>" once it listens. Commands on
// stdin, one a line, answered on stdout: "inuse <item ID>" (1 or 0),
// "set <item ID> <value>" (a new value of good quality, as polling stores
// it), "written" (the writes so far, "<item ID>=<value>;..."), "clients"
// (DAServerInUse, 1 or 0). Ends when stdin closes.
#include "UaFakeProgram.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const std::string kChannel = kRoot + ".Vireo-2_1";

void DefineFakeItems(CUaFakeProgram& program)
{
    program.Add(kChannel + ".MyPin.Write_Password", VT_UI2, OPC_WRITEABLE);
    program.Add(kChannel + ".MyPin.Pribor_Comm1.Command", VT_UI2, OPC_READABLE | OPC_WRITEABLE);
    program.Add(kChannel + ".MyPin.kernel_version", VT_UI1, OPC_READABLE);
    for (int i = 1; i <= 250; ++i)
        program.Add(kChannel + ".PU_1.Sh_State.shl_" + std::to_string(i), VT_UI2, OPC_READABLE);
    program.Add(kChannel + ".PAS_1.pas_status.err_rs485", VT_BOOL, OPC_READABLE);
}

void Serve(CUaFakeProgram& program)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, id;
        words >> command;
        std::getline(words >> std::ws, id);
        if (command == "inuse") {
            CFakeTag* tag = program.Find(id.c_str());
            std::cout << (tag && tag->InUse() ? 1 : 0) << std::endl;
        } else if (command == "set") {
            size_t space = id.rfind(' ');
            CFakeTag* tag = space == std::string::npos ? nullptr : program.Find(id.substr(0, space).c_str());
            if (tag) program.Set(tag, static_cast<uint16_t>(std::stoi(id.substr(space + 1))));
            std::cout << (tag ? "ok" : "unknown") << std::endl;
        } else if (command == "written") {
            std::lock_guard lock(program.m_writtenMutex);
            for (const auto& [itemId, value] : program.m_written) std::cout << itemId << "=" << value << ";";
            std::cout << std::endl;
        } else if (command == "clients") {
            std::cout << (DAServerInUse() ? 1 : 0) << std::endl;
        } else {
            std::cout << "unknown command" << std::endl;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string listen = "127.0.0.1:0";
    bool fake = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--fake")
            fake = true;
        else if (arg == "--listen" && i + 1 < argc)
            listen = argv[++i];
    }
    if (!fake) {
        std::fprintf(stderr, "usage: ua-test-host --fake [--listen ADDRESS:PORT]\n");
        return 2;
    }
    CUaFakeProgram program;
    SetCallbackObject(&program);
    if (!StartDAServer(nullptr, &kTestClsid)) {
        std::fprintf(stderr, "the toolkit did not start\n");
        return 1;
    }
    DefineFakeItems(program);
    UaEndpointOptions options{};
    options.listen = listen.c_str();
    options.listenSocket = -1;
    options.applicationName = "OpcVireo2";
    char error[256] = {};
    if (StartUaEndpoint(&options, error, sizeof error) != S_OK) {
        std::fprintf(stderr, "%s\n", error);
        return 1;
    }
    std::cout << "ready " << UaEndpointPort() << std::endl;
    Serve(program);
    StopDAServer();
    DeleteDAItem(kRoot.c_str());
    SetCallbackObject(nullptr);
    return 0;
}
