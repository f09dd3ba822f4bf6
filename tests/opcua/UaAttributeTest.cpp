// Read and Write: the standard variables clients read on connect, every
// attribute of item variables and folders, maxAge through Scan, time stamps,
// and writes through the program with conversion and rights.

#include "UaTestServer.h"
#include "opcua/UaLimits.h"

#include <atomic>
#include <signal.h>

using namespace ua;

namespace {

class UaAttributeTest : public UaServerFixture {
   protected:
    void SetUp() override
    {
        UaServerFixture::SetUp();
        m_rw = m_program.Add(Id("ch.dev.rw"));
        m_ro = m_program.Add(Id("ch.dev.ro"), VT_UI2, OPC_READABLE);
        m_flag = m_program.Add(Id("ch.dev.flag"), VT_BOOL);
        m_broken = m_program.Add(Id("ch.dev.broken"));
        Open(m_client);
    }
    std::vector<DataValue> Read(const std::vector<ReadValueId>& nodes, double maxAge = 60000,
                                TimestampsToReturn ts = TimestampsToReturn::Both, StatusCode expected = kGood)
    {
        ReadRequest request;
        request.maxAge = maxAge;
        request.timestampsToReturn = ts;
        request.nodesToRead = nodes;
        ReadResponse response;
        EXPECT_EQ(m_client.Call(enc::kReadRequest, request, enc::kReadResponse, &response), expected);
        return response.results;
    }
    DataValue ReadOne(const NodeId& node, Attribute a = Attribute::Value, double maxAge = 60000)
    {
        std::vector<DataValue> r = Read({ReadValueId{node, static_cast<uint32_t>(a), "", {}}}, maxAge);
        return r.empty() ? DataValue{} : r[0];
    }
    std::vector<StatusCode> Write(const std::vector<WriteValue>& nodes)
    {
        WriteRequest request;
        request.nodesToWrite = nodes;
        WriteResponse response;
        EXPECT_EQ(m_client.Call(enc::kWriteRequest, request, enc::kWriteResponse, &response), kGood);
        return response.results;
    }
    static WriteValue ValueOf(const NodeId& node, Variant v)
    {
        DataValue dv;
        dv.hasValue = true;
        dv.value = std::move(v);
        return WriteValue{node, static_cast<uint32_t>(Attribute::Value), "", dv};
    }
    CUaClient m_client;
    CFakeTag* m_rw = nullptr;
    CFakeTag* m_ro = nullptr;
    CFakeTag* m_flag = nullptr;
    CFakeTag* m_broken = nullptr;
};

TEST_F(UaAttributeTest, ServerObjectNamesTheApplicationAndItsLimits)
{
    std::vector<DataValue> r =
        Read({ReadValueId{NodeId::Numeric(id::kNamespaceArray), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kServerArray), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kState), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kMaxNodesPerRead), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kMaxBrowseContinuationPoints), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kServerStatus), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kNamespaceArray), 13, "1", {}}},
             0);
    ASSERT_EQ(r.size(), 7u);
    ASSERT_EQ(r[0].value.array.size(), 2u);
    EXPECT_EQ(std::get<std::string>(r[0].value.array[0]), "http://opcfoundation.org/UA/");
    const std::string uri = std::get<std::string>(r[0].value.array[1]);
    EXPECT_EQ(uri.rfind("urn:", 0), 0u);
    EXPECT_EQ(std::get<std::string>(r[1].value.array[0]), uri);
    EXPECT_EQ(r[2].value.type, Type::Int32);
    EXPECT_EQ(std::get<int64_t>(r[2].value.scalar), 0);  // Running
    EXPECT_EQ(std::get<uint64_t>(r[3].value.scalar), kMaxNodesPerRead);
    EXPECT_EQ(r[4].value.type, Type::UInt16);
    const ExtensionObject* status = BoxedAs<ExtensionObject>(r[5].value.scalar);
    ASSERT_NE(status, nullptr);
    ServerStatusDataType decoded;
    ASSERT_TRUE(Unwrap(*status, enc::kServerStatusDataType, &decoded));
    EXPECT_EQ(decoded.buildInfo.productName, "UaTest");
    EXPECT_EQ(decoded.state, ServerState::Running);
    ASSERT_EQ(r[6].value.array.size(), 1u);
    EXPECT_EQ(std::get<std::string>(r[6].value.array[0]), uri);
    // Namespace 0 never reaches the program.
    EXPECT_EQ(m_program.m_scans.load(), 0);
}

