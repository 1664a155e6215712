#pragma once
// Keychain items: generic passwords and keys, kept in the device's keychain file
// (<device>/Keychain/keychain.plist, outside the app container, so it survives a
// reinstall). Queries and attributes are dictionaries keyed by the kc names.
//
// Storage: the file holds an array of item dictionaries (attributes plus
// "v_Data"). Every change rewrites it atomically; all calls are serialised by
// one mutex. A file that cannot be parsed reads as an empty keychain: look-ups,
// updates and deletes then answer status::decode, and the next add replaces it.
//
// Matching: every attribute of a query is compared exactly (strings, numbers,
// data byte for byte); an item lacking the attribute does not match. There are
// no wildcards. "v_Data" in a query matches the item's data; "v_Ref" matches a
// key item holding the same key. Keys beginning with "r_" or "m_" are not
// attributes. "class" is required in every query and attribute set; the classes
// are "genp" and "keys", anything else is status::param.
//
// Uniqueness (status::duplicate_item on add or update):
//   genp: same "svce", "acct" and "agrp" (an attribute absent from both counts as equal);
//   keys: same "kcls", "atag", "agrp" and key data, i.e. one key is stored once
//         per tag, while different keys may share a tag.
//
// Key items: added with "v_Ref" (a Key object) or with "v_Data" (the key's
// external form) plus "kcls". The item stores the external form as its data,
// "kcls" ("0" public, "1" private), "type" ("42" for RSA) and "bsiz". Reading
// one with "r_Ref" gives Value::object(std::shared_ptr<Key>).
//
// Results of item_copy_matching (and of item_add when it asks for them):
//   only "r_Data": the data; only "r_Ref": the key object; "r_Attributes", or
//   more than one "r_" flag: a dictionary of the attributes (with "r_Attributes")
//   plus "v_Data" / "v_Ref" as asked; no flag: a null Value.
//   "m_Limit" absent or "m_LimitOne": the first match in insertion order;
//   "m_LimitAll": an Array of all matches.
// "r_Ref" on a generic password is status::param.
//
// "mdat" (a Date) is stamped on add and on every update. Changes given to
// item_update may not hold "class", "v_Ref" or "r_"/"m_" keys, nor, for key
// items, "v_Data", "kcls", "type" or "bsiz" (status::param).
//
// Statuses: status::ok, item_not_found, duplicate_item, param (malformed
// query/attributes/changes), decode (stored key data or the file does not
// decode), allocate (the file cannot be written), missing_entitlement (every
// call, when the device profile sets keychain_entitlement to false).

#include <string_view>

#include "platform/foundation/value.h"
#include "platform/security/status.h"

namespace platform::security {

using foundation::Dict;
using foundation::Value;

namespace kc {   // values as the original defines them, so logs and tests read the same
inline constexpr std::string_view class_ = "class", class_generic_password = "genp", class_key = "keys",
    service = "svce", account = "acct", generic = "gena", access_group = "agrp", accessible = "pdmn",
    accessible_always_this_device_only = "dku", application_tag = "atag", label = "labl", key_type = "type",
    key_type_rsa = "42", key_class = "kcls", key_size = "bsiz", is_permanent = "perm", private_key_attrs = "private",
    public_key_attrs = "public", value_data = "v_Data", value_ref = "v_Ref", return_data = "r_Data",
    return_ref = "r_Ref", return_attributes = "r_Attributes", match_limit = "m_Limit",
    match_limit_one = "m_LimitOne", match_limit_all = "m_LimitAll", modification_date = "mdat";
}  // namespace kc

Status item_add(const Dict& attributes, Value* result = nullptr);
Status item_copy_matching(const Dict& query, Value* result);
Status item_update(const Dict& query, const Dict& changes);
Status item_delete(const Dict& query);   // all matches

}  // namespace platform::security
