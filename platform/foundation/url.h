#pragma once

// URLs, URL components, URL character sets and percent encoding.
//
// Choices (the behaviour callers can rely on):
// - Url::parse accepts an RFC 3986 URI reference (absolute or relative) made of
//   URL characters only. The empty string, a space, any non-ASCII byte, any of
//   "<>\"\\^`{|}", a "%" not followed by two hex digits, a second "#", "[" or "]"
//   outside an IP-literal host, a malformed authority or a port above 65535
//   make it fail.
// - The text is kept as given: no case folding of scheme or host, no
//   normalisation. Scheme tests (is_file_url) ignore case. Equality compares the
//   absolute text exactly.
// - parse(text, base) resolves by RFC 3986 section 5 and keeps only the result;
//   the base is not remembered. The empty text resolves to the base without its
//   fragment.
// - host(), user(), password() and path() are percent-decoded; query() and
//   fragment() are returned percent-encoded, as they stand in the URL.
// - An empty host ("file:///tmp/x") is no host: host() is nullopt.
// - path() drops a trailing "/" (except for the root "/"); when the decoded path
//   is not valid UTF-8 it returns the encoded path.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::foundation {

// A set of ASCII characters. Bytes 0x80-0xFF are never members, so percent
// encoding escapes every byte of a non-ASCII or invalid UTF-8 sequence.
class CharSet {
 public:
  constexpr CharSet() = default;
  constexpr explicit CharSet(std::string_view members) { add(members); }

  // ASCII letters and digits plus the given characters.
  static constexpr CharSet alphanumerics_and(std::string_view extra) {
    CharSet s("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    s.add(extra);
    return s;
  }

  constexpr CharSet with(std::string_view extra) const {
    CharSet s = *this;
    s.add(extra);
    return s;
  }
  constexpr CharSet without(std::string_view removed) const {
    CharSet s = *this;
    for (char c : removed) {
      auto b = static_cast<unsigned char>(c);
      if (b < 128) s.bits_[b / 64] &= ~(std::uint64_t{1} << (b % 64));
    }
    return s;
  }
  constexpr bool contains(char c) const {
    auto b = static_cast<unsigned char>(c);
    return b < 128 && (bits_[b / 64] >> (b % 64) & 1) != 0;
  }
  friend constexpr bool operator==(const CharSet&, const CharSet&) = default;

 private:
  constexpr void add(std::string_view members) {
    for (char c : members) {
      auto b = static_cast<unsigned char>(c);
      if (b < 128) bits_[b / 64] |= std::uint64_t{1} << (b % 64);
    }
  }
  std::array<std::uint64_t, 2> bits_{};
};

namespace charsets {
// The characters each URL component may hold unescaped.
inline constexpr CharSet url_user_allowed = CharSet::alphanumerics_and("-._~!$&'()*+,;=");
inline constexpr CharSet url_password_allowed = CharSet::alphanumerics_and("-._~!$&'()*+,;=");
inline constexpr CharSet url_host_allowed = CharSet::alphanumerics_and("-._~!$&'()*+,;=:[]");
inline constexpr CharSet url_path_allowed = CharSet::alphanumerics_and("-._~!$&'()*+,=:@/");
inline constexpr CharSet url_query_allowed = CharSet::alphanumerics_and("-._~!$&'()*+,;=:@/?");
inline constexpr CharSet url_fragment_allowed = CharSet::alphanumerics_and("-._~!$&'()*+,;=:@/?");
// Legacy escaping: only characters that cannot stand in a URL are escaped;
// reserved characters such as "&", "=", "?" and "/" stay. "%" and "#" are
// escaped too, so a value can neither fake an escape nor cut the URL short.
inline constexpr CharSet legacy_escape_keep = CharSet::alphanumerics_and("-._~!$&'()*+,;=:@/?");
}  // namespace charsets

// Every byte outside `allowed` becomes "%XX" (upper-case hex), invalid UTF-8
// included; the result never holds a raw byte outside the set.
std::string percent_encode(std::string_view utf8, const CharSet& allowed);
// Replaces "%XX" escapes. nullopt for a "%" without two hex digits or when the
// result is not valid UTF-8.
std::optional<std::string> percent_decode(std::string_view text);

class Url {
 public:
  static std::optional<Url> parse(std::string_view text);
  static std::optional<Url> parse(std::string_view text, const Url& base);
  // "file://" + the absolute, percent-encoded path; a directory gets a trailing "/".
  // A relative path is made absolute against the current directory.
  static Url file(const std::filesystem::path& path, bool is_directory = false);

