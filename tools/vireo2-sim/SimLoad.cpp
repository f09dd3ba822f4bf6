// vireo2-sim-load: how many requests per second a Modbus TCP slave answers,
// measured with libmodbus masters, one thread and one connection each.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <modbus/modbus.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct LoadOptions {
    std::string host = "127.0.0.1";
    int port = 502;
    int connections = 4;
    double seconds = 3.0;
    int address = 3500;
    int count = 120;
    int slave = 1;
};

void Usage(FILE* to)
{
    std::fputs(
        "Usage: vireo2-sim-load --port PORT [--host ADDR] [--connections N] [--seconds S]\n"
        "                       [--address A] [--count C] [--slave U]\n"
        "Reads C holding registers from A (3500, 120: the longest request the server makes)\n"
        "over N Modbus TCP connections (4) for S seconds (3) and prints\n"
        "  requests=R failures=F seconds=S rate=X req/s\n"
        "Exit status 0 when no request failed.\n",
        to);
}

}  // namespace

int main(int argc, char** argv)
{
    LoadOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vireo2-sim-load: %s needs a value\n", a.c_str());
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--host") {
            o.host = v;
        } else if (a == "--port") {
            o.port = std::atoi(v);
        } else if (a == "--connections") {
            o.connections = std::atoi(v);
        } else if (a == "--seconds") {
            o.seconds = std::atof(v);
        } else if (a == "--address") {
            o.address = std::atoi(v);
        } else if (a == "--count") {
            o.count = std::atoi(v);
        } else if (a == "--slave") {
            o.slave = std::atoi(v);
        } else {
            std::fprintf(stderr, "vireo2-sim-load: unknown option '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (o.port <= 0 || o.port > 65535 || o.connections < 1 || o.connections > 256 || o.seconds <= 0 ||
        o.count < 1 || o.count > 125) {
        std::fputs("vireo2-sim-load: bad value (port 1..65535, connections 1..256, count 1..125)\n", stderr);
        return 2;
    }
    std::vector<modbus_t*> masters;
    for (int c = 0; c < o.connections; ++c) {
        modbus_t* ctx = modbus_new_tcp(o.host.c_str(), o.port);
        if (ctx == nullptr || modbus_connect(ctx) != 0) {
            std::fprintf(stderr, "vireo2-sim-load: cannot connect to %s:%d: %s\n", o.host.c_str(), o.port,
                         modbus_strerror(errno));
            return 1;
        }
        modbus_set_slave(ctx, o.slave);
        modbus_set_response_timeout(ctx, 2, 0);
        masters.push_back(ctx);
    }
    std::atomic<long> requests{0}, failures{0};
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::duration<double>(o.seconds);
    std::vector<std::thread> threads;
    for (modbus_t* ctx : masters) {
        threads.emplace_back([&, ctx] {
            std::vector<uint16_t> regs(size_t(o.count));
            long done = 0, failed = 0;
            while (std::chrono::steady_clock::now() < deadline) {
                if (modbus_read_registers(ctx, o.address, o.count, regs.data()) == o.count) {
                    ++done;
                } else {
                    ++failed;
                }
            }
            requests += done;
            failures += failed;
        });
    }
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (modbus_t* ctx : masters) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    std::printf("requests=%ld failures=%ld seconds=%.2f rate=%.0f req/s\n", requests.load(), failures.load(),
                seconds, double(requests.load()) / seconds);
    return failures.load() == 0 ? 0 : 1;
}
