#include "support/ModbusPeers.h"

#include "support/LoopbackSockets.h"

#include <cstdlib>
#include <poll.h>
#include <unistd.h>

uint16_t PeerRegisterValue(size_t index)
{
    return static_cast<uint16_t>(kPeerRegisterBase + index * kPeerRegisterStep);
}

uint16_t PeerInputValue(size_t index)
{
    return static_cast<uint16_t>(kPeerInputBase + index * kPeerRegisterStep);
}

std::vector<uint16_t> PeerRegisters(size_t count)
{
    std::vector<uint16_t> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = PeerRegisterValue(i);
    return values;
}

Bytes PeerRegisterBytes(size_t start, size_t count)
{
    Bytes out;
    for (size_t i = start; i < start + count; ++i) {
        out.push_back(static_cast<uint8_t>(PeerRegisterValue(i) >> 8));
        out.push_back(static_cast<uint8_t>(PeerRegisterValue(i) & 0xFF));
    }
    return out;
}

namespace TestSupport {

modbus_mapping_t* MakeMapping(size_t registers)
{
    const int count = static_cast<int>(registers);
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, count, count);
    if (mapping != nullptr) {
        for (size_t i = 0; i < registers; ++i) {
            mapping->tab_registers[i] = PeerRegisterValue(i);
            mapping->tab_input_registers[i] = PeerInputValue(i);
        }
    }
    return mapping;
}

}  // namespace TestSupport

namespace {

void CloseContext(modbus_t** ctx)
{
    if (*ctx == nullptr) return;
    modbus_close(*ctx);
    modbus_free(*ctx);
    *ctx = nullptr;
}

void FreeMapping(modbus_mapping_t** mapping)
{
    if (*mapping != nullptr) modbus_mapping_free(*mapping);
    *mapping = nullptr;
}

std::vector<uint16_t> HoldingOf(const modbus_mapping_t* mapping)
{
    if (mapping == nullptr) return {};
    return std::vector<uint16_t>(mapping->tab_registers, mapping->tab_registers + mapping->nb_registers);
}

}  // namespace

// ---------------------------------------------------------------- RTU server

CModbusRtuServer::~CModbusRtuServer()
{
    Stop();
    FreeMapping(&m_mapping);
}

bool CModbusRtuServer::Start(const std::string& device, int baud, char parity, size_t registers, int slave)
{
    Stop();
    FreeMapping(&m_mapping);
    m_mapping = TestSupport::MakeMapping(registers);
    m_ctx = modbus_new_rtu(device.c_str(), baud, parity, 8, 1);
    if (m_mapping == nullptr || m_ctx == nullptr || modbus_set_slave(m_ctx, slave) != 0 ||
        modbus_connect(m_ctx) != 0) {
        Stop();
        return false;
    }
    // Short indication timeout: the loop comes back to look at the stop flag.
    modbus_set_indication_timeout(m_ctx, 0, 100000);
    m_stop = false;
    m_thread = std::thread([this] {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!m_stop) {
            const int rc = modbus_receive(m_ctx, query);
            if (rc > 0) modbus_reply(m_ctx, query, rc, m_mapping);
        }
    });
    return true;
}

void CModbusRtuServer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    CloseContext(&m_ctx);
}

std::vector<uint16_t> CModbusRtuServer::Holding() const
{
    return HoldingOf(m_mapping);
}

// ---------------------------------------------------------------- TCP server

CModbusTcpServer::~CModbusTcpServer()
{
    Stop();
    FreeMapping(&m_mapping);
}

bool CModbusTcpServer::Start(uint16_t port, size_t registers)
{
    Stop();
    FreeMapping(&m_mapping);
    m_mapping = TestSupport::MakeMapping(registers);
    m_ctx = modbus_new_tcp("127.0.0.1", port);
    if (m_mapping == nullptr || m_ctx == nullptr) {
        Stop();
        return false;
    }
    m_listen = modbus_tcp_listen(m_ctx, 4);
    if (m_listen < 0) {
        Stop();
        return false;
    }
    m_port = TestSupport::BoundPort(m_listen);
    modbus_set_indication_timeout(m_ctx, 1, 0);
    m_stop = false;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void CModbusTcpServer::Serve()
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!m_stop) {
        const int connection = modbus_get_socket(m_ctx);
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {connection, POLLIN, 0}};
        const int ready = ::poll(fds, connection >= 0 ? 2 : 1, 100);
        if (ready <= 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            if (connection >= 0) modbus_close(m_ctx);
            if (modbus_tcp_accept(m_ctx, &m_listen) >= 0) ++m_accepted;
            continue;
        }
        if (connection >= 0 && fds[1].revents != 0) {
            const int rc = modbus_receive(m_ctx, query);
            if (rc > 0) {
                ++m_requests;
                modbus_reply(m_ctx, query, rc, m_mapping);
            } else if (rc < 0) {
                modbus_close(m_ctx);  // the client went away
            }
        }
    }
}

void CModbusTcpServer::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    CloseContext(&m_ctx);
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
}

std::vector<uint16_t> CModbusTcpServer::Holding() const
{
    return HoldingOf(m_mapping);
}

// ---------------------------------------------------------------- pymodbus

bool CPymodbusUdpServer::Start(size_t registers)
{
    Stop();
    if (!m_python.Start(
            {"/usr/bin/python3", VIREO_UDP_SERVER_SCRIPT, "--count", std::to_string(registers), "--base",
             std::to_string(kPeerRegisterBase), "--step", std::to_string(kPeerRegisterStep)},
            CChildProcess::kStdin | CChildProcess::kStdout)) {
        return false;
    }
    std::string line;
    if (!m_python.ReadLine(false, &line, std::chrono::seconds(20)) || line.rfind("PORT ", 0) != 0) {
        Stop();
        return false;
    }
    m_port = static_cast<uint16_t>(std::atoi(line.c_str() + 5));
    return m_port != 0;
}

void CPymodbusUdpServer::Stop()
{
    m_python.Stop();  // closing its stdin ends it
    m_port = 0;
}
