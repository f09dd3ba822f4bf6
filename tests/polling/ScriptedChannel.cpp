#include "polling/ScriptedChannel.h"

#include <algorithm>
#include <cstring>
#include <thread>

uint16_t TestCrc16(const uint8_t* data, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

void AppendTestCrc(Bytes& frame)
{
    const uint16_t crc = TestCrc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

ScriptedChannel::ScriptedChannel(uint8_t kind, const char* name) : CLevelChannel(kind), m_registers(65536, 0)
{
    SetName(name);
    // Short silences keep the tests quick; tests that need more set it.
    Settings().m_responseTimeout = 20;
    Settings().m_pauseBeforeRequest = 0;
}

ScriptedChannel::~ScriptedChannel()
{
    Shutdown();
}

int ScriptedChannel::Open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_opens;
    m_calls.push_back("Open");
    if (m_openFails) {
        SetState(kChannelOpeningFailed);
        return -1;
    }
    SetState(kChannelOpen);
    return 0;
}

void ScriptedChannel::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_closes;
    m_calls.push_back("Close");
    m_arrivals.clear();
    SetState(kChannelClosed);
}

void ScriptedChannel::Script(DeviceAction action)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.push_back(std::move(action));
}

void ScriptedChannel::Script(std::initializer_list<DeviceAction> actions)
{
    for (const DeviceAction& a : actions) {
        Script(a);
    }
}

void ScriptedChannel::SetReplyDelay(uint32_t ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyDelayMs = ms;
}

void ScriptedChannel::SetSilentEvery(size_t n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silentEvery = n;
}

void ScriptedChannel::SetOpenFails(bool fails)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openFails = fails;
}

void ScriptedChannel::SetDeviceCipher(EncryptPacketFunction encrypt, DecryptPacketFunction decrypt,
                                      std::string ansiKey)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_encrypt = encrypt;
    m_decrypt = decrypt;
    std::memset(m_key, 0, sizeof m_key);
    std::memcpy(m_key, ansiKey.data(), std::min(ansiKey.size(), sizeof m_key));
}

void ScriptedChannel::OnRequest(std::function<void(size_t)> hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onRequest = std::move(hook);
}

void ScriptedChannel::SetRegister(uint16_t address, uint16_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registers[address] = value;
}

uint16_t ScriptedChannel::Register(uint16_t address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registers[address];
}

DeviceRequest ScriptedChannel::ParseRequest(const Bytes& frame) const
{
    DeviceRequest r;
    Bytes pdu;
    if (IsTcp()) {
        if (frame.size() < 8) return r;
        const size_t length = (frame[4] << 8) | frame[5];
        if (frame[2] != 0 || frame[3] != 0 || length + 6 != frame.size() ||
            frame[6] != Settings().m_slaveAddress) {
            return r;
        }
        pdu.assign(frame.begin() + 7, frame.end());
    } else {
        if (frame.size() < 4) return r;
        const uint16_t crc = TestCrc16(frame.data(), frame.size() - 2);
        if (frame[frame.size() - 2] != (crc & 0xFF) || frame[frame.size() - 1] != (crc >> 8)) return r;
        if (frame[0] != Settings().m_slaveAddress) return r;
        pdu.assign(frame.begin() + 1, frame.end() - 2);
    }
    if (pdu.size() < 5) return r;
    r.m_function = pdu[0];
    r.m_start = static_cast<uint16_t>((pdu[1] << 8) | pdu[2]);
    r.m_count = static_cast<uint16_t>((pdu[3] << 8) | pdu[4]);
    if (r.m_function == 3) {
        r.m_valid = pdu.size() == 5 && r.m_count >= 1 && r.m_count <= 125;
    } else if (r.m_function == 16) {
        if (pdu.size() < 6 || pdu[5] != 2 * r.m_count || pdu.size() != 6u + 2u * r.m_count) return r;
        for (size_t i = 0; i < r.m_count; ++i) {
            r.m_values.push_back(static_cast<uint16_t>((pdu[6 + 2 * i] << 8) | pdu[7 + 2 * i]));
        }
        r.m_valid = r.m_count >= 1;
    }
    return r;
}

