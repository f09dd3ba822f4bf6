// Subscriptions over a real socket against the fake program: monitored items
// and their filters, queues and triggers, the Publish queue with its keep-alive
// and lifetime, retransmission, transfer between sessions, and items taken and
// let go as they are monitored.

#include "UaTestServer.h"
#include "opcua/UaLimits.h"
#include "opcua/protocol/UaSubscriptionMessages.h"
#include "support/WaitFor.h"

#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <thread>

using namespace ua;
using namespace std::chrono_literals;

namespace {

const std::string kBranch = "Vireo-2_1.Sub";
constexpr int kItems = 10;

std::string U(int i)
{
    return kBranch + ".u_" + std::to_string(i);
}

ExtensionObject Filter(DataChangeTrigger trigger, uint32_t deadbandType = 0, double deadband = 0)
{
    return Wrap(enc::kDataChangeFilter, DataChangeFilter{trigger, deadbandType, deadband});
}

MonitoredItemCreateRequest Watch(const NodeId& node, uint32_t handle, ExtensionObject filter = {},
                                 uint32_t queueSize = 1, bool discardOldest = true,
                                 MonitoringMode mode = MonitoringMode::Reporting, uint32_t attribute = 13)
{
    MonitoredItemCreateRequest r;
    r.itemToMonitor.nodeId = node;
    r.itemToMonitor.attributeId = attribute;
    r.monitoringMode = mode;
    r.requestedParameters = MonitoringParameters{handle, 0, std::move(filter), queueSize, discardOldest};
    return r;
}

std::vector<MonitoredItemNotification> Changes(const NotificationMessage& m)
{
    std::vector<MonitoredItemNotification> out;
    for (const ExtensionObject& e : m.notificationData) {
        DataChangeNotification d;
        if (Unwrap(e, enc::kDataChangeNotification, &d))
            out.insert(out.end(), d.monitoredItems.begin(), d.monitoredItems.end());
    }
    return out;
}

StatusCode StatusChange(const NotificationMessage& m)
{
    StatusChangeNotification s;
    return m.notificationData.size() == 1 && Unwrap(m.notificationData[0], enc::kStatusChangeNotification, &s)
               ? s.status
               : kGood;
}

class UaSubscriptionTest : public UaServerFixture {
   protected:
    void SetUp() override
    {
        UaServerFixture::SetUp();
        m_program.m_pollPeriod = 50;
        for (int i = 1; i <= kItems; ++i) m_u.push_back(m_program.Add(Id(U(i))));
        m_b = m_program.Add(Id(kBranch + ".b"), VT_BOOL, OPC_READABLE);
        m_s = m_program.Add(Id(kBranch + ".s"), VT_BSTR, OPC_READABLE);
        m_program.Add(Id(kBranch + ".w"), VT_UI2, OPC_WRITEABLE);
        Open(m_client);
    }

    uint32_t Subscribe(CUaClient& c, double publishingMs = 50, uint32_t keepAlive = 10,
                       uint32_t lifetime = 600, uint32_t maxNotifications = 0)
    {
        CreateSubscriptionRequest r;
        r.requestedPublishingInterval = publishingMs;
        r.requestedMaxKeepAliveCount = keepAlive;
        r.requestedLifetimeCount = lifetime;
        r.maxNotificationsPerPublish = maxNotifications;
        CreateSubscriptionResponse response;
        EXPECT_EQ(c.Call(enc::kCreateSubscriptionRequest, r, enc::kCreateSubscriptionResponse, &response),
                  kGood);
        return response.subscriptionId;
    }
    std::vector<MonitoredItemCreateResult> Monitor(CUaClient& c, uint32_t sub,
                                                   std::vector<MonitoredItemCreateRequest> items)
    {
        CreateMonitoredItemsRequest r;
        r.subscriptionId = sub;
        r.timestampsToReturn = TimestampsToReturn::Both;
        r.itemsToCreate = std::move(items);
        CreateMonitoredItemsResponse response;
        EXPECT_EQ(c.Call(enc::kCreateMonitoredItemsRequest, r, enc::kCreateMonitoredItemsResponse, &response),
                  kGood);
        return response.results;
    }
    StatusCode Publish(CUaClient& c, PublishResponse* response,
                       std::vector<SubscriptionAcknowledgement> acks = {})
    {
        PublishRequest r;
        r.subscriptionAcknowledgements = std::move(acks);
        return c.Call(enc::kPublishRequest, r, enc::kPublishResponse, response);
    }
    // The next message with notifications, keep-alives skipped.
    PublishResponse NextData(CUaClient& c)
    {
        PublishResponse response;
        for (int i = 0; i < 100; ++i) {
            if (Publish(c, &response) != kGood || !response.notificationMessage.notificationData.empty())
                break;
        }
        return response;
    }
    template <typename Req>
    StatusListResponse Statuses(uint32_t type, Req& request, uint32_t responseType)
    {
        StatusListResponse response;
        EXPECT_EQ(m_client.Call(type, request, responseType, &response), kGood);
        return response;
    }

