#include "SimBank.h"

#include "SimRegisters.h"
#include "polling/Crc16.h"

#include <string>

namespace VireoSim {

namespace {
uint16_t Crc16Of(const std::string& text)
{
    return ModbusCrc16(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
}  // namespace

CSimBank::CSimBank(uint8_t slave, const std::array<uint32_t, 24>& models)
    : m_regs(kRegisterCount, 0), m_models(models), m_slave(slave)
{
    for (const SimBlock& block : kBlocks) {
        for (uint32_t k = 0; k < block.instances; ++k) {
            uint32_t first = block.first + uint32_t(block.stride) * k;
            for (uint32_t a = first; a < first + block.length; ++a) {
                m_mapped.set(a);
                if (block.writable) m_writable.set(a);
            }
        }
    }
    Fill(0);
}

void CSimBank::Set(uint32_t address, uint16_t value)
{
    address &= 0xFFFFu;
    m_regs[address] = value;
    m_pinned.set(address);
}

bool CSimBank::AllMapped(uint32_t start, uint32_t count) const
{
    for (uint32_t a = start; a < start + count; ++a) {
        if (!IsMapped(a)) return false;
    }
    return true;
}

bool CSimBank::AllWritable(uint32_t start, uint32_t count) const
{
    for (uint32_t a = start; a < start + count; ++a) {
        if (!IsWritable(a)) return false;
    }
    return true;
}

void CSimBank::Put(uint32_t address, uint16_t value)
{
    address &= 0xFFFFu;
    if (!m_pinned.test(address)) m_regs[address] = value;
}

void CSimBank::PutBits(uint32_t address, int shift, int width, uint32_t value)
{
    uint32_t mask = ((1u << width) - 1u) << shift;
    uint32_t reg = m_regs[address & 0xFFFFu];
    reg = (reg & ~mask) | ((value << shift) & mask);
    Put(address, uint16_t(reg));
}

void CSimBank::PutSeries(uint32_t address, int firstUnit, int width, int index, uint32_t value)
{
    int bit = (firstUnit + index) * width;
    PutBits(address + uint32_t(bit / 16), bit % 16, width, value);
}

void CSimBank::PutOdd16(uint32_t address, uint16_t value)
{
    PutBits(address, 8, 8, value & 0xFFu);
    PutBits(address + 1, 0, 8, value >> 8);
}

void CSimBank::PutOdd32(uint32_t address, uint32_t value)
{
    PutBits(address, 8, 8, value & 0xFFu);
    PutBits(address + 1, 0, 8, (value >> 8) & 0xFFu);
    PutBits(address + 1, 8, 8, (value >> 16) & 0xFFu);
    PutBits(address + 2, 0, 8, value >> 24);
}

void CSimBank::PutLowFirst32(uint32_t address, uint32_t value)
{
    Put(address, uint16_t(value & 0xFFFFu));
    Put(address + 1, uint16_t(value >> 16));
}

void CSimBank::Fill(int tick)
{
    m_tick = tick;
    FillMyPin();
    FillPasTypes();
    for (int n = 1; n <= kPuCount; ++n) FillPu(n, tick);
    for (int n = 1; n <= kPiCount; ++n) FillPi(n);
    for (int n = 1; n <= kPinCount; ++n) FillPin(n);
    for (int n = 1; n <= kPasCount; ++n) FillPas(n, tick);
    // After the PU blocks: names_crc shares registers with PU block D.
    for (int n = 1; n <= kCpiCount; ++n) FillCpi(n, tick);
    if (m_churn && tick != 0) Churn(tick);
}

void CSimBank::Churn(int t)
{
    for (uint32_t a = 0; a < kRegisterCount; ++a) {
        if (!m_mapped.test(a) || m_writable.test(a)) continue;
        // A cheap mix of address and tick: every bit flips about every other tick.
        uint32_t x = a * 0x9E3779B1u ^ uint32_t(t) * 0x85EBCA77u;
        x ^= x >> 15;
        x *= 0x2C1B3C6Du;
        Put(a, uint16_t(x ^ (x >> 16)));
    }
}

void CSimBank::FillMyPin()
{
    PutBits(MyPin(1), 8, 4, m_slave & 0xFu);
    PutBits(MyPin(1), 12, 4, kMyPinPowerContr);
    PutBits(MyPin(2), 0, 4, kMyPinVerLow);
    PutBits(MyPin(2), 4, 4, kMyPinVerHigh);
    for (int d = 1; d <= 76; ++d) {
        PutSeries(MyPin(3), 0, 1, d - 1, StaticConnected(d) ? 1 : 0);
        PutSeries(MyPin(8), 0, 1, d - 1, StaticDeviceError(d) ? 1 : 0);
    }
    PutBits(MyPin(17), 0, 8, kMyPinKernelVersion);
    PutBits(MyPin(17), 8, 8, kMyPinModelVersion);
    PutBits(MyPin(18), 0, 1, kMyPinPasLoopFlag ? 1 : 0);
}

void CSimBank::FillPasTypes()
{
    for (int n = 1; n <= kPasCount; ++n) {
        PutSeries(kPasTypeFirst, 0, 8, n - 1, PasTypeOfModel(PasModel(n)));
    }
}

void CSimBank::FillPu(int n, int t)
{
    for (int loop = 1; loop <= 20; ++loop) {
        PutSeries(PuA(n, 1), 0, 2, loop - 1, StaticLoopSignal(n, loop, t));
        PutSeries(PuA(n, 12), 4, 2, loop - 1, StaticLoopState(n, loop, t));
        PutSeries(PuB(n, 11), 0, 1, loop - 1, 1);  // Const.En_shl
        PutSeries(PuB(n, 13), 2, 4, loop - 1, StaticLoopType(loop));
        PutSeries(PuC(n, 1), 1, 8, loop - 1, StaticLoopSignals(loop, t));
    }
    for (int dev = 1; dev <= 10; ++dev) {
        PutSeries(PuA(n, 3), 2, 4, dev - 1, StaticDeviceSignal(n, dev, t));
        PutBits(PuB(n, dev), 0, 8, StaticDevName(dev));
        PutBits(PuB(n, dev), 8, 8, StaticDevNumber(dev));
        PutSeries(PuD(n, 1), 1, 8, dev - 1, StaticDeviceSignals(dev, t));
    }
    PutBits(PuA(n, 6), 0, 8, StaticPuStatus(n));
    PutBits(PuA(n, 7), 12, 4, StaticPuPum(n));
    uint32_t sound = kSoundEnabled ? 0x3FFu : 0u;
    PutBits(PuA(n, 8), 0, 10, sound);
    PutBits(PuA(n, 9), 0, 10, sound);
    PutBits(PuA(n, 10), 0, 10, sound);
    PutOdd16(PuA(n, 15), uint16_t(n));
    PutBits(PuB(n, 12), 8, 8, kPuKernelVersion);
    PutBits(PuB(n, 13), 0, 8, kPuKernelModel);
    PutBits(PuC(n, 1), 0, 8, kPuPacketSize1);
    PutBits(PuD(n, 1), 0, 8, kPuPacketSize2);
}

void CSimBank::FillPi(int n)
{
    PutBits(Pi(n, 1), 4, 4, kPiSwVersion);
    PutBits(Pi(n, 2), 0, 8, kPiKernelVersion);
    PutBits(Pi(n, 2), 8, 8, kPiKernelModel);
}

void CSimBank::FillCpi(int n, int t)
{
    for (int group = 1; group <= 64; ++group) {
        PutSeries(Cpi(n, 9), 2, 4, group - 1, StaticGroupStates(group, t));
    }
    PutBits(Cpi(n, 25), 8, 8, kCpiKernelVersion);
    PutBits(Cpi(n, 26), 0, 8, kCpiKernelModel);
    PutBits(Cpi(n, 26), 8, 1, 1);  // add_packet1_flag
    PutBits(Cpi(n, 26), 9, 3, StaticCpiType(n));
    PutBits(Cpi(n, 26), 12, 1, 1);  // synchro_time_on
    std::string name = "CPI_" + std::to_string(n);
    PutLowFirst32(Cpi2(n, 26), Crc32(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
}

void CSimBank::FillPin(int n)
{
    PutBits(Pin(n, 17), 8, 8, kPinKernelVersion);
    PutBits(Pin(n, 18), 0, 8, kPinKernelModel);
}

void CSimBank::FillPas(int n, int t)
{
    bool full = PasModel(n) != 0;
    uint8_t states[kPasSensors];
    uint8_t types[kPasSensors];
    for (int s = 1; s <= kPasSensors; ++s) {
        states[s - 1] = StaticSensorState(n, s, t);
        types[s - 1] = StaticSensorType(s);
        PutSeries(PasStateSensor(n, 1), 0, 8, s - 1, states[s - 1]);
        PutSeries(PasTypeSensor(n, 1), 0, 8, s - 1, types[s - 1]);
        PutSeries(PasZoneSensor(n, 1), 0, 8, s - 1, full ? StaticSensorZone(s) : 0);
    }
    for (int dev = 1; dev <= kPasSoundDevices; ++dev) {
        PutSeries(PasSound(n, 1), 1, 1, dev - 1, full && StaticSounding(dev, t) ? 1 : 0);
    }
    uint8_t zones[kPasZones];
    for (int z = 1; z <= kPasZones; ++z) zones[z - 1] = StaticZoneState(n, z, t);

    // The two variants lay the status block out differently; clear it so a
    // variant never shows the other's leftovers.
    for (int offset = 1; offset <= 28; ++offset) Put(PasStatus(n, offset), 0);
    if (full) {
        PutBits(PasStatus(n, 1), 9, 1, 1);  // pasType
        PutBits(PasStatus(n, 2), 8, 8, kPasFullKernel1Version);
        PutBits(PasStatus(n, 3), 0, 8, kPasKernel1Model);
        PutBits(PasStatus(n, 3), 8, 8, kPasFullKernel2Version);
        PutBits(PasStatus(n, 4), 0, 8, kPasKernel2Model);
        PutOdd32(PasStatus(n, 4), Crc32(types, kPasSensors));
        PutOdd32(PasStatus(n, 6), Crc32(states, kPasSensors));
        for (int z = 1; z <= kPasZones; ++z) PutSeries(PasStatus(n, 8), 1, 8, z - 1, zones[z - 1]);
    } else {
        PutBits(PasStatus(n, 2), 0, 8, kPasReducedKernel1Version);
        PutBits(PasStatus(n, 2), 8, 8, kPasKernel1Model);
        PutBits(PasStatus(n, 3), 0, 8, kPasReducedKernel2Version);
        PutBits(PasStatus(n, 3), 8, 8, kPasKernel2Model);
        std::string prefix = "PAS_" + std::to_string(n);
        Put(PasStatus(n, 4), ModbusCrc16(zones, kPasZones));
        Put(PasStatus(n, 5), ModbusCrc16(types, kPasSensors));
        Put(PasStatus(n, 6), Crc16Of(prefix + " zones"));
        Put(PasStatus(n, 7), Crc16Of(prefix + " devices"));
        Put(PasStatus(n, 8), ModbusCrc16(states, kPasSensors / 2));
        Put(PasStatus(n, 9), ModbusCrc16(states + kPasSensors / 2, kPasSensors / 2));
        // 5-bit fields k = 0..5 of the 32-bit value of registers 13 + 2p, 14 + 2p.
        for (int z = 1; z <= kPasZones; ++z) {
            int p = (z - 1) / 6;
            int bit = 5 * ((z - 1) % 6);
            uint32_t low = PasStatus(n, 13 + 2 * p);
            if (bit + 5 <= 16) {
                PutBits(low, bit, 5, zones[z - 1]);
            } else if (bit >= 16) {
                PutBits(low + 1, bit - 16, 5, zones[z - 1]);
            } else {
                PutBits(low, bit, 16 - bit, zones[z - 1]);
                PutBits(low + 1, 0, bit + 5 - 16, uint32_t(zones[z - 1]) >> (16 - bit));
            }
        }
    }
}

}  // namespace VireoSim
