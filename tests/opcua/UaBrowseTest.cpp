// The address space as a generic browser sees it: the standard nodes, the
// item space below Objects, continuation points, reference filters with the
// type hierarchy, and paths translated to NodeIds.

#include "UaTestServer.h"

#include <set>

using namespace ua;

namespace {

class UaBrowseTest : public UaServerFixture {
   protected:
    void SetUp() override
    {
        UaServerFixture::SetUp();
        for (int i = 1; i <= 25; ++i) m_program.Add(Id("ch.dev.item_" + std::to_string(i)));
        m_program.Add(Id("ch.Const.kernel_version "));
        Open(m_client);
    }
    BrowseResult Browse(const NodeId& node, BrowseDirection direction = BrowseDirection::Forward,
                        const NodeId& refType = NodeId{}, bool subtypes = true, uint32_t classMask = 0,
                        uint32_t max = 0)
    {
        BrowseRequest request;
        request.requestedMaxReferencesPerNode = max;
        request.nodesToBrowse = {BrowseDescription{node, direction, refType, subtypes, classMask, 0x3F}};
        BrowseResponse response;
        EXPECT_EQ(m_client.Call(enc::kBrowseRequest, request, enc::kBrowseResponse, &response), kGood);
        return response.results.empty() ? BrowseResult{} : response.results[0];
    }
    BrowseResponse Next(const std::vector<ByteString>& points, bool release = false)
    {
        BrowseNextRequest request;
        request.releaseContinuationPoints = release;
        request.continuationPoints = points;
        BrowseResponse response;
        EXPECT_EQ(m_client.Call(enc::kBrowseNextRequest, request, enc::kBrowseNextResponse, &response),
                  kGood);
        return response;
    }
    static std::set<std::string> Names(const BrowseResult& r)
    {
        std::set<std::string> names;
        for (const ReferenceDescription& d : r.references) names.insert(d.browseName.name);
        return names;
    }
    CUaClient m_client;
};

TEST_F(UaBrowseTest, ObjectsHoldsTheServerAndTheItemSpaceFolder)
{
    BrowseResult r = Browse(NodeId::Numeric(id::kObjectsFolder), BrowseDirection::Forward,
                            NodeId::Numeric(id::kHierarchicalReferences), true);
    EXPECT_EQ(Names(r), (std::set<std::string>{"Server", kRoot}));
    for (const ReferenceDescription& d : r.references) {
        EXPECT_TRUE(d.referenceTypeId.Is(id::kOrganizes));
        EXPECT_TRUE(d.isForward);
        EXPECT_EQ(d.nodeClass, NodeClass::Object);
        if (d.browseName.name == kRoot) {
            EXPECT_EQ(d.nodeId.nodeId, NodeId::String(1, kRoot));
            EXPECT_EQ(d.browseName.ns, 1);
            EXPECT_TRUE(d.typeDefinition.nodeId.Is(id::kFolderType));
        }
    }
    // Without subtypes HierarchicalReferences itself matches nothing here.
    EXPECT_TRUE(Browse(NodeId::Numeric(id::kObjectsFolder), BrowseDirection::Forward,
                       NodeId::Numeric(id::kHierarchicalReferences), false)
                    .references.empty());
}

TEST_F(UaBrowseTest, ItemsAreVariablesOrganisedByTheirFolderBothWays)
{
    BrowseResult r = Browse(NodeId::String(1, Id("ch.Const")), BrowseDirection::Both);
    ASSERT_EQ(r.references.size(), 3u);
    EXPECT_TRUE(r.references[0].referenceTypeId.Is(id::kHasTypeDefinition));
    EXPECT_TRUE(r.references[0].nodeId.nodeId.Is(id::kFolderType));
    const ReferenceDescription& item = r.references[1];
    EXPECT_TRUE(item.referenceTypeId.Is(id::kOrganizes));
    EXPECT_EQ(item.nodeId.nodeId, Item("ch.Const.kernel_version "));
    EXPECT_EQ(item.browseName, (QualifiedName{1, "kernel_version "}));
    EXPECT_EQ(item.displayName.text, "kernel_version ");  // the trailing space stays
    EXPECT_EQ(item.nodeClass, NodeClass::Variable);
    EXPECT_TRUE(item.typeDefinition.nodeId.Is(id::kBaseDataVariableType));
    const ReferenceDescription& up = r.references[2];
    EXPECT_FALSE(up.isForward);
    EXPECT_EQ(up.nodeId.nodeId, NodeId::String(1, Id("ch")));

    BrowseResult top = Browse(NodeId::String(1, kRoot), BrowseDirection::Inverse);
    ASSERT_EQ(top.references.size(), 1u);
    EXPECT_TRUE(top.references[0].nodeId.nodeId.Is(id::kObjectsFolder));
}

TEST_F(UaBrowseTest, ContinuationPointsPageThroughAFolder)
{
    BrowseResult first = Browse(NodeId::String(1, Id("ch.dev")), BrowseDirection::Forward,
                                NodeId::Numeric(id::kOrganizes), false, 0, 10);
    ASSERT_EQ(first.references.size(), 10u);
    ASSERT_FALSE(first.continuationPoint.bytes.empty());
    std::vector<std::string> names;
    for (const auto& d : first.references) names.push_back(d.browseName.name);
    ByteString point = first.continuationPoint;
    for (int round = 0; round < 5 && !point.bytes.empty(); ++round) {
        BrowseResponse next = Next({point});
        ASSERT_EQ(next.results.size(), 1u);
        for (const auto& d : next.results[0].references) names.push_back(d.browseName.name);
        point = next.results[0].continuationPoint;
    }
    EXPECT_TRUE(point.bytes.empty());
    ASSERT_EQ(names.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(names[i], "item_" + std::to_string(i + 1));

    // A used or released point is gone.
    BrowseResponse again = Next({first.continuationPoint});
    EXPECT_EQ(again.results[0].statusCode, kBadContinuationPointInvalid);
    BrowseResult other = Browse(NodeId::String(1, Id("ch.dev")), BrowseDirection::Forward, {}, true, 0, 5);
    BrowseResponse released = Next({other.continuationPoint}, true);
    EXPECT_EQ(released.results[0].statusCode, kGood);
    EXPECT_TRUE(released.results[0].references.empty());
    EXPECT_EQ(Next({other.continuationPoint}).results[0].statusCode, kBadContinuationPointInvalid);
}

TEST_F(UaBrowseTest, ContinuationPointsAreLimitedPerSession)
{
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_FALSE(Browse(NodeId::String(1, Id("ch.dev")), BrowseDirection::Forward, {}, true, 0, 1)
                         .continuationPoint.bytes.empty());
    BrowseResult over = Browse(NodeId::String(1, Id("ch.dev")), BrowseDirection::Forward, {}, true, 0, 1);
    EXPECT_EQ(over.statusCode, kBadNoContinuationPoints);
}

struct FilterCase {
    const char* name;
    uint32_t node;
    uint32_t refType;
    bool subtypes;
    uint32_t classMask;
    std::set<std::string> expected;
};

class UaBrowseFilterTest : public UaBrowseTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(UaBrowseFilterTest, FiltersFollowTheTypeHierarchy)
{
    const FilterCase& c = GetParam();
    EXPECT_EQ(Names(Browse(NodeId::Numeric(c.node), BrowseDirection::Forward,
                           c.refType ? NodeId::Numeric(c.refType) : NodeId{}, c.subtypes, c.classMask)),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, UaBrowseFilterTest,
    ::testing::Values(
        FilterCase{"Properties",
                   id::kServer,
                   id::kHasProperty,
                   false,
                   0,
                   {"ServerArray", "NamespaceArray", "ServiceLevel", "Auditing"}},
        FilterCase{"AggregatesWithSubtypes",
                   id::kServer,
                   id::kAggregates,
                   true,
                   0,
                   {"ServerArray", "NamespaceArray", "ServiceLevel", "Auditing", "ServerStatus",
                    "ServerCapabilities"}},
        FilterCase{"ObjectsOnly", id::kServer, id::kHierarchicalReferences, true, 1, {"ServerCapabilities"}},
        FilterCase{"TypeDefinition", id::kServer, id::kHasTypeDefinition, false, 0, {"ServerType"}},
        FilterCase{"RootFolders", id::kRootFolder, id::kOrganizes, false, 0, {"Objects", "Types", "Views"}},
        FilterCase{
            "ReferenceSubtypes", id::kHasChild, id::kHasSubtype, false, 0, {"Aggregates", "HasSubtype"}},
        FilterCase{"OperationLimits",
                   id::kOperationLimits,
                   id::kHasProperty,
                   false,
                   2,
                   {"MaxNodesPerRead", "MaxNodesPerHistoryReadData", "MaxNodesPerHistoryReadEvents",
                    "MaxNodesPerWrite", "MaxNodesPerHistoryUpdateData", "MaxNodesPerHistoryUpdateEvents",
                    "MaxNodesPerMethodCall", "MaxNodesPerBrowse", "MaxNodesPerRegisterNodes",
                    "MaxNodesPerTranslateBrowsePathsToNodeIds", "MaxNodesPerNodeManagement",
                    "MaxMonitoredItemsPerCall"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(UaBrowseTest, BadDescriptionsAnswerPerNode)
{
    BrowseRequest request;
    request.nodesToBrowse = {
        BrowseDescription{NodeId::String(1, "no.such.node"), BrowseDirection::Forward, {}, true, 0, 63},
        BrowseDescription{NodeId::Numeric(id::kServer), BrowseDirection::Forward,
                          NodeId::Numeric(id::kServer), true, 0, 63},
        BrowseDescription{NodeId::Numeric(id::kServer), BrowseDirection::Invalid, {}, true, 0, 63}};
    BrowseResponse response;
    ASSERT_EQ(m_client.Call(enc::kBrowseRequest, request, enc::kBrowseResponse, &response), kGood);
    ASSERT_EQ(response.results.size(), 3u);
    EXPECT_EQ(response.results[0].statusCode, kBadNodeIdUnknown);
    EXPECT_EQ(response.results[1].statusCode, kBadReferenceTypeIdInvalid);
    EXPECT_EQ(response.results[2].statusCode, kBadBrowseDirectionInvalid);
    request.nodesToBrowse.clear();
    EXPECT_EQ(m_client.Call(enc::kBrowseRequest, request, enc::kBrowseResponse, &response), kBadNothingToDo);
}

TEST_F(UaBrowseTest, BrowsePathsTranslateToNodeIds)
{
    auto element = [](uint16_t ns, const std::string& name) {
        return RelativePathElement{NodeId::Numeric(id::kHierarchicalReferences), false, true,
                                   QualifiedName{ns, name}};
    };
    TranslateBrowsePathsRequest request;
    request.browsePaths = {BrowsePath{NodeId::Numeric(id::kObjectsFolder),
                                      RelativePath{{element(1, kRoot), element(1, "ch"), element(1, "dev"),
                                                    element(1, "item_7")}}},
                           BrowsePath{NodeId::Numeric(id::kRootFolder),
                                      RelativePath{{element(0, "Objects"), element(0, "Server"),
                                                    element(0, "ServerStatus"), element(0, "State")}}},
                           BrowsePath{NodeId::Numeric(id::kObjectsFolder),
                                      RelativePath{{element(1, kRoot), element(1, "nothing")}}},
                           BrowsePath{NodeId::Numeric(id::kObjectsFolder), RelativePath{}},
                           BrowsePath{NodeId::Numeric(id::kObjectsFolder), RelativePath{{element(1, "")}}},
                           BrowsePath{Item("ch.dev.item_1"),
                                      RelativePath{{RelativePathElement{NodeId::Numeric(id::kOrganizes), true,
                                                                        false, QualifiedName{1, "dev"}}}}}};
    TranslateBrowsePathsResponse response;
    ASSERT_EQ(m_client.Call(enc::kTranslateBrowsePathsRequest, request, enc::kTranslateBrowsePathsResponse,
                            &response),
              kGood);
    ASSERT_EQ(response.results.size(), 6u);
    ASSERT_EQ(response.results[0].targets.size(), 1u);
    EXPECT_EQ(response.results[0].targets[0].targetId.nodeId, Item("ch.dev.item_7"));
    EXPECT_EQ(response.results[0].targets[0].remainingPathIndex, 0xFFFFFFFFu);
    ASSERT_EQ(response.results[1].targets.size(), 1u);
    EXPECT_TRUE(response.results[1].targets[0].targetId.nodeId.Is(id::kState));
    EXPECT_EQ(response.results[2].statusCode, kBadNoMatch);
    EXPECT_EQ(response.results[3].statusCode, kBadNothingToDo);
    EXPECT_EQ(response.results[4].statusCode, kBadBrowseNameInvalid);
    ASSERT_EQ(response.results[5].targets.size(), 1u);
    EXPECT_EQ(response.results[5].targets[0].targetId.nodeId, NodeId::String(1, Id("ch.dev")));
}

TEST_F(UaBrowseTest, WithdrawnChannelLeavesTheAddressSpace)
{
    BrowseResult before = Browse(NodeId::String(1, Id("ch.dev")), BrowseDirection::Forward, {}, true, 0, 5);
    ASSERT_FALSE(before.continuationPoint.bytes.empty());
    DeleteDAItem(Id("ch").c_str());
    EXPECT_EQ(Next({before.continuationPoint}).results[0].statusCode, kBadNodeIdUnknown);
    EXPECT_EQ(Browse(NodeId::String(1, Id("ch"))).statusCode, kBadNodeIdUnknown);
}

}  // namespace