    CUaClient m_client;
    std::vector<CFakeTag*> m_u;
    CFakeTag* m_b = nullptr;
    CFakeTag* m_s = nullptr;
};

struct SettingsCase {
    double interval;
    uint32_t keepAlive, lifetime;
    double revisedInterval;
    uint32_t revisedKeepAlive, revisedLifetime;
};

TEST_F(UaSubscriptionTest, SubscriptionSettingsAreRevisedIntoRange)
{
    const SettingsCase cases[] = {
        {0, 0, 0, 20, 10, 30},       // the fastest, the default keep-alive, three keep-alives of life
        {100, 5, 10, 100, 5, 15},    // a lifetime shorter than three keep-alives is stretched
        {250, 3, 100, 250, 3, 100},  // as asked
        {1e12, 1000000, 1, 3600000, 10000, 30000},
        {NAN, 1, 3, 20, 1, 3},
    };
    // Each row's request creates a subscription, and the next row's changes it.
    auto ask = [&](auto& request, auto& response, uint32_t type, uint32_t responseType,
                   const SettingsCase& c) {
        request.requestedPublishingInterval = c.interval;
        request.requestedMaxKeepAliveCount = c.keepAlive;
        request.requestedLifetimeCount = c.lifetime;
        ASSERT_EQ(m_client.Call(type, request, responseType, &response), kGood);
        EXPECT_EQ(response.revisedPublishingInterval, c.revisedInterval) << c.interval;
        EXPECT_EQ(response.revisedMaxKeepAliveCount, c.revisedKeepAlive) << c.interval;
        EXPECT_EQ(response.revisedLifetimeCount, c.revisedLifetime) << c.interval;
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        CreateSubscriptionRequest create;
        CreateSubscriptionResponse created;
        ask(create, created, enc::kCreateSubscriptionRequest, enc::kCreateSubscriptionResponse, cases[i]);
        ModifySubscriptionRequest modify;
        modify.subscriptionId = created.subscriptionId;
        ModifySubscriptionResponse modified;
        ask(modify, modified, enc::kModifySubscriptionRequest, enc::kModifySubscriptionResponse,
            cases[(i + 1) % std::size(cases)]);
    }
    ModifySubscriptionRequest unknown;
    unknown.subscriptionId = 999999;
    ModifySubscriptionResponse none;
    EXPECT_EQ(
        m_client.Call(enc::kModifySubscriptionRequest, unknown, enc::kModifySubscriptionResponse, &none),
        kBadSubscriptionIdInvalid);
}

struct CreateCase {
    const char* what;
    MonitoredItemCreateRequest request;
    StatusCode status;
    double revisedSampling;  // for the items created
};

TEST_F(UaSubscriptionTest, CreateMonitoredItemsChecksEachItemAndTheFirstPublishCarriesTheirValues)
{
    m_program.Set(m_u[0], 7);
    {
        CCriticalSectionLock lock(m_program.ItemLock());
        m_s->m_value.bstrVal = SysAllocStringUtf8("Пожар");
    }
    const NodeId b = Item(kBranch + ".b");
    std::vector<CreateCase> cases = {
        {"a value, sampled as fast as its channel polls", Watch(Item(U(1)), 1), kGood, 50},
        {"a value with a Status trigger", Watch(Item(U(2)), 2, Filter(DataChangeTrigger::Status)), kGood, 50},
        {"an absolute deadband on a number",
         Watch(Item(U(3)), 3, Filter(DataChangeTrigger::StatusValue, 1, 5)), kGood, 50},
        {"no deadband on a Boolean", Watch(b, 4, Filter(DataChangeTrigger::StatusValue, 0, 0)), kGood, 50},
        {"an absolute deadband on a Boolean", Watch(b, 5, Filter(DataChangeTrigger::StatusValue, 1, 1)),
         kBadFilterNotAllowed, 0},
        {"no deadband on a string", Watch(Item(kBranch + ".s"), 19, Filter(DataChangeTrigger::StatusValue)),
         kGood, 50},
        {"an absolute deadband on a string",
         Watch(Item(kBranch + ".s"), 20, Filter(DataChangeTrigger::StatusValue, 1, 1)), kBadFilterNotAllowed,
         0},
        {"a percent deadband", Watch(Item(U(4)), 6, Filter(DataChangeTrigger::StatusValue, 2, 10)),
         kBadMonitoredItemFilterUnsupported, 0},
        {"a negative deadband", Watch(Item(U(4)), 7, Filter(DataChangeTrigger::StatusValue, 1, -1)),
         kBadDeadbandFilterInvalid, 0},
        {"an unknown trigger", Watch(Item(U(4)), 8, Filter(static_cast<DataChangeTrigger>(7))),
         kBadMonitoredItemFilterInvalid, 0},
        {"an event filter on a value",
         Watch(Item(U(4)), 9, ExtensionObject{NodeId::Numeric(enc::kEventFilter), ExtensionObject::None, {}}),
         kBadFilterNotAllowed, 0},
        {"an unknown item", Watch(Item(kBranch + ".none"), 10), kBadNodeIdUnknown, 0},
        {"a folder's value", Watch(Item(kBranch), 11), kBadAttributeIdInvalid, 0},
        {"a write-only item", Watch(Item(kBranch + ".w"), 12), kBadNotReadable, 0},
        {"no such attribute", Watch(Item(U(4)), 13, {}, 1, true, MonitoringMode::Reporting, 99),
         kBadAttributeIdInvalid, 0},
        {"a range of a scalar",
         [] {
             auto r = Watch(Item(U(4)), 14);
             r.itemToMonitor.indexRange = "1";
             return r;
         }(),
         kBadIndexRangeNoData, 0},
        {"no such mode", Watch(Item(U(4)), 15, {}, 1, true, static_cast<MonitoringMode>(5)),
         kBadMonitoringModeInvalid, 0},
        {"the server's current time", Watch(NodeId::Numeric(id::kCurrentTime), 16), kGood, 20},
        {"an item's display name", Watch(Item(U(5)), 17, {}, 1, true, MonitoringMode::Reporting, 4), kGood,
         20},
        {"an item's sampling limit", Watch(Item(U(5)), 18, {}, 1, true, MonitoringMode::Reporting, 19), kGood,
         20},
    };
    const uint32_t sub = Subscribe(m_client);
    std::vector<MonitoredItemCreateRequest> requests;
    for (const CreateCase& c : cases) requests.push_back(c.request);
    requests[0].requestedParameters.samplingInterval = 10;  // faster than the channel polls
    const auto results = Monitor(m_client, sub, requests);
    ASSERT_EQ(results.size(), cases.size());
    std::set<uint32_t> created;
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(results[i].statusCode, cases[i].status) << cases[i].what;
        if (results[i].statusCode != kGood) continue;
        EXPECT_EQ(results[i].revisedSamplingInterval, cases[i].revisedSampling) << cases[i].what;
        EXPECT_NE(results[i].monitoredItemId, 0u);
        created.insert(cases[i].request.requestedParameters.clientHandle);
    }
    EXPECT_TRUE(m_u[0]->InUse());
    EXPECT_FALSE(m_program.Find(Id(kBranch + ".w").c_str())->InUse());  // refused items are let go

