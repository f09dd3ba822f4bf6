#pragma once
// The subscription and monitored item service messages, with their fields in
// wire order, their encodings and the status codes they answer with.

#include "opcua/protocol/UaMessages.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ua {

namespace enc {
constexpr uint32_t kDataChangeFilter = 724;
constexpr uint32_t kEventFilter = 727;
constexpr uint32_t kAggregateFilter = 730;
constexpr uint32_t kCreateMonitoredItemsRequest = 751;
constexpr uint32_t kCreateMonitoredItemsResponse = 754;
constexpr uint32_t kModifyMonitoredItemsRequest = 763;
constexpr uint32_t kModifyMonitoredItemsResponse = 766;
constexpr uint32_t kSetMonitoringModeRequest = 769;
constexpr uint32_t kSetMonitoringModeResponse = 772;
constexpr uint32_t kSetTriggeringRequest = 775;
constexpr uint32_t kSetTriggeringResponse = 778;
constexpr uint32_t kDeleteMonitoredItemsRequest = 781;
constexpr uint32_t kDeleteMonitoredItemsResponse = 784;
constexpr uint32_t kCreateSubscriptionRequest = 787;
constexpr uint32_t kCreateSubscriptionResponse = 790;
constexpr uint32_t kModifySubscriptionRequest = 793;
constexpr uint32_t kModifySubscriptionResponse = 796;
constexpr uint32_t kSetPublishingModeRequest = 799;
constexpr uint32_t kSetPublishingModeResponse = 802;
constexpr uint32_t kDataChangeNotification = 811;
constexpr uint32_t kStatusChangeNotification = 820;
constexpr uint32_t kPublishRequest = 826;
constexpr uint32_t kPublishResponse = 829;
constexpr uint32_t kRepublishRequest = 832;
constexpr uint32_t kRepublishResponse = 835;
constexpr uint32_t kTransferSubscriptionsRequest = 841;
constexpr uint32_t kTransferSubscriptionsResponse = 844;
constexpr uint32_t kDeleteSubscriptionsRequest = 847;
constexpr uint32_t kDeleteSubscriptionsResponse = 850;
}  // namespace enc

constexpr StatusCode kGoodSubscriptionTransferred = 0x002D0000u;
constexpr StatusCode kBadSubscriptionIdInvalid = 0x80280000u;
constexpr StatusCode kBadMonitoringModeInvalid = 0x80410000u;
constexpr StatusCode kBadMonitoredItemIdInvalid = 0x80420000u;
constexpr StatusCode kBadMonitoredItemFilterInvalid = 0x80430000u;
constexpr StatusCode kBadMonitoredItemFilterUnsupported = 0x80440000u;
constexpr StatusCode kBadFilterNotAllowed = 0x80450000u;
constexpr StatusCode kBadTooManySubscriptions = 0x80770000u;
constexpr StatusCode kBadTooManyPublishRequests = 0x80780000u;
constexpr StatusCode kBadNoSubscription = 0x80790000u;
constexpr StatusCode kBadSequenceNumberUnknown = 0x807A0000u;
constexpr StatusCode kBadMessageNotAvailable = 0x807B0000u;
constexpr StatusCode kBadDeadbandFilterInvalid = 0x808E0000u;
constexpr StatusCode kBadTooManyMonitoredItems = 0x80DB0000u;
// The info bits of a data value whose queue overflowed.
constexpr StatusCode kOverflowInfoBits = 0x00000480u;

enum class MonitoringMode : int32_t { Disabled = 0, Sampling = 1, Reporting = 2 };
enum class DataChangeTrigger : int32_t { Status = 0, StatusValue = 1, StatusValueTimestamp = 2 };
enum class DeadbandType : uint32_t { None = 0, Absolute = 1, Percent = 2 };

#define UA_FIELDS(...)                             \
    template <typename C, typename S>              \
    static void Fields(C& c, S& s)                 \
    {                                              \
        [&](auto&... f) { c(f...); }(__VA_ARGS__); \
    }

// ---- subscriptions ----

