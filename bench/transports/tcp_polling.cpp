// Transactions per second of a TCP channel polling a fixed set of items (the
// readable items of ten windows of registers, no pause before a request)
// next to a libmodbus client issuing the same requests, both against one
// libmodbus server on loopback, in alternating rounds of one run. A window
// of 120 registers is what the exchange merges into one request at most;
// where the item space has a gap, a window takes more than one request. Prints both rates and the ratio
// ours / libmodbus. A third figure reads the same items through
// ReadRequested (the on-demand read of the DA callback), which plans from the
// given items instead of looking through the whole item space for those in
// use: the difference between the two is the poll's own collecting.
//
//   bench_tcp_polling [ROUNDS] [SECONDS_PER_ROUND] [REGISTERS_PER_WINDOW]
//
// The passes run back to back on this thread through the channel's device
// exchange (what the polling thread does at every turn when its period is 0,
// without the 50 ms turn itself).
#include "app/SingleVectors.h"
#include "config/LevelRoot.h"
#include "opcda/DATag.h"
#include "platform/HResult.h"
#include "transports/ChannelFactory.h"
#include "transports/LevelChannelTCP.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <modbus.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Request = std::pair<int, int>;  // start, count

constexpr int kRegisters = 65536;
// Ten windows of registers in the dense parts of the item space.
constexpr int kWindows[] = {32000, 32400, 33000, 34000, 35000, 40000, 40400, 41000, 42000, 43000};
constexpr int kDefaultWindowRegisters = 100;

