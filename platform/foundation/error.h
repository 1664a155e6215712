#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform::foundation {

inline constexpr std::string_view key_localized_description = "NSLocalizedDescription";
inline constexpr std::string_view key_underlying_error = "NSUnderlyingError";
inline constexpr std::string_view key_failing_url = "NSErrorFailingURLKey";
inline constexpr std::string_view key_failing_url_string = "NSErrorFailingURLStringKey";
inline constexpr std::string_view key_file_path = "NSFilePath";
inline constexpr std::string_view key_debug_description = "NSDebugDescription";
inline constexpr std::string_view key_resume_data = "NSURLSessionDownloadTaskResumeData";
inline constexpr std::string_view key_background_cancel_reason = "NSURLErrorBackgroundTaskCancelledReasonKey";

// An error with a string domain, an integer code and a user-info dictionary.
struct Error {
  std::string domain;
  std::int64_t code = 0;
  Dict user_info;

  Error() = default;
  Error(std::string d, std::int64_t c, Dict info = {}) : domain(std::move(d)), code(c), user_info(std::move(info)) {}

  // user_info["NSLocalizedDescription"], else the generic sentence
  // "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localized_description() const;
  // "Error Domain=<domain> Code=<code> \"<localized description>\" UserInfo={...}"
  std::string description() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain == b.domain && a.code == b.code && a.user_info == b.user_info;
  }
};

template <>
struct ObjectTraits<Error> {
  static constexpr std::string_view class_name = "NSError";
  static std::string describe(const Error& e) { return e.description(); }
};

namespace url_error {
inline constexpr std::string_view domain = "NSURLErrorDomain";
enum : std::int64_t {
  unknown = -1,
  cancelled = -999,
  bad_url = -1000,
  timed_out = -1001,
  unsupported_url = -1002,
  cannot_find_host = -1003,
  cannot_connect_to_host = -1004,
  network_connection_lost = -1005,
  dns_lookup_failed = -1006,
  http_too_many_redirects = -1007,
  resource_unavailable = -1008,
  not_connected_to_internet = -1009,
  redirect_to_non_existent_location = -1010,
  bad_server_response = -1011,
  user_cancelled_authentication = -1012,
  user_authentication_required = -1013,
  zero_byte_resource = -1014,
  cannot_decode_raw_data = -1015,
  cannot_decode_content_data = -1016,
  cannot_parse_response = -1017,
  international_roaming_off = -1018,
  call_is_active = -1019,
  data_not_allowed = -1020,
  request_body_stream_exhausted = -1021,
  app_transport_security_requires_secure_connection = -1022,
  file_does_not_exist = -1100,
  file_is_directory = -1101,
  no_permissions_to_read_file = -1102,
  data_length_exceeds_maximum = -1103,
  secure_connection_failed = -1200,
  server_certificate_has_bad_date = -1201,
  server_certificate_untrusted = -1202,
  server_certificate_has_unknown_root = -1203,
  server_certificate_not_yet_valid = -1204,
  client_certificate_rejected = -1205,
  client_certificate_required = -1206,
  cannot_load_from_network = -2000,
  cannot_create_file = -3000,
  cannot_open_file = -3001,
  cannot_close_file = -3002,
  cannot_write_to_file = -3003,
  cannot_remove_file = -3004,
  cannot_move_file = -3005,
  download_decoding_failed_mid_stream = -3006,
  download_decoding_failed_to_complete = -3007,
  background_session_in_use_by_another_process = -996,
  background_session_was_disconnected = -997,
};
}  // namespace url_error

namespace cocoa_error {
inline constexpr std::string_view domain = "NSCocoaErrorDomain";
enum : std::int64_t {
  file_no_such_file = 4,
  file_locking = 255,
  file_read_unknown = 256,
  file_read_no_permission = 257,
  file_read_invalid_file_name = 258,
  file_read_corrupt_file = 259,
  file_read_no_such_file = 260,
  file_write_unknown = 512,
  file_write_no_permission = 513,
  file_write_file_exists = 516,
  file_write_out_of_space = 640,
  property_list_read_corrupt = 3840,
  json_invalid = 3840,
  property_list_write_invalid = 3851,
};
}  // namespace cocoa_error

namespace posix_error {
inline constexpr std::string_view domain = "NSPOSIXErrorDomain";
}

}  // namespace platform::foundation