    // Every item reports its current value once, the time as it goes on.
    std::set<uint32_t> reported;
    std::vector<MonitoredItemNotification> changes;
    for (int i = 0; i < 20 && reported != created; ++i) {
        for (const auto& n : Changes(NextData(m_client).notificationMessage)) {
            if (reported.insert(n.clientHandle).second) changes.push_back(n);
        }
    }
    for (const auto& n : changes) {
        if (n.clientHandle == 1) {
            EXPECT_EQ(n.value.value, MakeUnsigned(Type::UInt16, 7));
            EXPECT_TRUE(n.value.hasSourceTimestamp && n.value.hasServerTimestamp);
        }
        if (n.clientHandle == 17) {
            EXPECT_EQ(n.value.value, MakeBoxed(Type::LocalizedText, LocalizedText{"", "u_5"}));
        }
        if (n.clientHandle == 18) {
            EXPECT_EQ(n.value.value, MakeReal(Type::Double, 50));
        }
        if (n.clientHandle == 19) {
            EXPECT_EQ(n.value.value, MakeString("Пожар"));
        }
    }
    EXPECT_EQ(reported, created);
}

TEST_F(UaSubscriptionTest, TriggersAndDeadbandsDecideWhatIsReported)
{
    m_program.Set(m_u[0], 100);
    const uint32_t sub = Subscribe(m_client);
    Monitor(m_client, sub,
            {Watch(Item(U(1)), 1), Watch(Item(U(1)), 2, Filter(DataChangeTrigger::Status)),
             Watch(Item(U(1)), 3, Filter(DataChangeTrigger::StatusValueTimestamp)),
             Watch(Item(U(1)), 4, Filter(DataChangeTrigger::StatusValue, 1, 5))});
    EXPECT_EQ(Changes(NextData(m_client).notificationMessage).size(), 4u);  // every one starts with the value
    struct Step {
        uint16_t value;
        uint16_t quality;
        std::set<uint32_t> reported;
    };
    const Step steps[] = {
        {100, OPC_QUALITY_GOOD, {3}},          // only the time stamp moved
        {103, OPC_QUALITY_GOOD, {1, 3}},       // within the deadband
        {110, OPC_QUALITY_GOOD, {1, 3, 4}},    // beyond it (from 100, the last reported)
        {110, OPC_QUALITY_BAD, {1, 2, 3, 4}},  // the status counts for all
        {110, OPC_QUALITY_GOOD, {1, 2, 3, 4}},
    };
    for (const Step& s : steps) {
        m_program.Set(m_u[0], s.value, s.quality);
        std::set<uint32_t> reported;
        for (const auto& n : Changes(NextData(m_client).notificationMessage)) {
            reported.insert(n.clientHandle);
            EXPECT_EQ(n.value.status, s.quality == OPC_QUALITY_GOOD ? kGood : kBad);
        }
        EXPECT_EQ(reported, s.reported) << s.value << "/" << s.quality;
    }
}