// A libmodbus server serving any number of connections on one thread.
class Server {
   public:
    ~Server() { Stop(); }
    bool Start()
    {
        m_mapping = modbus_mapping_new(0, 0, kRegisters, 0);
        m_ctx = modbus_new_tcp("127.0.0.1", 0);
        if (m_mapping == nullptr || m_ctx == nullptr) return false;
        for (int i = 0; i < kRegisters; ++i) m_mapping->tab_registers[i] = static_cast<uint16_t>(i * 7 + 1);
        m_listen = modbus_tcp_listen(m_ctx, 8);
        if (m_listen < 0) return false;
        sockaddr_in a{};
        socklen_t size = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &size);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
        return true;
    }
    // Every way out of the program stops it: a thread left running would abort the program.
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        for (int fd : m_clients) ::close(fd);
        m_clients.clear();
        if (m_listen >= 0) ::close(m_listen);
        m_listen = -1;
        if (m_ctx != nullptr) modbus_free(m_ctx);
        m_ctx = nullptr;
        if (m_mapping != nullptr) modbus_mapping_free(m_mapping);
        m_mapping = nullptr;
    }
    uint16_t Port() const { return m_port; }
    uint64_t Requests() const { return m_requests.load(); }
    // The (start, count) of every request from now on, until taken.
    void Record(bool on)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_recording = on;
        m_recorded.clear();
    }
    std::vector<Request> Recorded()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_recorded;
    }

   private:
    void Serve()
    {
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            for (int fd : m_clients) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept(m_listen, nullptr, nullptr);
                if (fd >= 0) {
                    const int one = 1;
                    ::setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
                    m_clients.push_back(fd);
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                modbus_set_socket(m_ctx, fds[i].fd);
                const int rc = modbus_receive(m_ctx, query);
                if (rc > 0) {
                    {
                        std::lock_guard<std::mutex> g(m_mutex);
                        if (m_recording)
                            m_recorded.emplace_back(query[8] << 8 | query[9], query[10] << 8 | query[11]);
                    }
                    ++m_requests;
                    modbus_reply(m_ctx, query, rc, m_mapping);
                } else if (rc < 0) {
                    ::close(fds[i].fd);
                    m_clients.erase(std::find(m_clients.begin(), m_clients.end(), fds[i].fd));
                }
            }
        }
    }

    modbus_t* m_ctx = nullptr;
    modbus_mapping_t* m_mapping = nullptr;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::vector<int> m_clients;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_requests{0};
    std::mutex m_mutex;
    bool m_recording = false;
    std::vector<Request> m_recorded;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const double seconds = argc > 2 ? std::max(0.1, std::atof(argv[2])) : 1.0;
    const int windowRegisters = argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 120) : kDefaultWindowRegisters;

    Server server;
    if (!server.Start()) {
        std::fprintf(stderr, "libmodbus server did not start\n");
        return 1;
    }

    // Our side: a TCP channel with its real item space, the items of the ten windows in use.
    CLevelRoot root;
    std::unique_ptr<CLevelChannel> owned = CreateChannel(kKindChannelTCP);
    CLevelChannel* channel = owned.get();
    channel->SetName("Bench");
    static_cast<CLevelChannelTCP*>(channel)->ConnectionSettings() = {0x7F000001, server.Port(), 1000};
    channel->Settings().m_pauseBeforeRequest = 0;
    channel->Settings().m_responseTimeout = 1000;
    channel->Initialise();
    root.AddLevel(std::move(owned));
    channel->Build();
    std::vector<CDATag*> used;
    for (CDATag* item : channel->Exchange().Items()) {
        for (int w : kWindows) {
            if (item->IsReadable() && item->AccessMode() == kAccessRead && item->Address() >= w &&
                item->Address() < w + windowRegisters) {
                item->AddRef();
                used.push_back(item);
                break;
            }
        }
    }

    server.Record(true);
    if (channel->Exchange().Poll() != 0) {
        std::fprintf(stderr, "the first pass failed\n");
        return 1;
    }
    const std::vector<Request> requests = server.Recorded();
    server.Record(false);
    if (requests.empty()) {
        std::fprintf(stderr, "a pass sent no request\n");
        return 1;
    }
    int registers = 0;
    for (const Request& r : requests) registers += r.second;

    const std::unique_ptr<modbus_t, void (*)(modbus_t*)> owner(modbus_new_tcp("127.0.0.1", server.Port()),
                                                               [](modbus_t* c) {
                                                                   modbus_close(c);
                                                                   modbus_free(c);
                                                               });
    modbus_t* client = owner.get();
    if (client == nullptr || modbus_connect(client) != 0) {
        std::fprintf(stderr, "libmodbus client did not connect\n");
        return 1;
    }
    uint16_t values[MODBUS_MAX_READ_REGISTERS];

    std::printf("%zu items in use, %zu requests per pass, %d registers per pass\n", used.size(),
                requests.size(), registers);
    std::vector<HRESULT> errors(used.size(), S_OK);
    std::vector<double> ours, direct, theirs, ratios, directRatios;
    const auto span = std::chrono::duration<double>(seconds);
    // Transactions per second of a pass function run for the round's time; 0 when a pass failed.
    auto measure = [&](const auto& pass) {
        uint64_t done = 0;
        const auto start = Clock::now();
        while (Clock::now() - start < span) {
            if (!pass()) return 0.0;
            done += requests.size();
        }
        return done / std::chrono::duration<double>(Clock::now() - start).count();
    };
    for (int round = 0; round < rounds; ++round) {
        const double pollRate = measure([&] { return channel->Exchange().Poll() == 0; });
        const double directRate = measure([&] {
            return channel->Exchange().ReadRequested(static_cast<uint32_t>(used.size()), used.data(),
                                                     errors.data()) == 0;
        });
        const double theirRate = measure([&] {
            for (const Request& r : requests) {
                if (modbus_read_registers(client, r.first, r.second, values) != r.second) return false;
            }
            return true;
        });
        if (pollRate == 0 || directRate == 0 || theirRate == 0) {
            std::fprintf(stderr, "a pass failed in round %d\n", round + 1);
            return 1;
        }
        ours.push_back(pollRate);
        direct.push_back(directRate);
        theirs.push_back(theirRate);
        ratios.push_back(pollRate / theirRate);
        directRatios.push_back(directRate / theirRate);
        std::printf("round %d: poll %.0f, read on demand %.0f, libmodbus %.0f transactions/s; ratio %.3f\n",
                    round + 1, pollRate, directRate, theirRate, pollRate / theirRate);
    }
    std::printf("median transactions/s: poll %.0f, read on demand %.0f, libmodbus %.0f\n", Median(ours),
                Median(direct), Median(theirs));
    std::printf("read on demand / libmodbus: %.3f\n", Median(directRatios));
    std::printf("ratio ours/libmodbus: %.3f\n", Median(ratios));

    for (CDATag* item : used) item->Release();
    return 0;
}
