#pragma once
// The diagnostics and log message set: log upload bodies and the core
// diagnostics record, with their field tables and message classes.

#include "wire/diagnostics/diagnostics.pb.h"
#include "wire/runtime/message.h"

namespace wire::diagnostics {

using ::wire::FieldSpec;

inline constexpr FieldSpec kIosClientInfoFields[] = {{0x2002, 1}, {0x2002, 2}, {0x2002, 3}, {0x2002, 4},
                                                     {0x2002, 5}, {0x2002, 6}, {0x2002, 7}, {0x2002, 8}};
WIRE_DESCRIBE_MESSAGE(kIosClientInfo, "IosClientInfo", "CLRPBIosClientInfo", 1, wire_diagnostics_IosClientInfo);

inline constexpr FieldSpec kClientInfoFields[] = {{0x42, 1}, {0x2002, 6}, {0x2002, 7}, {0x4002, 4, &kIosClientInfo}};
WIRE_DESCRIBE_MESSAGE(kClientInfo, "ClientInfo", "CLRPBClientInfo", 1, wire_diagnostics_ClientInfo);

inline constexpr FieldSpec kLogEventFields[] = {
    {0x202, 1},   {0x202, 17},  {0x202, 21},  {0x2002, 2},  {0x82, 11},   {0x82, 12},
    {0x22, 10},   {0x8002, 4},  {0x8002, 6},  {0x2002, 8},  {0x2002, 13}, {0x2002, 14},
    {0x202, 15},  // sint64 on the wire
    {0x8002, 18}, {0x2002, 24}, {0x42, 19},   {0x88, 20, nullptr, "test_code"},
    {0x202, 22},
};
WIRE_DESCRIBE_MESSAGE(kLogEvent, "LogEvent", "CLRPBLogEvent", 2, wire_diagnostics_LogEvent);

inline constexpr FieldSpec kLogRequestFields[] = {
    {0x202, 4},
    {0x202, 8},
    {0x4002, 1, &kClientInfo},
    {0x42, 2},  // a signed varint on the wire
    {0x2002, 6},
    {0x2002, 7},
    {0x4008, 3, &kLogEvent, "log_event"},
    {0x8008, 5, nullptr, "serialized_log_events"},
    {0x42, 10},
};
WIRE_DESCRIBE_MESSAGE(kLogRequest, "LogRequest", "CLRPBLogRequest", 2, wire_diagnostics_LogRequest);

inline constexpr FieldSpec kErrorInfoFields[] = {{0x22, 1}, {0x82, 2}, {0x2002, 3}};
WIRE_DESCRIBE_MESSAGE(kErrorInfo, "ErrorInfo", "FIRPBErrorInfo", 1, wire_diagnostics_ErrorInfo);

// Tags 1 to 35 without 8, in an order of their own.
inline constexpr FieldSpec kICoreConfigurationFields[] = {
    {0x42, 16},                                              // 0
    {0x42, 1},                                               // 1
    {0x2002, 2},                                             // 2
    {0x2002, 18},                                            // 3
    {0x2002, 19},                                            // 4
    {0x202, 3},                                              // 5
    {0x42, 4},                                               // 6
    {0x2002, 5},                                             // 7
    {0x48, 6, nullptr, "sdk_service_enabled"},               // 8
    {0x48, 7, nullptr, "sdk_service_installed"},             // 9
    {0x42, 20},                                              // 10
    {0x4002, 15, &kErrorInfo},                               // 11
    {0x4008, 17, &kErrorInfo, "subspec_error_info"},         // 12
    {0x2002, 9},                                             // 13
    {0x2002, 22},                                            // 14
    {0x2002, 10},                                            // 15
    {0x202, 11},                                             // 16
    {0x2002, 12},                                            // 17
    {0x2002, 13},                                            // 18
    {0x2002, 23},                                            // 19
    {0x2002, 24},                                            // 20
    {0x2002, 14},                                            // 21
    {0x22, 25},                                              // 22
    {0x82, 21},                                              // 23
    {0x22, 26},                                              // 24
    {0x82, 27},                                              // 25
    {0x2002, 28},                                            // 26
    {0x22, 29},                                              // 27
    {0x42, 30},                                              // 28
    {0x2002, 31},                                            // 29
    {0x202, 32},                                             // 30
    {0x22, 33},                                              // 31
    {0x82, 34},                                              // 32
    {0x82, 35},                                              // 33
};
WIRE_DESCRIBE_MESSAGE(kICoreConfiguration, "ICoreConfiguration", "FIRPBICoreConfiguration", 2,
                      wire_diagnostics_ICoreConfiguration);

}  // namespace wire::diagnostics

namespace wire {
using CLRPBClientInfo = NanoMessage<diagnostics::kClientInfo>;
using CLRPBIosClientInfo = NanoMessage<diagnostics::kIosClientInfo>;
using CLRPBLogEvent = NanoMessage<diagnostics::kLogEvent>;
using CLRPBLogRequest = NanoMessage<diagnostics::kLogRequest>;
using FIRPBErrorInfo = NanoMessage<diagnostics::kErrorInfo>;
using FIRPBICoreConfiguration = NanoMessage<diagnostics::kICoreConfiguration>;
}  // namespace wire