TEST_F(UaSubscriptionTest, ModifiedItemsReportUnderTheirNewHandleAndFilter)
{
    for (CFakeTag* tag : {m_u[0], m_u[1], m_b}) m_program.Set(tag, 0);  // Good from the start
    const uint32_t sub = Subscribe(m_client);
    const auto created =
        Monitor(m_client, sub, {Watch(Item(U(1)), 1), Watch(Item(U(2)), 2), Watch(Item(kBranch + ".b"), 3)});
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(Changes(NextData(m_client).notificationMessage).size(), 3u);

    auto change = [](uint32_t id, uint32_t handle, ExtensionObject filter, uint32_t queueSize) {
        MonitoredItemModifyRequest r;
        r.monitoredItemId = id;
        r.requestedParameters = MonitoringParameters{handle, 10, std::move(filter), queueSize, true};
        return r;
    };
    ModifyMonitoredItemsRequest r;
    r.subscriptionId = sub;
    r.timestampsToReturn = TimestampsToReturn::Both;
    r.itemsToModify = {
        change(created[0].monitoredItemId, 11, Filter(DataChangeTrigger::StatusValue, 1, 5), 0),
        change(created[2].monitoredItemId, 13, Filter(DataChangeTrigger::StatusValue, 1, 1), 5000),
        change(created[1].monitoredItemId + 0x1000, 12, {}, 1),
    };
    ModifyMonitoredItemsResponse modified;
    ASSERT_EQ(
        m_client.Call(enc::kModifyMonitoredItemsRequest, r, enc::kModifyMonitoredItemsResponse, &modified),
        kGood);
    ASSERT_EQ(modified.results.size(), 3u);
    EXPECT_EQ(modified.results[0].statusCode, kGood);
    EXPECT_EQ(modified.results[0].revisedSamplingInterval, 50);  // as fast as the channel polls
    EXPECT_EQ(modified.results[0].revisedQueueSize, 1u);
    EXPECT_EQ(modified.results[1].statusCode, kBadFilterNotAllowed);  // a deadband on a Boolean
    EXPECT_EQ(modified.results[2].statusCode, kBadMonitoredItemIdInvalid);

    // Within the new deadband: only the unchanged item reports.
    m_program.Set(m_u[0], 3);
    m_program.Set(m_u[1], 1);
    std::set<uint32_t> reported;
    for (const auto& n : Changes(NextData(m_client).notificationMessage)) reported.insert(n.clientHandle);
    EXPECT_EQ(reported, (std::set<uint32_t>{2}));
    // Beyond it, under the new handle; the refused change left the Boolean as it was.
    m_program.Set(m_u[0], 10);
    m_program.Set(m_b, 1);
    reported.clear();
    for (const auto& n : Changes(NextData(m_client).notificationMessage)) reported.insert(n.clientHandle);
    EXPECT_EQ(reported, (std::set<uint32_t>{11, 3}));
}

