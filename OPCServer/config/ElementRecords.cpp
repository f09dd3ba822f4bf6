// The configuration file records of the stored elements: the base's header
// and name, the root's statistics settings, a channel's settings and key.
#include "config/ConfigStream.h"
#include "config/LevelChannel.h"
#include "config/LevelElementBase.h"
#include "config/LevelRoot.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdint>

namespace {

// A UTF-16 text as the file holds it; a length field has 16 bits, so
// nothing beyond 65535 units is written.
std::u16string StoredUnits(std::string_view text)
{
    std::u16string units = Utf8ToUtf16(text);
    units.resize(std::min<size_t>(units.size(), UINT16_MAX));
    return units;
}

// Names and keys are terminated texts where the file was written, so a
// stored zero unit ends them there too.
std::string CutAtNul(std::string text)
{
    text.resize(std::min(text.size(), text.find('\0')));
    return text;
}

}  // namespace

void CLevelElementBase::CopyHeader(const CRecordHeader& header)
{
    m_savedChildren = header.m_savedChildren;
    m_reserved = header.m_reserved;
    m_nameLength = header.m_nameLength;
}

size_t CLevelElementBase::Save(CConfigWriter& out) const
{
    const size_t start = out.Size();
    uint32_t stored = 0;
    for (size_t i = 0; i < LevelCount(); ++i) {
        stored += (LevelAt(i)->Kind() & kKindRunTimeBit) == 0 ? 1 : 0;
    }
    const std::u16string name = StoredUnits(Name());
    out.U32(stored);
    out.U8(m_kind);
    out.U8(0);
    out.U16(static_cast<uint16_t>(name.size()));
    out.Text(name);
    return out.Size() - start;
}

size_t CLevelElementBase::Load(CConfigReader& in)
{
    const size_t start = in.Offset();
    if (m_nameLength != 0) {
        std::string name;
        (void)in.Text(m_nameLength, name);
        name = CutAtNul(std::move(name));
        // Nothing before the terminator is no name, as a length of 0 is:
        // the element keeps the name it was made with (the root's own).
        if (!name.empty()) {
            SetName(name);
        }
    }
    return in.Offset() - start;
}

size_t CLevelRoot::Save(CConfigWriter& out) const
{
    const size_t start = out.Size();
    CLevelElementBase::Save(out);
    out.U32(m_statisticsEnabled);
    out.U32(m_statisticsSizeLimit);
    return out.Size() - start;
}

size_t CLevelRoot::Load(CConfigReader& in)
{
    const size_t start = in.Offset();
    CLevelElementBase::Load(in);
    (void)in.U32(m_statisticsEnabled);
    (void)in.U32(m_statisticsSizeLimit);
    return in.Offset() - start;
}

size_t CLevelChannel::Save(CConfigWriter& out) const
{
    const size_t start = out.Size();
    CLevelElementBase::Save(out);
    const CChannelSettings& s = m_settings;
    const std::u16string key = StoredUnits(m_key);
    out.U32(s.m_responseTimeout);
    out.U8(s.m_attempts);
    out.Zeros(3);
    out.U32(s.m_pauseBeforeRequest);
    out.U32(s.m_pollPeriod);
    out.U8(s.m_slaveAddress);
    out.Zeros(3);
    for (const uint32_t model : s.m_pasModels) {
        out.U32(model);
    }
    out.U16(static_cast<uint16_t>(key.size()));
    out.Zeros(2);
    out.Text(key);
    SaveKindBlock(out);
    return out.Size() - start;
}

size_t CLevelChannel::Load(CConfigReader& in)
{
    const size_t start = in.Offset();
    CLevelElementBase::Load(in);
    CChannelSettings& s = m_settings;
    (void)in.U32(s.m_responseTimeout);
    (void)in.U8(s.m_attempts);
    (void)in.Skip(3);
    (void)in.U32(s.m_pauseBeforeRequest);
    (void)in.U32(s.m_pollPeriod);
    (void)in.U8(s.m_slaveAddress);
    (void)in.Skip(3);
    for (uint32_t& model : s.m_pasModels) {
        (void)in.U32(model);
    }
    s.m_keyLength = 0;  // a block cut short before the key length has no key
    (void)in.U16(s.m_keyLength);
    (void)in.Skip(2);
    if (s.m_keyLength != 0) {
        std::string key;
        (void)in.Text(s.m_keyLength, key);
        SetKey(CutAtNul(std::move(key)));
    }
    LoadKindBlock(in);
    return in.Offset() - start;
}