TEST_F(UaAttributeTest, ItemVariablesAnswerEveryVariableAttribute)
{
    struct Expect {
        Attribute attribute;
        Variant value;
    };
    const NodeId node = Item("ch.dev.ro");
    const Expect expected[] = {
        {Attribute::NodeId, MakeBoxed(Type::NodeId, node)},
        {Attribute::NodeClass, MakeSigned(Type::Int32, 2)},
        {Attribute::BrowseName, MakeBoxed(Type::QualifiedName, QualifiedName{1, "ro"})},
        {Attribute::DisplayName, MakeBoxed(Type::LocalizedText, LocalizedText{"", "ro"})},
        {Attribute::Description, MakeBoxed(Type::LocalizedText, LocalizedText{})},
        {Attribute::WriteMask, MakeUnsigned(Type::UInt32, 0)},
        {Attribute::UserWriteMask, MakeUnsigned(Type::UInt32, 0)},
        {Attribute::DataType, MakeBoxed(Type::NodeId, NodeId::Numeric(id::kUInt16))},
        {Attribute::ValueRank, MakeSigned(Type::Int32, -1)},
        {Attribute::ArrayDimensions, MakeEmptyArray(Type::UInt32)},
        {Attribute::AccessLevel, MakeUnsigned(Type::Byte, 1)},
        {Attribute::UserAccessLevel, MakeUnsigned(Type::Byte, 1)},
        {Attribute::MinimumSamplingInterval, MakeReal(Type::Double, 1000)},
        {Attribute::Historizing, MakeBoolean(false)},
    };
    for (const Expect& e : expected) {
        DataValue dv = ReadOne(node, e.attribute);
        EXPECT_EQ(dv.status, kGood) << static_cast<int>(e.attribute);
        EXPECT_TRUE(dv.value == e.value) << static_cast<int>(e.attribute);
    }
    EXPECT_EQ(ReadOne(Item("ch.dev.rw"), Attribute::AccessLevel).value, MakeUnsigned(Type::Byte, 3));
    EXPECT_EQ(ReadOne(Item("ch.dev.flag"), Attribute::DataType).value,
              MakeBoxed(Type::NodeId, NodeId::Numeric(id::kBoolean)));
    EXPECT_EQ(ReadOne(node, Attribute::EventNotifier).status, kBadAttributeIdInvalid);
}

TEST_F(UaAttributeTest, TypeNodesAnswerTheAttributesOfTheirClass)
{
    struct Expect {
        uint32_t node;
        Attribute attribute;
        Variant value;
        StatusCode status;
    };
    const Expect expected[] = {
        {id::kHierarchicalReferences, Attribute::IsAbstract, MakeBoolean(true), kGood},
        {id::kOrganizes, Attribute::IsAbstract, MakeBoolean(false), kGood},
        {id::kReferences, Attribute::Symmetric, MakeBoolean(true), kGood},
        {id::kHasComponent, Attribute::InverseName,
         MakeBoxed(Type::LocalizedText, LocalizedText{"", "ComponentOf"}), kGood},
        {id::kHasComponent, Attribute::Value, Variant{}, kBadAttributeIdInvalid},
        {id::kNumber, Attribute::IsAbstract, MakeBoolean(true), kGood},
        {id::kUInt16, Attribute::NodeClass, MakeSigned(Type::Int32, 64), kGood},
        {id::kServerStatusType, Attribute::DataType,
         MakeBoxed(Type::NodeId, NodeId::Numeric(id::kServerStatusDataType)), kGood},
        {id::kBaseDataVariableType, Attribute::ValueRank, MakeSigned(Type::Int32, -2), kGood},
        {id::kFolderType, Attribute::IsAbstract, MakeBoolean(false), kGood},
        {id::kFolderType, Attribute::Symmetric, Variant{}, kBadAttributeIdInvalid},
        {id::kNamespaceArray, Attribute::ValueRank, MakeSigned(Type::Int32, 1), kGood},
        {id::kNamespaceArray, Attribute::ArrayDimensions, MakeUInt32Array({0}), kGood},
        {id::kServer, Attribute::EventNotifier, MakeUnsigned(Type::Byte, 0), kGood},
    };
    for (const Expect& e : expected) {
        DataValue dv = ReadOne(NodeId::Numeric(e.node), e.attribute);
        EXPECT_EQ(dv.status, e.status) << e.node << "/" << static_cast<int>(e.attribute);
        EXPECT_TRUE(dv.value == e.value) << e.node << "/" << static_cast<int>(e.attribute);
    }
}