TEST_F(UaSubscriptionTest, QueuesKeepTheirSizeAndMarkOverflows)
{
    const uint32_t sub = Subscribe(m_client);
    // Publishing off: the items are sampled and queued, nothing is sent.
    SetPublishingModeRequest off;
    off.publishingEnabled = false;
    off.subscriptionIds = {sub};
    Statuses(enc::kSetPublishingModeRequest, off, enc::kSetPublishingModeResponse);
    Monitor(m_client, sub, {Watch(Item(U(1)), 1, {}, 3, true), Watch(Item(U(2)), 2, {}, 3, false)});
    for (uint16_t v = 1; v <= 5; ++v) {
        std::this_thread::sleep_for(300ms);  // several sampling intervals
        m_program.Set(m_u[0], v);
        m_program.Set(m_u[1], v);
    }
    std::this_thread::sleep_for(300ms);
    SetPublishingModeRequest on = off;
    on.publishingEnabled = true;
    EXPECT_EQ(Statuses(enc::kSetPublishingModeRequest, on, enc::kSetPublishingModeResponse).results,
              std::vector<StatusCode>{kGood});
    std::map<uint32_t, std::vector<std::pair<uint64_t, StatusCode>>> seen;
    for (const auto& n : Changes(NextData(m_client).notificationMessage))
        seen[n.clientHandle].emplace_back(std::get<uint64_t>(n.value.value.scalar), n.value.status);
    const StatusCode overflow = kOverflowInfoBits;
    // The oldest go, and the first kept tells; or the newest is replaced and tells.
    EXPECT_EQ(seen[1], (std::vector<std::pair<uint64_t, StatusCode>>{{3, overflow}, {4, kGood}, {5, kGood}}));
    EXPECT_EQ(seen[2],
              (std::vector<std::pair<uint64_t, StatusCode>>{{0, kUncertain}, {1, kGood}, {5, overflow}}));
}

