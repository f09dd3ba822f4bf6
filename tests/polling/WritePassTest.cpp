// Writing through the device exchange: the write password item, the data
// registers, read-before-write of bits and fields, and the per-item outcome.
#include "platform/FileTime.h"
#include "polling/ExchangeFixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace {

VARIANT Value(uint32_t v)
{
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = v;
    return value;
}

VARIANT Bool(bool on)
{
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BOOL;
    value.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
    return value;
}

// The password item and a command byte as the MyPin map has them.
struct MyPinItems {
    CDATag* m_password = nullptr;
    CDATag* m_command = nullptr;  // low byte of register 2000
    CDATag* m_device = nullptr;   // high byte of register 2000
};

}  // namespace

class WriteTest : public ExchangeTest {
   protected:
    void SetUp() override
    {
        ExchangeTest::SetUp();
        m_ch = &AddChannel();
        m_items.m_password = AddItem(*m_ch, "MyPin.Write_Password", 2600, kAccessWrite, 2, false);
        m_ch->Exchange().SetWritePasswordItem(m_items.m_password);
        m_items.m_command = AddItem(*m_ch, "MyPin.Pribor_Comm1.Command", 2000, kAccessReadWrite, 39);
        m_items.m_device = AddItem(*m_ch, "MyPin.Pribor_Comm1.Device", 2000, kAccessReadWrite, 40);
    }

    int Write(std::vector<CDATag*> items, std::vector<VARIANT> values, std::vector<HRESULT>* errors = nullptr,
              std::vector<WriteResult>* results = nullptr)
    {
        std::vector<HRESULT> e(items.size(), S_OK);
        std::vector<WriteResult> r(items.size(), WriteResult::kNone);
        const int rc = m_ch->Exchange().WriteRequested(static_cast<uint32_t>(items.size()), items.data(),
                                                       values.data(), e.data(), r.data());
        for (VARIANT& v : values) VariantClear(&v);
        if (errors) *errors = e;
        if (results) *results = r;
        return rc;
    }

    ScriptedChannel* m_ch = nullptr;
    MyPinItems m_items;
};

TEST_F(WriteTest, ThePasswordIsStoredNotSentAndGoesAheadOfTheNextWrite)
{
    const uint64_t stamp = FileTimeToUInt64(m_items.m_password->m_timeStamp);
    std::vector<HRESULT> errors;
    std::vector<WriteResult> results;
    EXPECT_EQ(Write({m_items.m_password}, {Value(0x00012345)}, &errors, &results), 0);
    EXPECT_EQ(m_ch->RequestCount(), 0u);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(results[0], WriteResult::kStored);
    EXPECT_EQ(m_items.m_password->m_quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(m_items.m_password->m_value.vt, VT_UI4);
    EXPECT_EQ(m_items.m_password->m_value.ulVal, 0x00012345u);
    EXPECT_EQ(FileTimeToUInt64(m_items.m_password->m_timeStamp), stamp);

    // The command is good already, so nothing is read first.
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    EXPECT_EQ(Write({m_items.m_command}, {Value(0x5A)}, &errors, &results), 0);
    EXPECT_EQ(results[0], WriteResult::kWritten);
    EXPECT_EQ(errors[0], S_OK);
    const std::vector<DeviceRequest> sent = m_ch->Parsed();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].m_function, 16);
    EXPECT_EQ(sent[0].m_start, 2600);
    // Code 2: the low word goes into the first register.
    EXPECT_EQ(sent[0].m_values, (std::vector<uint16_t>{0x2345, 0x0001}));
    EXPECT_EQ(sent[1].m_function, 16);
    EXPECT_EQ(sent[1].m_start, 2000);
    EXPECT_EQ(sent[1].m_values, (std::vector<uint16_t>{0x005A}));
    EXPECT_EQ(m_ch->Register(2600), 0x2345);
    EXPECT_EQ(m_ch->Register(2000), 0x005A);
    // A write does not change the item's value or quality.
    EXPECT_EQ(m_items.m_command->m_value.bVal, 0);
    EXPECT_EQ(m_items.m_command->m_quality, OPC_QUALITY_GOOD);
}

TEST_F(WriteTest, APasswordThatDoesNotConvertIsRefused)
{
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringUtf8("не число");
    std::vector<HRESULT> errors;
    EXPECT_EQ(Write({m_items.m_password}, {text}, &errors), 1);
    EXPECT_EQ(errors[0], OPC_E_BADTYPE);
    EXPECT_EQ(m_items.m_password->m_quality, OPC_QUALITY_UNCERTAIN);
    EXPECT_EQ(m_ch->RequestCount(), 0u);
}