TEST_F(UaAttributeTest, FoldersAnswerTheirAttributesButNoValue)
{
    const NodeId folder = NodeId::String(1, Id("ch.dev"));
    EXPECT_EQ(ReadOne(folder, Attribute::NodeClass).value, MakeSigned(Type::Int32, 1));
    EXPECT_EQ(ReadOne(folder, Attribute::DisplayName).value,
              MakeBoxed(Type::LocalizedText, LocalizedText{"", "dev"}));
    EXPECT_EQ(ReadOne(folder, Attribute::EventNotifier).value, MakeUnsigned(Type::Byte, 0));
    EXPECT_EQ(ReadOne(folder, Attribute::Value).status, kBadAttributeIdInvalid);
    EXPECT_EQ(ReadOne(folder, Attribute::DataType).status, kBadAttributeIdInvalid);
}

TEST_F(UaAttributeTest, RefusalsPerOperation)
{
    std::vector<DataValue> r =
        Read({ReadValueId{NodeId::String(1, "no.such.item"), 13, "", {}},
              ReadValueId{NodeId::Numeric(99999), 13, "", {}},
              ReadValueId{NodeId::Numeric(id::kServer), 99, "", {}},
              ReadValueId{Item("ch.dev.rw"), 13, "0:1", {}}, ReadValueId{Item("ch.dev.rw"), 13, "x", {}},
              ReadValueId{NodeId::Numeric(id::kState), 13, "", QualifiedName{0, "Default Xml"}},
              ReadValueId{NodeId::Numeric(id::kState), 3, "", QualifiedName{0, "Default Binary"}}});
    const StatusCode expected[] = {kBadNodeIdUnknown,      kBadNodeIdUnknown,     kBadAttributeIdInvalid,
                                   kBadIndexRangeNoData,   kBadIndexRangeInvalid, kBadDataEncodingUnsupported,
                                   kBadDataEncodingInvalid};
    ASSERT_EQ(r.size(), std::size(expected));
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].status, expected[i]) << i;
        EXPECT_FALSE(r[i].hasValue) << i;
    }
    Read({ReadValueId{NodeId::Numeric(id::kState), 13, "", {}}}, -1, TimestampsToReturn::Both,
         kBadMaxAgeInvalid);
    Read({ReadValueId{NodeId::Numeric(id::kState), 13, "", {}}}, 0, TimestampsToReturn::Invalid,
         kBadTimestampsToReturnInvalid);
    Read({}, 0, TimestampsToReturn::Both, kBadNothingToDo);
    Read(std::vector<ReadValueId>(kMaxNodesPerRead + 1, ReadValueId{NodeId::Numeric(id::kState), 13, "", {}}),
         0, TimestampsToReturn::Both, kBadTooManyOperations);
}