TEST_F(UaSubscriptionTest, NotificationsPerPublishAreLimited)
{
    const uint32_t sub = Subscribe(m_client, 50, 10, 600, 4);
    std::vector<MonitoredItemCreateRequest> items;
    for (int i = 1; i <= kItems; ++i) items.push_back(Watch(Item(U(i)), i));
    Monitor(m_client, sub, items);
    PublishResponse r = NextData(m_client);
    std::vector<size_t> sizes{Changes(r.notificationMessage).size()};
    std::vector<bool> more{r.moreNotifications};
    while (r.moreNotifications) {
        ASSERT_EQ(Publish(m_client, &r), kGood);
        sizes.push_back(Changes(r.notificationMessage).size());
        more.push_back(r.moreNotifications);
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{4, 4, 2}));
    EXPECT_EQ(more, (std::vector<bool>{true, true, false}));
}

TEST_F(UaSubscriptionTest, KeepAlivesCarryTheNextSequenceNumber)
{
    Subscribe(m_client, 50, 3);
    PublishResponse r;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Publish(m_client, &r), kGood);
        EXPECT_TRUE(r.notificationMessage.notificationData.empty());
        EXPECT_EQ(r.notificationMessage.sequenceNumber, 1u);
        EXPECT_TRUE(r.availableSequenceNumbers.empty());
    }
    // The first at once, then one every three intervals.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
}

TEST_F(UaSubscriptionTest, PublishRequestsQueueUpToTheLimitAndWaitForTheirTimeoutHint)
{
    // The first cycle a minute away: the requests wait.
    Subscribe(m_client, 60000, 1);
    PublishResponse r;
    std::vector<uint32_t> ids(kMaxPublishRequestsPerSession + 2);
    for (size_t i = 0; i < ids.size(); ++i) {
        PublishRequest p;
        if (i == ids.size() - 1) p.requestHeader.timeoutHint = 700;
        const auto posted = std::chrono::steady_clock::now();
        ASSERT_EQ(m_client.Post(enc::kPublishRequest, p, &ids[i]), kGood);
        if (i == ids.size() - 1) {
            EXPECT_EQ(m_client.Await(ids[i], enc::kPublishResponse, &r), kBadTimeout);
            EXPECT_GE(std::chrono::steady_clock::now() - posted, 700ms);
        }
    }
    // The oldest beyond the limit were refused at once; the others still wait.
    EXPECT_EQ(m_client.Await(ids[0], enc::kPublishResponse, &r), kBadTooManyPublishRequests);
    EXPECT_EQ(m_client.Await(ids[1], enc::kPublishResponse, &r), kBadTooManyPublishRequests);
    ReadRequest read;
    read.nodesToRead = {ReadValueId{NodeId::Numeric(id::kState), 13, "", {}}};
    ReadResponse answer;
    EXPECT_EQ(m_client.Call(enc::kReadRequest, read, enc::kReadResponse, &answer), kGood);
    EXPECT_EQ(m_client.CloseSession(), kGood);
    EXPECT_EQ(m_client.Await(ids[2], enc::kPublishResponse, &r), kBadSessionClosed);
}

TEST_F(UaSubscriptionTest, ASubscriptionWithoutPublishRequestsExpiresAndLetsItsItemsGo)
{
    const uint32_t sub = Subscribe(m_client, 100, 1, 10);
    Monitor(m_client, sub, {Watch(Item(U(1)), 1)});
    EXPECT_TRUE(m_u[0]->InUse());
    ASSERT_TRUE(WaitFor([&] { return !m_u[0]->InUse(); }, 5s));
    PublishResponse r;
    ASSERT_EQ(Publish(m_client, &r), kGood);
    EXPECT_EQ(r.subscriptionId, sub);
    EXPECT_EQ(StatusChange(r.notificationMessage), kBadTimeout);
    EXPECT_EQ(Publish(m_client, &r), kBadNoSubscription);
}

