#pragma once
// The items a session holds, by item ID. A read of ten thousand items looks up
// ten thousand IDs, so the table is open addressing over a flat array of
// (hash, entry) slots, and entries stay where they are until erased (callers
// keep pointers to them within one call).

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ua {

template <typename Value>
class CHeldItems {
   public:
    Value* Find(std::string_view id) { return m_slots.empty() ? nullptr : Find(id, Hash(id)); }
    Value* Find(std::string_view id, uint64_t h)
    {
        for (size_t i = h & Mask();; i = (i + 1) & Mask()) {
            const Slot& s = m_slots[i];
            if (s.entry == 0) return nullptr;
            Entry& e = m_entries[s.entry - 1];
            if (s.hash == h && e.id == id) return &e.value;
        }
    }
    // Find for many IDs at once. The lookups of a long list miss the caches
    // one after the other, so the slots, entries and ID texts of the lookups
    // a few steps ahead are fetched while the current one is compared.
    void FindAll(const std::vector<std::string_view>& ids, std::vector<Value*>* out)
    {
        out->assign(ids.size(), nullptr);
        if (m_slots.empty()) return;
        std::vector<uint64_t> hashes(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) hashes[i] = Hash(ids[i]);
        auto slotOf = [&](size_t i) -> const Slot& { return m_slots[hashes[i] & Mask()]; };
        for (size_t i = 0; i < ids.size(); ++i) {
            if (i + 16 < ids.size()) __builtin_prefetch(&slotOf(i + 16));
            if (i + 8 < ids.size() && slotOf(i + 8).entry != 0)
                __builtin_prefetch(&m_entries[slotOf(i + 8).entry - 1]);
            if (i + 4 < ids.size() && slotOf(i + 4).entry != 0)
                __builtin_prefetch(m_entries[slotOf(i + 4).entry - 1].id.data());
            (*out)[i] = Find(ids[i], hashes[i]);
        }
    }
    // Adds an ID that is not there yet.
    Value* Insert(std::string_view id, const Value& value)
    {
        if ((m_size + 1) * 4 > m_slots.size() * 3) Grow();
        uint32_t index;
        if (!m_free.empty()) {
            index = m_free.back();
            m_free.pop_back();
            m_entries[index] = Entry{std::string(id), value};
        } else {
            index = static_cast<uint32_t>(m_entries.size());
            m_entries.push_back(Entry{std::string(id), value});
        }
        Place(Slot{Hash(id), index + 1});
        ++m_size;
        return &m_entries[index].value;
    }
    void Erase(std::string_view id)
    {
        if (m_slots.empty()) return;
        const uint64_t h = Hash(id);
        for (size_t i = h & Mask();; i = (i + 1) & Mask()) {
            if (m_slots[i].entry == 0) return;
            if (m_slots[i].hash == h && m_entries[m_slots[i].entry - 1].id == id) {
                EraseSlot(i);
                return;
            }
        }
    }
    // Erases the entries the predicate picks, after showing each to `taken`.
    template <typename Pick, typename Taken>
    void EraseIf(Pick pick, Taken taken)
    {
        for (size_t i = 0; i < m_slots.size();) {
            const uint32_t entry = m_slots[i].entry;
            if (entry != 0 && pick(m_entries[entry - 1].value)) {
                taken(m_entries[entry - 1].value);
                EraseSlot(i);  // a later entry may have moved here: look again
            } else {
                ++i;
            }
        }
    }
    size_t Size() const { return m_size; }
    void Clear()
    {
        m_slots.clear();
        m_entries.clear();
        m_free.clear();
        m_size = 0;
    }

   private:
    struct Entry {
        std::string id;
        Value value;
    };
    struct Slot {
        uint64_t hash = 0;
        uint32_t entry = 0;  // index + 1 into m_entries; 0: empty
    };
    static uint64_t Hash(std::string_view id) { return std::hash<std::string_view>{}(id); }
    size_t Mask() const { return m_slots.size() - 1; }
    void Place(const Slot& slot)
    {
        size_t i = slot.hash & Mask();
        while (m_slots[i].entry != 0) i = (i + 1) & Mask();
        m_slots[i] = slot;
    }
    void Grow()
    {
        std::vector<Slot> old;
        old.swap(m_slots);
        m_slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        for (const Slot& s : old)
            if (s.entry != 0) Place(s);
    }
    // Backward-shift deletion: later slots of the probe run move up when their
    // home allows, so lookups need no tombstones.
    void EraseSlot(size_t i)
    {
        const uint32_t entry = m_slots[i].entry - 1;
        m_entries[entry] = Entry{};
        m_free.push_back(entry);
        --m_size;
        for (size_t j = (i + 1) & Mask(); m_slots[j].entry != 0; j = (j + 1) & Mask()) {
            const size_t home = m_slots[j].hash & Mask();
            const bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                m_slots[i] = m_slots[j];
                i = j;
            }
        }
        m_slots[i] = Slot{};
    }

    std::vector<Slot> m_slots;
    std::deque<Entry> m_entries;
    std::vector<uint32_t> m_free;
    size_t m_size = 0;
};

}  // namespace ua