  const std::string& absolute_string() const { return text_; }
  std::optional<std::string> scheme() const;
  std::optional<std::string> host() const;      // decoded, without IP-literal brackets
  std::optional<std::string> user() const;
  std::optional<std::string> password() const;
  std::optional<std::string> query() const;     // percent-encoded
  std::optional<std::string> fragment() const;  // percent-encoded
  std::optional<int> port() const;
  std::string path() const;
  std::string percent_encoded_path() const;
  std::string last_path_component() const;      // of path(); "/" for the root
  std::string path_extension() const;           // "" for none, for ".hidden" and for "name."
  // Appends "/" when needed, then the component encoded with url_path_allowed;
  // query and fragment stay.
  Url appending_path_component(std::string_view component, bool is_directory = false) const;
  bool is_file_url() const;
  // The decoded path of a file URL, byte for byte (names need not be UTF-8);
  // empty for other URLs.
  std::filesystem::path file_path() const;

  friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

 private:
  friend class UrlComponents;
  struct Range {
    std::size_t begin = 0, size = 0;
    bool present = false;
  };
  std::optional<std::string> part(const Range& r) const;

  std::string text_;
  Range scheme_, user_, password_, host_, port_, path_, query_, fragment_;
  bool has_authority_ = false;
};

// Mutable URL parts. Values are held percent-encoded; the plain setters encode
// with the matching URL character set.
class UrlComponents {
 public:
  struct QueryItem {
    std::string name;
    std::optional<std::string> value;
    friend bool operator==(const QueryItem&, const QueryItem&) = default;
  };

  UrlComponents() = default;
  explicit UrlComponents(const Url& url);
  static std::optional<UrlComponents> parse(std::string_view text);   // nullopt when Url::parse fails

  const std::optional<std::string>& scheme() const { return scheme_; }
  void set_scheme(std::optional<std::string> scheme) { scheme_ = std::move(scheme); }
  std::optional<std::string> user() const;
  void set_user(const std::optional<std::string>& user);
  std::optional<std::string> password() const;
  void set_password(const std::optional<std::string>& password);
  std::optional<std::string> host() const;
  void set_host(const std::optional<std::string>& host);
  std::optional<int> port() const { return port_; }
  void set_port(std::optional<int> port) { port_ = port; }
  std::string path() const;                         // decoded; the encoded text when undecodable
  void set_path(std::string_view path);
  const std::string& percent_encoded_path() const { return path_; }
  bool set_percent_encoded_path(std::string_view path);                  // false (unchanged) for invalid text

  std::optional<std::string> query() const;         // decoded; nullopt when absent or undecodable
  const std::optional<std::string>& percent_encoded_query() const { return query_; }
  bool set_percent_encoded_query(std::optional<std::string_view> query);  // false (unchanged) for invalid text
  // Split at "&", then at the first "="; names and values decoded ("+" stays "+").
  // nullopt when there is no query; an empty query gives no items.
  std::optional<std::vector<QueryItem>> query_items() const;
  // Names and values are encoded with url_query_allowed minus "&", "=" and "+";
  // nullopt removes the query, an empty list leaves an empty one.
  void set_query_items(const std::optional<std::vector<QueryItem>>& items);

  std::optional<std::string> fragment() const;
  void set_fragment(const std::optional<std::string>& fragment);
  const std::optional<std::string>& percent_encoded_fragment() const { return fragment_; }

  std::string string() const;       // the composed text; an empty port ("h:") is not written
  // nullopt when the parts do not form a URL: a path without a leading "/" next
  // to an authority, a path starting "//" without one, or text Url::parse refuses.
  std::optional<Url> url() const;

 private:
  std::optional<std::string> scheme_, user_, password_, host_, query_, fragment_;
  std::optional<int> port_;
  std::string path_;
};

}  // namespace platform::foundation
