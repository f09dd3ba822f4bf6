#pragma once
// OPC UA status codes the endpoint answers with (the protocol's own values).

#include <cstdint>

namespace ua {

using StatusCode = uint32_t;

constexpr StatusCode kGood = 0x00000000u;
constexpr StatusCode kUncertain = 0x40000000u;
constexpr StatusCode kBad = 0x80000000u;

constexpr StatusCode kBadUnexpectedError = 0x80010000u;
constexpr StatusCode kBadInternalError = 0x80020000u;
constexpr StatusCode kBadOutOfMemory = 0x80030000u;
constexpr StatusCode kBadCommunicationError = 0x80050000u;
constexpr StatusCode kBadEncodingError = 0x80060000u;
constexpr StatusCode kBadDecodingError = 0x80070000u;
constexpr StatusCode kBadEncodingLimitsExceeded = 0x80080000u;
constexpr StatusCode kBadUnknownResponse = 0x80090000u;
constexpr StatusCode kBadTimeout = 0x800A0000u;
constexpr StatusCode kBadServiceUnsupported = 0x800B0000u;
constexpr StatusCode kBadShutdown = 0x800C0000u;
constexpr StatusCode kBadServerHalted = 0x800E0000u;
constexpr StatusCode kBadNothingToDo = 0x800F0000u;
constexpr StatusCode kBadTooManyOperations = 0x80100000u;
constexpr StatusCode kBadSecurityChecksFailed = 0x80130000u;
constexpr StatusCode kBadUserAccessDenied = 0x801F0000u;
constexpr StatusCode kBadIdentityTokenInvalid = 0x80200000u;
constexpr StatusCode kBadIdentityTokenRejected = 0x80210000u;
constexpr StatusCode kBadSecureChannelIdInvalid = 0x80220000u;
constexpr StatusCode kBadSessionIdInvalid = 0x80250000u;
constexpr StatusCode kBadSessionClosed = 0x80260000u;
constexpr StatusCode kBadSessionNotActivated = 0x80270000u;
constexpr StatusCode kBadRequestHeaderInvalid = 0x802A0000u;
constexpr StatusCode kBadTimestampsToReturnInvalid = 0x802B0000u;
constexpr StatusCode kBadNodeIdInvalid = 0x80330000u;
constexpr StatusCode kBadNodeIdUnknown = 0x80340000u;
constexpr StatusCode kBadAttributeIdInvalid = 0x80350000u;
constexpr StatusCode kBadIndexRangeInvalid = 0x80360000u;
constexpr StatusCode kBadIndexRangeNoData = 0x80370000u;
constexpr StatusCode kBadDataEncodingInvalid = 0x80380000u;
constexpr StatusCode kBadDataEncodingUnsupported = 0x80390000u;
constexpr StatusCode kBadNotReadable = 0x803A0000u;
constexpr StatusCode kBadNotWritable = 0x803B0000u;
constexpr StatusCode kBadNotSupported = 0x803D0000u;
constexpr StatusCode kBadOutOfRange = 0x803C0000u;
constexpr StatusCode kBadContinuationPointInvalid = 0x804A0000u;
constexpr StatusCode kBadNoContinuationPoints = 0x804B0000u;
constexpr StatusCode kBadReferenceTypeIdInvalid = 0x804C0000u;
constexpr StatusCode kBadBrowseDirectionInvalid = 0x804D0000u;
constexpr StatusCode kBadRequestTypeInvalid = 0x80530000u;
constexpr StatusCode kBadSecurityModeRejected = 0x80540000u;
constexpr StatusCode kBadSecurityPolicyRejected = 0x80550000u;
constexpr StatusCode kBadTooManySessions = 0x80560000u;
constexpr StatusCode kBadBrowseNameInvalid = 0x80600000u;
constexpr StatusCode kBadViewIdUnknown = 0x806B0000u;
constexpr StatusCode kBadNoMatch = 0x806F0000u;
constexpr StatusCode kBadMaxAgeInvalid = 0x80700000u;
constexpr StatusCode kBadWriteNotSupported = 0x80730000u;
constexpr StatusCode kBadTypeMismatch = 0x80740000u;
constexpr StatusCode kBadTcpServerTooBusy = 0x807D0000u;
constexpr StatusCode kBadTcpMessageTypeInvalid = 0x807E0000u;
constexpr StatusCode kBadTcpSecureChannelUnknown = 0x807F0000u;
constexpr StatusCode kBadTcpMessageTooLarge = 0x80800000u;
constexpr StatusCode kBadTcpNotEnoughResources = 0x80810000u;
constexpr StatusCode kBadTcpInternalError = 0x80820000u;
constexpr StatusCode kBadTcpEndpointUrlInvalid = 0x80830000u;
constexpr StatusCode kBadSecureChannelClosed = 0x80860000u;
constexpr StatusCode kBadSecureChannelTokenUnknown = 0x80870000u;
constexpr StatusCode kBadSequenceNumberInvalid = 0x80880000u;
constexpr StatusCode kBadRequestTooLarge = 0x80B80000u;
constexpr StatusCode kBadResponseTooLarge = 0x80B90000u;
constexpr StatusCode kBadInvalidArgument = 0x80AB0000u;
constexpr StatusCode kBadProtocolVersionUnsupported = 0x80BE0000u;

constexpr bool IsBad(StatusCode s)
{
    return (s & 0xC0000000u) == 0x80000000u;
}

}  // namespace ua