struct CreateSubscriptionRequest {
    RequestHeader requestHeader;
    double requestedPublishingInterval = 0;
    uint32_t requestedLifetimeCount = 0;
    uint32_t requestedMaxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    bool publishingEnabled = true;
    uint8_t priority = 0;
    UA_FIELDS(s.requestHeader, s.requestedPublishingInterval, s.requestedLifetimeCount,
              s.requestedMaxKeepAliveCount, s.maxNotificationsPerPublish, s.publishingEnabled, s.priority)
};

struct CreateSubscriptionResponse {
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    double revisedPublishingInterval = 0;
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
    UA_FIELDS(s.responseHeader, s.subscriptionId, s.revisedPublishingInterval, s.revisedLifetimeCount,
              s.revisedMaxKeepAliveCount)
};

struct ModifySubscriptionRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    double requestedPublishingInterval = 0;
    uint32_t requestedLifetimeCount = 0;
    uint32_t requestedMaxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    uint8_t priority = 0;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.requestedPublishingInterval, s.requestedLifetimeCount,
              s.requestedMaxKeepAliveCount, s.maxNotificationsPerPublish, s.priority)
};

struct ModifySubscriptionResponse {
    ResponseHeader responseHeader;
    double revisedPublishingInterval = 0;
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
    UA_FIELDS(s.responseHeader, s.revisedPublishingInterval, s.revisedLifetimeCount,
              s.revisedMaxKeepAliveCount)
};

struct SetPublishingModeRequest {
    RequestHeader requestHeader;
    bool publishingEnabled = true;
    std::vector<uint32_t> subscriptionIds;
    UA_FIELDS(s.requestHeader, s.publishingEnabled, s.subscriptionIds)
};

// The answer of the services that give one status per subscription or item.
struct StatusListResponse {
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};
using SetPublishingModeResponse = StatusListResponse;
using DeleteSubscriptionsResponse = StatusListResponse;
using SetMonitoringModeResponse = StatusListResponse;
using DeleteMonitoredItemsResponse = StatusListResponse;

struct DeleteSubscriptionsRequest {
    RequestHeader requestHeader;
    std::vector<uint32_t> subscriptionIds;
    UA_FIELDS(s.requestHeader, s.subscriptionIds)
};

struct TransferSubscriptionsRequest {
    RequestHeader requestHeader;
    std::vector<uint32_t> subscriptionIds;
    bool sendInitialValues = false;
    UA_FIELDS(s.requestHeader, s.subscriptionIds, s.sendInitialValues)
};

struct TransferResult {
    StatusCode statusCode = kGood;
    std::vector<uint32_t> availableSequenceNumbers;
    UA_FIELDS(s.statusCode, s.availableSequenceNumbers)
};

struct TransferSubscriptionsResponse {
    ResponseHeader responseHeader;
    std::vector<TransferResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

// ---- publishing ----

struct SubscriptionAcknowledgement {
    uint32_t subscriptionId = 0;
    uint32_t sequenceNumber = 0;
    UA_FIELDS(s.subscriptionId, s.sequenceNumber)
};

struct PublishRequest {
    RequestHeader requestHeader;
    std::vector<SubscriptionAcknowledgement> subscriptionAcknowledgements;
    UA_FIELDS(s.requestHeader, s.subscriptionAcknowledgements)
};

struct NotificationMessage {
    uint32_t sequenceNumber = 0;
    DateTime publishTime;
    std::vector<ExtensionObject> notificationData;
    UA_FIELDS(s.sequenceNumber, s.publishTime, s.notificationData)
};

struct PublishResponse {
    ResponseHeader responseHeader;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> availableSequenceNumbers;
    bool moreNotifications = false;
    NotificationMessage notificationMessage;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.subscriptionId, s.availableSequenceNumbers, s.moreNotifications,
              s.notificationMessage, s.results, s.diagnosticInfos)
};

struct RepublishRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    uint32_t retransmitSequenceNumber = 0;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.retransmitSequenceNumber)
};

