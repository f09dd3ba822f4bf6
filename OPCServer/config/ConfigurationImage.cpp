#include "config/ConfigurationImage.h"

#include "config/ConfigStream.h"
#include "transports/ChannelFactory.h"

#include <cstring>

namespace {

void WriteTree(const CLevelElementBase& element, CConfigWriter& out)
{
    if ((element.Kind() & kKindRunTimeBit) != 0) {
        return;
    }
    element.Save(out);
    for (size_t i = 0; i < element.LevelCount(); ++i) {
        WriteTree(*element.LevelAt(i), out);
    }
}

bool ReadHeader(CConfigReader& in, CRecordHeader& header)
{
    uint8_t bytes[CRecordHeader::kSize];
    if (!in.Bytes(bytes, sizeof bytes)) {
        return false;
    }
    CConfigReader fields(bytes);
    (void)fields.U32(header.m_savedChildren);
    (void)fields.U8(header.m_kind);
    (void)fields.U8(header.m_reserved);
    (void)fields.U16(header.m_nameLength);
    return true;
}

std::unique_ptr<CLevelElementBase> MakeStoredElement(uint8_t kind)
{
    if (kind == kKindRoot) {
        return std::make_unique<CLevelRoot>();
    }
    return CreateChannel(kind);  // null for a kind that is not stored
}

// Reads the record that follows header into a new element.
std::unique_ptr<CLevelElementBase> LoadRecord(CConfigReader& in, const CRecordHeader& header)
{
    std::unique_ptr<CLevelElementBase> element = MakeStoredElement(header.m_kind);
    if (element) {
        element->CopyHeader(header);
        element->Load(in);
    }
    return element;
}

class CImageReader {
   public:
    explicit CImageReader(std::span<const uint8_t> bytes) : m_in(bytes) {}

    CConfigurationRead Read()
    {
        CConfigurationRead read;
        if (m_in.AtEnd()) {
            return read;
        }
        uint8_t signature[sizeof kConfigSignature];
        if (!m_in.Bytes(signature, sizeof signature)) {
            read.m_state = ConfigImageState::Short;
            return read;
        }
        uint32_t version = 0;
        const bool hasVersion = m_in.U32(version);
        if (std::memcmp(signature, kConfigSignature, sizeof signature) != 0 || !hasVersion ||
            version != kConfigVersion) {
            read.m_state = ConfigImageState::WrongSignature;
            read.m_code = kLoadBadSignature;
            return read;
        }
        CRecordHeader header;
        if (!ReadHeader(m_in, header)) {
            read.m_state = ConfigImageState::NoRoot;
            read.m_code = kLoadCutShort;
            return read;
        }
        read.m_root = std::make_unique<CLevelRoot>();
        if (header.m_kind != kKindRoot) {
            read.m_state = ConfigImageState::NotRoot;
            read.m_code = kLoadCutShort;
            return read;
        }
        read.m_state = ConfigImageState::Read;
        read.m_root->CopyHeader(header);
        read.m_root->Load(m_in);
        read.m_code = ReadChannels(*read.m_root, header.m_savedChildren);
        read.m_dropped = m_dropped;
        read.m_unread = m_in.Remaining();
        read.m_cutShort = m_in.CutShort();
        return read;
    }

   private:
    // The root's children: channels are kept up to kMaxChannels; anything
    // else, and everything below them, is read past.
    int ReadChannels(CLevelRoot& root, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i) {
            CRecordHeader header;
            if (!ReadHeader(m_in, header)) {
                return kLoadCutShort;
            }
            std::unique_ptr<CLevelElementBase> element = LoadRecord(m_in, header);
            if (!element) {
                return kLoadDone;
            }
            const bool keep = header.m_kind != kKindRoot && root.LevelCount() < kMaxChannels;
            if (!keep) {
                ++m_dropped;
            }
            // A record cut short stays with what arrived.
            const bool whole = ReadPast(header.m_savedChildren);
            if (keep) {
                root.AddLevel(std::move(element));
            }
            if (!whole) {
                return kLoadCutShort;
            }
        }
        return kLoadDone;
    }

    // Reads past count children and their descendants exactly as a loader
    // that kept them would read them, without recursion: pending[i] is the
    // number of children still to come at depth i. False when a header is
    // cut short.
    bool ReadPast(uint32_t count)
    {
        std::vector<uint32_t> pending;
        if (count != 0) {
            pending.push_back(count);
        }
        while (!pending.empty()) {
            if (pending.back() == 0) {
                pending.pop_back();
                continue;
            }
            --pending.back();
            CRecordHeader header;
            if (!ReadHeader(m_in, header)) {
                return false;
            }
            if (!LoadRecord(m_in, header)) {
                pending.pop_back();  // an unknown kind ends its parent's children
                continue;
            }
            ++m_dropped;
            if (header.m_savedChildren != 0) {
                pending.push_back(header.m_savedChildren);
            }
        }
        return true;
    }

    CConfigReader m_in;
    uint32_t m_dropped = 0;
};

}  // namespace

std::vector<uint8_t> WriteConfigurationImage(const CLevelRoot& root)
{
    CConfigWriter out;
    out.Bytes(kConfigSignature);
    out.U32(kConfigVersion);
    WriteTree(root, out);
    return out.TakeImage();
}

CConfigurationRead ReadConfigurationImage(std::span<const uint8_t> bytes)
{
    return CImageReader(bytes).Read();
}
