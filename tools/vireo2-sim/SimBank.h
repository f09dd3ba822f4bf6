#pragma once
// The simulator's 65,536 holding registers and what the kit's devices keep
// in them.
#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

namespace VireoSim {

class CSimBank {
   public:
    static constexpr size_t kRegisterCount = 65536;

    // models[n - 1] is the model of PAS_n (0 reduced, other values full).
    CSimBank(uint8_t slave, const std::array<uint32_t, 24>& models);

    // Fills every block with the values of tick t (0 is the --static set).
    // Registers pinned by Set keep their value.
    void Fill(int tick);
    // From now on every tick but 0 also gives each register of the blocks
    // that takes no writes a value of its own for that tick, so most items change.
    void SetChurn(bool churn) { m_churn = churn; }

    uint16_t Get(uint32_t address) const { return m_regs[address & 0xFFFFu]; }
    // Sets a register from outside (control socket); pinned registers are
    // no longer changed by Fill.
    void Set(uint32_t address, uint16_t value);
    void Unpin(uint32_t address) { m_pinned.reset(address & 0xFFFFu); }

    // A register of a block (reads and writes of any other register fail).
    bool IsMapped(uint32_t address) const { return address < kRegisterCount && m_mapped.test(address); }
    bool IsWritable(uint32_t address) const { return address < kRegisterCount && m_writable.test(address); }
    bool AllMapped(uint32_t start, uint32_t count) const;
    bool AllWritable(uint32_t start, uint32_t count) const;

    // Stores a value written by a client (no pinning, no checks).
    void Store(uint32_t address, uint16_t value) { m_regs[address & 0xFFFFu] = value; }

    uint32_t PasModel(int n) const { return m_models[size_t(n - 1)]; }
    int Tick() const { return m_tick; }

   private:
    void Put(uint32_t address, uint16_t value);
    void PutBits(uint32_t address, int shift, int width, uint32_t value);
    // Unit `index` of a series of `width`-bit units starting at unit
    // `firstUnit` of register `address`, continuing into the next registers.
    void PutSeries(uint32_t address, int firstUnit, int width, int index, uint32_t value);
    // 16/32-bit little-endian value starting at the high byte of `address`.
    void PutOdd16(uint32_t address, uint16_t value);
    void PutOdd32(uint32_t address, uint32_t value);
    void PutLowFirst32(uint32_t address, uint32_t value);

    void FillMyPin();
    void FillPasTypes();
    void FillPu(int n, int t);
    void FillPi(int n);
    void FillCpi(int n, int t);
    void FillPin(int n);
    void FillPas(int n, int t);
    void Churn(int t);

    std::vector<uint16_t> m_regs;
    std::bitset<kRegisterCount> m_mapped;
    std::bitset<kRegisterCount> m_writable;
    std::bitset<kRegisterCount> m_pinned;
    std::array<uint32_t, 24> m_models;
    uint8_t m_slave;
    int m_tick = 0;
    bool m_churn = false;
};

}  // namespace VireoSim