TEST_F(UaSubscriptionTest, MessagesStayForRepublishUntilAcknowledged)
{
    const uint32_t sub = Subscribe(m_client);
    Monitor(m_client, sub, {Watch(Item(U(1)), 1)});
    const PublishResponse first = NextData(m_client);
    const uint32_t seq = first.notificationMessage.sequenceNumber;
    EXPECT_EQ(first.availableSequenceNumbers, std::vector<uint32_t>{seq});
    RepublishRequest again;
    again.subscriptionId = sub;
    again.retransmitSequenceNumber = seq;
    RepublishResponse copy;
    ASSERT_EQ(m_client.Call(enc::kRepublishRequest, again, enc::kRepublishResponse, &copy), kGood);
    EXPECT_EQ(copy.notificationMessage.sequenceNumber, seq);
    EXPECT_EQ(Changes(copy.notificationMessage).size(), 1u);

    m_program.Set(m_u[0], 9);
    PublishResponse r;
    ASSERT_EQ(Publish(m_client, &r, {{sub, seq}, {sub, seq + 100}, {sub + 1, seq}}), kGood);
    EXPECT_EQ(r.results,
              (std::vector<StatusCode>{kGood, kBadSequenceNumberUnknown, kBadSubscriptionIdInvalid}));
    EXPECT_EQ(m_client.Call(enc::kRepublishRequest, again, enc::kRepublishResponse, &copy),
              kBadMessageNotAvailable);
}

TEST_F(UaSubscriptionTest, ASubscriptionMovesToAnotherSessionWithItsItems)
{
    const uint32_t sub = Subscribe(m_client);
    Monitor(m_client, sub, {Watch(Item(U(1)), 1)});
    NextData(m_client);
    CUaClient other;
    Open(other, "other");
    TransferSubscriptionsRequest t;
    t.subscriptionIds = {sub, sub + 1};
    t.sendInitialValues = true;
    TransferSubscriptionsResponse moved;
    ASSERT_EQ(other.Call(enc::kTransferSubscriptionsRequest, t, enc::kTransferSubscriptionsResponse, &moved),
              kGood);
    ASSERT_EQ(moved.results.size(), 2u);
    EXPECT_EQ(moved.results[0].statusCode, kGood);
    EXPECT_EQ(moved.results[0].availableSequenceNumbers.size(), 1u);
    EXPECT_EQ(moved.results[1].statusCode, kBadSubscriptionIdInvalid);

    PublishResponse r;
    ASSERT_EQ(Publish(m_client, &r), kGood);
    EXPECT_EQ(StatusChange(r.notificationMessage), kGoodSubscriptionTransferred);
    EXPECT_EQ(Publish(m_client, &r), kBadNoSubscription);
    // The current value again, on the new session.
    const auto changes = Changes(NextData(other).notificationMessage);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].clientHandle, 1u);
    // A session closed without deleting leaves its subscription to be taken over.
    EXPECT_EQ(other.CloseSession(false), kGood);
    EXPECT_TRUE(m_u[0]->InUse());
    EXPECT_TRUE(DAServerInUse());
    ASSERT_EQ(
        m_client.Call(enc::kTransferSubscriptionsRequest, t, enc::kTransferSubscriptionsResponse, &moved),
        kGood);
    EXPECT_EQ(moved.results[0].statusCode, kGood);
    EXPECT_EQ(m_client.CloseSession(), kGood);
    EXPECT_FALSE(m_u[0]->InUse());
    EXPECT_FALSE(DAServerInUse());
}