TEST_F(UaAttributeTest, MaxAgeServesHeldItemsAndReadsTheRestFromTheDevice)
{
    m_program.Set(m_rw, 41);
    // Not held before: read from the device, whatever maxAge says.
    DataValue first = ReadOne(Item("ch.dev.rw"), Attribute::Value, 3600000);
    EXPECT_EQ(m_program.m_scans.load(), 1);
    EXPECT_EQ(first.value, MakeUnsigned(Type::UInt16, 42));  // the fake device counts up on every scan
    EXPECT_FALSE(first.hasStatus);                           // Good
    // Held now: within maxAge the item answers.
    DataValue cached = ReadOne(Item("ch.dev.rw"), Attribute::Value, 3600000);
    EXPECT_EQ(m_program.m_scans.load(), 1);
    EXPECT_EQ(cached.value, first.value);
    EXPECT_EQ(cached.sourceTimestamp, first.sourceTimestamp);
    // maxAge 0 always reads the device.
    DataValue fresh = ReadOne(Item("ch.dev.rw"), Attribute::Value, 0);
    EXPECT_EQ(m_program.m_scans.load(), 2);
    EXPECT_EQ(fresh.value, MakeUnsigned(Type::UInt16, 43));
    // A value older than maxAge is read again.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ReadOne(Item("ch.dev.rw"), Attribute::Value, 10);
    EXPECT_EQ(m_program.m_scans.load(), 3);
}

TEST_F(UaAttributeTest, DeviceReadsRunOnAThreadWithItsOwnSignalStack)
{
    // So that a stack overflow while the program reads a device reaches the crash report.
    std::atomic<int> withStack{-1};
    m_program.m_onScan = [&] {
        stack_t current{};
        withStack = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 ? 1 : 0;
    };
    ReadOne(Item("ch.dev.rw"), Attribute::Value, 0);
    m_program.m_onScan = nullptr;
    EXPECT_EQ(withStack.load(), 1);
}

TEST_F(UaAttributeTest, QualityBecomesStatusAndTimestampsFollowTheRequest)
{
    ReadOne(Item("ch.dev.rw"));  // held from now on
    m_program.Set(m_rw, 5, OPC_QUALITY_UNCERTAIN);
    struct Case {
        TimestampsToReturn ts;
        bool source, server;
    };
    for (Case c :
         {Case{TimestampsToReturn::Source, true, false}, Case{TimestampsToReturn::Server, false, true},
          Case{TimestampsToReturn::Both, true, true}, Case{TimestampsToReturn::Neither, false, false}}) {
        DataValue dv = Read({ReadValueId{Item("ch.dev.rw"), 13, "", {}}}, 3600000, c.ts)[0];
        EXPECT_EQ(dv.status, kUncertain);
        EXPECT_EQ(dv.hasSourceTimestamp, c.source);
        EXPECT_EQ(dv.hasServerTimestamp, c.server);
        if (c.source) {
            EXPECT_EQ(dv.sourceTimestamp.ticks, static_cast<int64_t>(FileTimeToUInt64(m_rw->m_timeStamp)));
        }
    }
    m_program.Set(m_rw, 5, OPC_QUALITY_BAD);
    EXPECT_EQ(ReadOne(Item("ch.dev.rw")).status, kBad);
}

