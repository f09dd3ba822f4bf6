#pragma once
// A server process the OPC UA benchmarks measure: ours or node-opcua's,
// with its resident memory and the run time of its threads from /proc.

#include "opcua/protocol/UaClient.h"
#include "platform/StreamServer.h"
#include "support/ChildProcess.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class CBenchServer {
   public:
    // Waits for its line "ready <port> [<resident kB before the endpoint>]";
    // node-opcua writes its warnings to stdout first.
    bool Start(const std::vector<std::string>& argv)
    {
        if (!m_child.Start(argv, CChildProcess::kStdin | CChildProcess::kStdout)) return false;
        std::string line;
        do {
            if (!m_child.ReadLine(false, &line, std::chrono::minutes(3))) return false;
        } while (line.rfind("ready", 0) != 0);
        std::istringstream words(line);
        std::string ready;
        words >> ready >> m_port >> m_residentBeforeKb;
        return ready == "ready" && m_port != 0;
    }
    // A program that says nothing: it is up once the port takes connections.
    bool StartListening(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                        uint16_t port)
    {
        if (!m_child.Start(argv, CChildProcess::kQuiet, environment)) return false;
        m_port = port;
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (std::chrono::steady_clock::now() < end && m_child.Running()) {
            ua::CUaClient probe;
            if (probe.ConnectSocket("127.0.0.1", port) == ua::kGood) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    ~CBenchServer() { m_child.Stop(); }
    uint16_t Port() const { return m_port; }
    long ResidentBeforeKb() const { return m_residentBeforeKb; }
    std::string Command(const std::string& text)
    {
        std::string line;
        m_child.WriteStdin(text + "\n");
        m_child.ReadLine(false, &line, std::chrono::seconds(10));
        return line;
    }
    long ResidentKb() const
    {
        std::ifstream status("/proc/" + std::to_string(m_child.Pid()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return -1;
    }
    // The bench host can give its heap's free pages back first; other servers
    // answer their resident size as it is.
    void TrimsOnRequest() { m_trims = true; }
    long HeldKb()
    {
        if (!m_trims) return ResidentKb();
        const std::string line = Command("trim");
        return line.rfind("resident ", 0) == 0 ? std::stol(line.substr(9)) : -1;
    }
    // Run time of all the server's threads so far.
    double CpuMs() const
    {
        double ns = 0;
        std::error_code ec;
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(m_child.Pid()) + "/task", ec)) {
            std::ifstream stat(task.path() / "schedstat");
            double run = 0;
            if (stat >> run) ns += run;
        }
        return ns / 1e6;
    }

   private:
    CChildProcess m_child;
    uint16_t m_port = 0;
    long m_residentBeforeKb = 0;
    bool m_trims = false;
};

inline uint16_t FreePort()
{
    int err = 0;
    SocketHandle s = CreateListeningSocket("127.0.0.1", 0, &err);
    uint16_t port = ListeningPort(s);
    CloseSocketHandle(s);
    return port;
}