TEST_F(WriteTest, AnItemThatIsNotGoodIsReadBeforeItsBitIsWritten)
{
    CDATag* bit3 = AddItem(*m_ch, "MyPin.Pin_Control_4", 2500, kAccessReadWrite, 9);
    CDATag* bit0 = AddItem(*m_ch, "MyPin.Pin_Control_1", 2500, kAccessReadWrite, 6);
    m_ch->SetRegister(2500, 0x00F1);
    ASSERT_FALSE(bit3->IsGood());
    EXPECT_EQ(Write({bit3}, {Bool(true)}), 0);
    const std::vector<DeviceRequest> sent = m_ch->Parsed();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].m_function, 3);
    EXPECT_EQ(sent[0].m_start, 2500);
    EXPECT_EQ(sent[0].m_count, 1);
    EXPECT_EQ(sent[1].m_start, 2600);
    EXPECT_EQ(sent[2].m_start, 2500);
    // The whole register, with the other bits as the device had them.
    EXPECT_EQ(sent[2].m_values, (std::vector<uint16_t>{0x00F9}));
    EXPECT_EQ(m_ch->Register(2500), 0x00F9);
    // The sibling in use shares the register image as just written.
    EXPECT_EQ(Bytes(bit0->RegisterImage(), bit0->RegisterImage() + 2), RegisterBytes({0x00F9}));

    // bit3 is good now: its next write reads nothing and starts from the image.
    EXPECT_TRUE(bit3->IsGood());
    m_ch->ClearRecords();
    EXPECT_EQ(Write({bit3}, {Bool(false)}), 0);
    ASSERT_EQ(m_ch->Parsed().size(), 2u);
    EXPECT_EQ(m_ch->Parsed()[1].m_values, (std::vector<uint16_t>{0x00F1}));
}

TEST_F(WriteTest, TwoFieldsOfOneRegisterGoOutInOneRequest)
{
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    m_items.m_device->SetQuality(OPC_QUALITY_GOOD);
    EXPECT_EQ(Write({m_items.m_command, m_items.m_device}, {Value(0x34), Value(0x12)}), 0);
    const std::vector<DeviceRequest> sent = m_ch->Parsed();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].m_values, (std::vector<uint16_t>{0x1234}));
}

TEST_F(WriteTest, ABitThatCouldNotBeReadIsNotWritten)
{
    CDATag* bit = AddItem(*m_ch, "MyPin.Pin_Control_1", 2500, kAccessReadWrite, 6);
    m_ch->Script(DeviceAction::Exception(2));
    std::vector<HRESULT> errors;
    std::vector<WriteResult> results;
    EXPECT_EQ(Write({bit}, {Bool(true)}, &errors, &results), 1);
    ASSERT_EQ(m_ch->Parsed().size(), 1u);
    EXPECT_EQ(m_ch->Parsed()[0].m_function, 3);
    EXPECT_EQ(results[0], WriteResult::kNoAnswer);
    EXPECT_EQ(errors[0], E_FAIL);
}

TEST_F(WriteTest, EveryItemGetsItsOwnOutcome)
{
    CDATag* readOnly = AddItem(*m_ch, "MyPin.State.err_net", 500, kAccessRead, 7);
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocStringUtf8("abc");
    std::vector<HRESULT> errors;
    std::vector<WriteResult> results;
    EXPECT_EQ(Write({m_items.m_command, readOnly, m_items.m_device, nullptr},
                    {Value(7), Value(1), text, Value(0)}, &errors, &results),
              1);
    EXPECT_EQ(results[0], WriteResult::kWritten);
    EXPECT_EQ(results[1], WriteResult::kNoRights);
    EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
    EXPECT_EQ(results[2], WriteResult::kRefused);
    EXPECT_EQ(errors[2], OPC_E_BADTYPE);
    EXPECT_EQ(results[3], WriteResult::kNone);
    // Only the command's byte went out; the refused byte stayed as it was.
    const std::vector<DeviceRequest> sent = m_ch->Parsed();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].m_values, (std::vector<uint16_t>{0x0007}));
}

