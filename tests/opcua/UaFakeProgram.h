#pragma once
// The toolkit tests' fake program, answering the properties the program's
// real callback answers (1 to 6) and failing writes to "broken" items.

#include "FakeProgram.h"

#include <string>

class CUaFakeProgram : public CFakeProgram {
   public:
    // Items whose ID contains this fail their writes as a silent device does.
    static constexpr const char* kBroken = "broken";
    float m_pollPeriod = 1000;

    HRESULT QueryNumProperties(const char* itemId, uint32_t* count) override
    {
        HRESULT hr = CFakeProgram::QueryNumProperties(itemId, count);
        if (SUCCEEDED(hr)) *count = 6;
        return hr;
    }
    HRESULT GetItemProperties(const char* itemId, uint32_t count, const uint32_t* ids, VARIANT* values,
                              HRESULT* errors) override
    {
        CFakeTag* tag = Find(itemId);
        if (!tag) return OPC_E_UNKNOWNITEMID;
        HRESULT result = S_OK;
        for (uint32_t i = 0; i < count; ++i) {
            errors[i] = S_OK;
            if (ids[i] == 5) {
                values[i].vt = VT_I4;
                values[i].lVal = static_cast<int32_t>(tag->m_accessRights);
            } else if (ids[i] == 6) {
                values[i].vt = VT_R4;
                values[i].fltVal = m_pollPeriod;
            } else if (FAILED(CFakeProgram::GetItemProperties(itemId, 1, &ids[i], &values[i], &errors[i]))) {
                errors[i] = OPC_E_INVALID_PID;
            }
            if (FAILED(errors[i])) result = S_FALSE;
        }
        return result;
    }
    HRESULT Write(uint32_t count, COPCTag* const* tags, const VARIANT* values, HRESULT* errors) override
    {
        HRESULT hr = CFakeProgram::Write(count, tags, values, errors);
        for (uint32_t i = 0; i < count; ++i)
            if (static_cast<CFakeTag*>(tags[i])->m_id.find(kBroken) != std::string::npos) errors[i] = E_FAIL;
        return hr;
    }
};