TEST_F(UaSubscriptionTest, DisabledItemsAreLetGoAndTriggeredItemsReportWithTheirTrigger)
{
    const uint32_t sub = Subscribe(m_client);
    const auto ids =
        Monitor(m_client, sub,
                {Watch(Item(U(1)), 1), Watch(Item(U(2)), 2, {}, 1, true, MonitoringMode::Sampling),
                 Watch(Item(U(3)), 3)});
    SetTriggeringRequest link;
    link.subscriptionId = sub;
    link.triggeringItemId = ids[0].monitoredItemId;
    link.linksToAdd = {ids[1].monitoredItemId, ids[0].monitoredItemId};
    SetTriggeringResponse linked;
    ASSERT_EQ(m_client.Call(enc::kSetTriggeringRequest, link, enc::kSetTriggeringResponse, &linked), kGood);
    EXPECT_EQ(linked.addResults, (std::vector<StatusCode>{kGood, kBadMonitoredItemIdInvalid}));
    NextData(m_client);

    auto reported = [&] {
        std::set<uint32_t> handles;
        for (const auto& n : Changes(NextData(m_client).notificationMessage)) handles.insert(n.clientHandle);
        return handles;
    };
    m_program.Set(m_u[1], 5);  // sampled, not reported
    m_program.Set(m_u[2], 5);
    EXPECT_EQ(reported(), std::set<uint32_t>{3});
    m_program.Set(m_u[0], 5);  // the trigger brings the sampled item along
    EXPECT_EQ(reported(), (std::set<uint32_t>{1, 2}));

    SetMonitoringModeRequest mode;
    mode.subscriptionId = sub;
    mode.monitoringMode = MonitoringMode::Disabled;
    mode.monitoredItemIds = {ids[2].monitoredItemId, 12345};
    EXPECT_EQ(Statuses(enc::kSetMonitoringModeRequest, mode, enc::kSetMonitoringModeResponse).results,
              (std::vector<StatusCode>{kGood, kBadMonitoredItemIdInvalid}));
    EXPECT_FALSE(m_u[2]->InUse());
    mode.monitoringMode = MonitoringMode::Reporting;
    mode.monitoredItemIds = {ids[2].monitoredItemId};
    Statuses(enc::kSetMonitoringModeRequest, mode, enc::kSetMonitoringModeResponse);
    EXPECT_TRUE(m_u[2]->InUse());
    EXPECT_EQ(reported(), std::set<uint32_t>{3});  // enabled again with its current value

    DeleteMonitoredItemsRequest del;
    del.subscriptionId = sub;
    del.monitoredItemIds = {ids[2].monitoredItemId, ids[2].monitoredItemId};
    EXPECT_EQ(Statuses(enc::kDeleteMonitoredItemsRequest, del, enc::kDeleteMonitoredItemsResponse).results,
              (std::vector<StatusCode>{kGood, kBadMonitoredItemIdInvalid}));
    EXPECT_FALSE(m_u[2]->InUse());
}

TEST_F(UaSubscriptionTest, WithdrawnItemsTurnBadAndComeBackWhenDefinedAgain)
{
    const uint32_t sub = Subscribe(m_client);
    Monitor(m_client, sub, {Watch(Item(U(1)), 1)});
    m_program.Set(m_u[0], 3);
    NextData(m_client);
    DeleteDAItem(Id(kBranch).c_str());
    auto changes = Changes(NextData(m_client).notificationMessage);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].value.status, kBad);
    CFakeTag* again = m_program.Add(Id(U(1)));
    m_program.Set(again, 4);
    // Taken again within a second or so; its first sample may still be the new item's first value.
    DataValue last;
    for (int i = 0; i < 5 && !(last.value == MakeUnsigned(Type::UInt16, 4)); ++i) {
        changes = Changes(NextData(m_client).notificationMessage);
        ASSERT_EQ(changes.size(), 1u);
        last = changes[0].value;
    }
    EXPECT_EQ(last.status, kGood);
    EXPECT_EQ(last.value, MakeUnsigned(Type::UInt16, 4));
    EXPECT_TRUE(again->InUse());
}

}  // namespace