Bytes ScriptedChannel::BuildReply(const Bytes& request, const DeviceRequest& parsed,
                                  const DeviceAction& action)
{
    if (action.m_kind == DeviceAction::Kind::kRaw) {
        return action.m_bytes;
    }
    Bytes pdu;
    if (!parsed.m_valid || action.m_kind == DeviceAction::Kind::kException) {
        pdu = {static_cast<uint8_t>(parsed.m_function | 0x80u),
               action.m_kind == DeviceAction::Kind::kException ? action.m_exceptionCode : uint8_t{1}};
    } else if (parsed.m_function == 3) {
        uint32_t count = parsed.m_count;
        if (action.m_kind == DeviceAction::Kind::kFewer) {
            count = count > action.m_count ? count - action.m_count : 0;
        }
        pdu.push_back(3);
        pdu.push_back(static_cast<uint8_t>(2 * count));
        for (uint32_t i = 0; i < count; ++i) {
            const uint16_t value = m_registers[static_cast<uint16_t>(parsed.m_start + i)];
            pdu.push_back(static_cast<uint8_t>(value >> 8));
            pdu.push_back(static_cast<uint8_t>(value & 0xFF));
        }
    } else {
        for (size_t i = 0; i < parsed.m_values.size(); ++i) {
            m_registers[static_cast<uint16_t>(parsed.m_start + i)] = parsed.m_values[i];
        }
        pdu = {16, static_cast<uint8_t>(parsed.m_start >> 8), static_cast<uint8_t>(parsed.m_start & 0xFF),
               static_cast<uint8_t>(parsed.m_count >> 8), static_cast<uint8_t>(parsed.m_count & 0xFF)};
    }
    uint8_t address = Settings().m_slaveAddress;
    if (action.m_kind == DeviceAction::Kind::kForeignAddress) {
        address = static_cast<uint8_t>(address + 1);
    }
    Bytes reply;
    if (IsTcp()) {
        reply = {request.size() > 1 ? request[0] : uint8_t{0},
                 request.size() > 1 ? request[1] : uint8_t{0},
                 0,
                 0,
                 static_cast<uint8_t>((pdu.size() + 1) >> 8),
                 static_cast<uint8_t>((pdu.size() + 1) & 0xFF),
                 address};
        reply.insert(reply.end(), pdu.begin(), pdu.end());
        if (action.m_kind == DeviceAction::Kind::kBadCrc) {
            reply.push_back(0);
        }
    } else {
        reply.push_back(address);
        reply.insert(reply.end(), pdu.begin(), pdu.end());
        AppendTestCrc(reply);
        if (action.m_kind == DeviceAction::Kind::kBadCrc) {
            reply.back() ^= 0xFF;
        }
    }
    return reply;
}