struct RepublishResponse {
    ResponseHeader responseHeader;
    NotificationMessage notificationMessage;
    UA_FIELDS(s.responseHeader, s.notificationMessage)
};

struct MonitoredItemNotification {
    uint32_t clientHandle = 0;
    DataValue value;
    UA_FIELDS(s.clientHandle, s.value)
};

struct DataChangeNotification {
    std::vector<MonitoredItemNotification> monitoredItems;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.monitoredItems, s.diagnosticInfos)
};

struct StatusChangeNotification {
    StatusCode status = kGood;
    DiagnosticInfo diagnosticInfo;
    UA_FIELDS(s.status, s.diagnosticInfo)
};

// ---- monitored items ----

struct DataChangeFilter {
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    uint32_t deadbandType = 0;
    double deadbandValue = 0;
    UA_FIELDS(s.trigger, s.deadbandType, s.deadbandValue)
};

struct MonitoringParameters {
    uint32_t clientHandle = 0;
    double samplingInterval = 0;
    ExtensionObject filter;
    uint32_t queueSize = 0;
    bool discardOldest = true;
    UA_FIELDS(s.clientHandle, s.samplingInterval, s.filter, s.queueSize, s.discardOldest)
};

struct MonitoredItemCreateRequest {
    ReadValueId itemToMonitor;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    MonitoringParameters requestedParameters;
    UA_FIELDS(s.itemToMonitor, s.monitoringMode, s.requestedParameters)
};

struct MonitoredItemCreateResult {
    StatusCode statusCode = kGood;
    uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
    uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
    UA_FIELDS(s.statusCode, s.monitoredItemId, s.revisedSamplingInterval, s.revisedQueueSize, s.filterResult)
};

struct CreateMonitoredItemsRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Source;
    std::vector<MonitoredItemCreateRequest> itemsToCreate;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.timestampsToReturn, s.itemsToCreate)
};

struct CreateMonitoredItemsResponse {
    ResponseHeader responseHeader;
    std::vector<MonitoredItemCreateResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

struct MonitoredItemModifyRequest {
    uint32_t monitoredItemId = 0;
    MonitoringParameters requestedParameters;
    UA_FIELDS(s.monitoredItemId, s.requestedParameters)
};

struct MonitoredItemModifyResult {
    StatusCode statusCode = kGood;
    double revisedSamplingInterval = 0;
    uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
    UA_FIELDS(s.statusCode, s.revisedSamplingInterval, s.revisedQueueSize, s.filterResult)
};

struct ModifyMonitoredItemsRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Source;
    std::vector<MonitoredItemModifyRequest> itemsToModify;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.timestampsToReturn, s.itemsToModify)
};

struct ModifyMonitoredItemsResponse {
    ResponseHeader responseHeader;
    std::vector<MonitoredItemModifyResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    UA_FIELDS(s.responseHeader, s.results, s.diagnosticInfos)
};

struct SetMonitoringModeRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    std::vector<uint32_t> monitoredItemIds;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.monitoringMode, s.monitoredItemIds)
};

struct SetTriggeringRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    uint32_t triggeringItemId = 0;
    std::vector<uint32_t> linksToAdd;
    std::vector<uint32_t> linksToRemove;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.triggeringItemId, s.linksToAdd, s.linksToRemove)
};

struct SetTriggeringResponse {
    ResponseHeader responseHeader;
    std::vector<StatusCode> addResults;
    std::vector<DiagnosticInfo> addDiagnosticInfos;
    std::vector<StatusCode> removeResults;
    std::vector<DiagnosticInfo> removeDiagnosticInfos;
    UA_FIELDS(s.responseHeader, s.addResults, s.addDiagnosticInfos, s.removeResults, s.removeDiagnosticInfos)
};

struct DeleteMonitoredItemsRequest {
    RequestHeader requestHeader;
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> monitoredItemIds;
    UA_FIELDS(s.requestHeader, s.subscriptionId, s.monitoredItemIds)
};

#undef UA_FIELDS

}  // namespace ua