TEST_F(WriteTest, ASilentDeviceAndARefusingDeviceAreFailuresForTheClient)
{
    m_ch->Settings().m_attempts = 1;
    m_ch->Exchange().SetRecoveryWaitMs(10);
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    std::vector<HRESULT> errors;
    std::vector<WriteResult> results;
    m_ch->Script({DeviceAction::Answer(), DeviceAction::Silence()});
    EXPECT_EQ(Write({m_items.m_command}, {Value(1)}, &errors, &results), 1);
    EXPECT_EQ(results[0], WriteResult::kNoAnswer);
    EXPECT_EQ(errors[0], E_FAIL);
    // A failed write leaves the channel's items bad, as a failed read does.
    EXPECT_EQ(m_items.m_command->m_quality, OPC_QUALITY_BAD);

    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    m_ch->Script({DeviceAction::Answer(), DeviceAction::Exception(3)});
    EXPECT_EQ(Write({m_items.m_command}, {Value(1)}, &errors, &results), 1);
    EXPECT_EQ(results[0], WriteResult::kDeviceRefused);
    EXPECT_EQ(errors[0], E_FAIL);
    EXPECT_EQ(m_items.m_command->m_quality, OPC_QUALITY_GOOD);
}

TEST_F(WriteTest, WithoutAPasswordItemTheDataIsWrittenOnce)
{
    m_ch->Exchange().SetWritePasswordItem(nullptr);
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    // Should the write repeat itself, the tenth request stops the channel.
    m_ch->OnRequest([this](size_t n) {
        if (n >= 10) m_ch->ClearRunFlag();
    });
    std::vector<WriteResult> results;
    EXPECT_EQ(Write({m_items.m_command}, {Value(9)}, nullptr, &results), 0);
    EXPECT_EQ(results[0], WriteResult::kWritten);
    ASSERT_EQ(m_ch->RequestCount(), 1u);
    EXPECT_EQ(m_ch->Parsed()[0].m_start, 2000);
    EXPECT_EQ(m_ch->Register(2000), 0x0009);
}

TEST_F(WriteTest, PendingValuesAreGoneWhenTheCallReturns)
{
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    EXPECT_EQ(Write({m_items.m_command}, {Value(3)}), 0);
    EXPECT_EQ(m_items.m_command->PendingWriteValue(), nullptr);
}

TEST_F(WriteTest, ItemsOfAnotherChannelAreLeftToTheirOwnExchange)
{
    ScriptedChannel& other = AddChannel(kKindChannelCOM, "Vireo-2_2");
    CDATag* foreign = AddItem(other, "MyPin.Pribor_Comm1.Command", 2000, kAccessReadWrite, 39);
    foreign->SetQuality(OPC_QUALITY_GOOD);
    std::vector<HRESULT> errors = {0x777};
    CDATag* items[] = {foreign};
    VARIANT values[] = {Value(1)};
    WriteResult results[] = {WriteResult::kNone};
    EXPECT_EQ(m_ch->Exchange().WriteRequested(1, items, values, errors.data(), results), 0);
    EXPECT_EQ(errors[0], 0x777);
    EXPECT_EQ(results[0], WriteResult::kNone);
    EXPECT_EQ(m_ch->RequestCount(), 0u);
    EXPECT_EQ(other.RequestCount(), 0u);
}

// The toolkit hands a scan or a write to every channel's exchange in turn: a
// channel busy with a failing pass of its own (its exchange lock held) must
// not hold up what is not its own.
TEST_F(WriteTest, ABusyChannelHoldsUpNeitherScansNorWritesOfTheOthers)
{
    ScriptedChannel& busy = AddChannel(kKindChannelCOM, "Vireo-2_2");
    m_items.m_command->SetQuality(OPC_QUALITY_GOOD);
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        CCriticalSectionLock lock(busy.ExchangeLock());
        held.set_value();
        (void)release.get_future().wait_for(std::chrono::seconds(20));
    });
    held.get_future().wait();

    auto calls = std::async(std::launch::async, [&] {
        CDATag* items[] = {m_items.m_command};
        VARIANT values[] = {Value(5)};
        HRESULT errors[] = {S_OK};
        int result = 0;
        for (CLevelChannel* channel :
             {static_cast<CLevelChannel*>(&busy), static_cast<CLevelChannel*>(m_ch)}) {
            result += channel->Exchange().ReadRequested(1, items, errors);
            result += channel->Exchange().WriteRequested(1, items, values, errors);
        }
        return result;
    });
    const std::future_status status = calls.wait_for(std::chrono::seconds(2));
    release.set_value();
    holder.join();
    EXPECT_EQ(status, std::future_status::ready) << "waited for the busy channel's lock";
    EXPECT_EQ(calls.get(), 0);
    EXPECT_EQ(m_ch->Register(2000) & 0xFF, 5);
}