int ScriptedChannel::Send(uint8_t* bytes, uint32_t* length)
{
    (void)CLevelChannel::Send(bytes, length);
    std::function<void(size_t)> hook;
    size_t number = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (bytes == nullptr || length == nullptr) {
            ++m_drains;
            return 0;
        }
        Bytes wire(bytes, bytes + *length);
        m_wire.push_back(wire);
        m_requestTimes.push_back(std::chrono::steady_clock::now());
        Bytes request = wire;
        if (m_decrypt != nullptr) {
            Bytes plain(wire.size() + 16, 0);
            int32_t plainLength = 0;
            if (m_decrypt(m_key, wire.data(), static_cast<int32_t>(wire.size()), plain.data(),
                          &plainLength) == 0) {
                plain.resize(std::min<size_t>(static_cast<size_t>(plainLength), plain.size()));
                request = plain;
            } else {
                request.clear();
            }
        }
        m_requests.push_back(request);
        const DeviceRequest parsed = ParseRequest(request);
        m_parsed.push_back(parsed);

        DeviceAction action;
        if (!m_script.empty()) {
            action = m_script.front();
            m_script.pop_front();
        } else if (m_silentEvery != 0 && m_wire.size() % m_silentEvery == 0) {
            action = DeviceAction::Silence();
        }
        if (action.m_kind != DeviceAction::Kind::kSilence) {
            Bytes reply = BuildReply(request, parsed, action);
            if (m_encrypt != nullptr && action.m_kind != DeviceAction::Kind::kRaw) {
                Bytes packet(reply.size() + 32, 0);
                int32_t packetLength = 0;
                m_encrypt(m_key, reply.data(), static_cast<int32_t>(reply.size()), packet.data(),
                          &packetLength);
                packet.resize(static_cast<size_t>(packetLength));
                reply = packet;
            }
            if (action.m_kind == DeviceAction::Kind::kCutShort) {
                reply.resize(std::min<size_t>(reply.size(), action.m_count));
            }
            const auto at =
                std::chrono::steady_clock::now() +
                std::chrono::milliseconds(action.m_delayMs != 0 ? action.m_delayMs : m_replyDelayMs);
            if (action.m_pieces.empty()) {
                m_arrivals.push_back({reply, at});
            } else {
                size_t offset = 0;
                for (size_t piece : action.m_pieces) {
                    const size_t n = std::min(piece, reply.size() - offset);
                    m_arrivals.push_back({Bytes(reply.begin() + offset, reply.begin() + offset + n), at});
                    offset += n;
                }
                if (offset < reply.size()) {
                    m_arrivals.push_back({Bytes(reply.begin() + offset, reply.end()), at});
                }
            }
        }
        number = m_wire.size();
        hook = m_onRequest;
    }
    m_sent.notify_all();
    if (hook) {
        hook(number);
    }
    return 0;
}

int ScriptedChannel::Receive(uint8_t* bytes, uint32_t* length)
{
    if (bytes == nullptr || length == nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_drains;
        m_arrivals.clear();
        return 0;
    }
    const auto timeout = std::chrono::milliseconds(Settings().m_responseTimeout);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_receiveAsks.push_back(*length);
    if (m_arrivals.empty()) {
        // Silence: a real transport waits its whole response timeout.
        lock.unlock();
        std::this_thread::sleep_for(timeout);
        *length = 0;
        return 0;
    }
    Arrival& next = m_arrivals.front();
    const auto now = std::chrono::steady_clock::now();
    if (next.m_at > now) {
        const auto wait = std::min<std::chrono::steady_clock::duration>(next.m_at - now, timeout);
        lock.unlock();
        std::this_thread::sleep_for(wait);
        lock.lock();
        if (m_arrivals.empty() || m_arrivals.front().m_at > std::chrono::steady_clock::now()) {
            *length = 0;
            return 0;
        }
    }
    Arrival& arrival = m_arrivals.front();
    const size_t n = std::min<size_t>(*length, arrival.m_bytes.size());
    std::memcpy(bytes, arrival.m_bytes.data(), n);
    arrival.m_bytes.erase(arrival.m_bytes.begin(), arrival.m_bytes.begin() + static_cast<ptrdiff_t>(n));
    if (arrival.m_bytes.empty()) {
        m_arrivals.pop_front();
    }
    lock.unlock();
    *length = static_cast<uint32_t>(n);
    (void)CLevelChannel::Receive(bytes, length);
    return 0;
}

std::vector<Bytes> ScriptedChannel::Wire() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wire;
}

std::vector<Bytes> ScriptedChannel::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<DeviceRequest> ScriptedChannel::Parsed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_parsed;
}

std::vector<uint32_t> ScriptedChannel::ReceiveAsks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_receiveAsks;
}

size_t ScriptedChannel::RequestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wire.size();
}

std::vector<std::string> ScriptedChannel::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

int ScriptedChannel::Opens() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
}

int ScriptedChannel::Closes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closes;
}

int ScriptedChannel::Drains() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drains;
}

std::vector<std::chrono::steady_clock::time_point> ScriptedChannel::RequestTimes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requestTimes;
}

bool ScriptedChannel::WaitForRequests(size_t n, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_sent.wait_for(lock, limit, [&] { return m_wire.size() >= n; });
}

void ScriptedChannel::ClearRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wire.clear();
    m_requests.clear();
    m_parsed.clear();
    m_receiveAsks.clear();
    m_requestTimes.clear();
    m_drains = 0;
}