TEST_F(UaAttributeTest, WritesReachTheProgramConvertedOrRefused)
{
    std::vector<StatusCode> r =
        Write({ValueOf(Item("ch.dev.rw"), MakeUnsigned(Type::UInt32, 1234)),
               ValueOf(Item("ch.dev.rw"), MakeReal(Type::Double, 7.0)),
               ValueOf(Item("ch.dev.flag"), MakeBoolean(true)),
               ValueOf(Item("ch.dev.ro"), MakeUnsigned(Type::UInt16, 1)),
               ValueOf(Item("ch.dev.rw"), MakeString("12")),
               ValueOf(Item("ch.dev.rw"), MakeSigned(Type::Int32, 70000)),
               ValueOf(Item("ch.dev.rw"), MakeReal(Type::Double, 1.5)),
               ValueOf(Item("ch.dev.rw"), MakeBoolean(true)),
               ValueOf(Item("ch.dev.broken"), MakeUnsigned(Type::UInt16, 1)),
               ValueOf(NodeId::Numeric(id::kServiceLevel), MakeUnsigned(Type::Byte, 1)),
               ValueOf(NodeId::String(1, Id("ch.dev")), MakeUnsigned(Type::UInt16, 1)),
               ValueOf(Item("nothing.here"), MakeUnsigned(Type::UInt16, 1))});
    const StatusCode expected[] = {kGood,
                                   kGood,
                                   kGood,
                                   kBadNotWritable,
                                   kBadTypeMismatch,
                                   kBadTypeMismatch,
                                   kBadTypeMismatch,
                                   kBadTypeMismatch,
                                   kBadCommunicationError,
                                   kBadNotWritable,
                                   kBadAttributeIdInvalid,
                                   kBadNodeIdUnknown};
    ASSERT_EQ(r.size(), std::size(expected));
    for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i], expected[i]) << i;
    std::lock_guard lock(m_program.m_writtenMutex);
    std::vector<std::pair<std::string, int32_t>> written(m_program.m_written.begin(),
                                                         m_program.m_written.end());
    // The fake program notes a value's low 32 bits; the Boolean is VARIANT_TRUE.
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(written[0].first, Id("ch.dev.rw"));
    EXPECT_EQ(written[0].second & 0xFFFF, 1234);
    EXPECT_EQ(written[1].second & 0xFFFF, 7);
    EXPECT_EQ(written[2].first, Id("ch.dev.flag"));
}

TEST_F(UaAttributeTest, WriteOfOtherAttributesOrWithAStatusIsRefused)
{
    WriteValue name{Item("ch.dev.rw"), static_cast<uint32_t>(Attribute::DisplayName), "", DataValue{}};
    WriteValue badStatus = ValueOf(Item("ch.dev.rw"), MakeUnsigned(Type::UInt16, 1));
    badStatus.value.hasStatus = true;
    badStatus.value.status = kBad;
    WriteValue noValue{Item("ch.dev.rw"), 13, "", DataValue{}};
    std::vector<StatusCode> r = Write({name, badStatus, noValue});
    EXPECT_EQ(r, (std::vector<StatusCode>{kBadNotWritable, kBadWriteNotSupported, kBadTypeMismatch}));
    EXPECT_EQ(m_program.m_writes.load(), 0);
}

TEST_F(UaAttributeTest, RegisteredItemsAreHeldUntilUnregistered)
{
    RegisterNodesRequest reg;
    reg.nodesToRegister = {Item("ch.dev.rw"), NodeId::Numeric(id::kState)};
    RegisterNodesResponse registered;
    ASSERT_EQ(m_client.Call(enc::kRegisterNodesRequest, reg, enc::kRegisterNodesResponse, &registered),
              kGood);
    EXPECT_EQ(registered.registeredNodeIds, reg.nodesToRegister);
    EXPECT_TRUE(m_rw->InUse());
    UnregisterNodesRequest unreg;
    unreg.nodesToUnregister = {Item("ch.dev.rw")};
    UnregisterNodesResponse unregistered;
    ASSERT_EQ(
        m_client.Call(enc::kUnregisterNodesRequest, unreg, enc::kUnregisterNodesResponse, &unregistered),
        kGood);
    EXPECT_FALSE(m_rw->InUse());
}

TEST_F(UaAttributeTest, ItemsOfAWithdrawnChannelAreTakenAnewWhenDefinedAgain)
{
    ReadOne(Item("ch.dev.rw"));
    ASSERT_TRUE(m_rw->InUse());
    DeleteDAItem(Id("ch").c_str());
    EXPECT_FALSE(m_rw->InUse());
    EXPECT_EQ(ReadOne(Item("ch.dev.rw")).status, kBadNodeIdUnknown);
    DefineDAItem(Id("ch.dev.rw").c_str());
    DataValue again = ReadOne(Item("ch.dev.rw"));
    EXPECT_EQ(again.status, kGood);
    EXPECT_TRUE(m_rw->InUse());
}

}  // namespace
