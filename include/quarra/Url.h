#pragma once
// URLs as RFC 3986 references. The text is kept exactly as given, so a URL compares and prints the
// way its producer wrote it (redirect URIs are matched literally, "https:///api" keeps its empty
// host).
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarra {

class Url {
  public:
    Url() = default;

    // An absolute URL (with a scheme); empty when `text` is not one.
    static std::optional<Url> parse(std::string_view text);
    // "file://" URL of an absolute path, its components percent-encoded.
    static Url fileUrl(const std::filesystem::path& path);

    bool empty() const { return text_.empty(); }
    const std::string& string() const { return text_; }

    const std::string& scheme() const { return scheme_; }
    bool hasAuthority() const { return hasAuthority_; }
    // Host without brackets or port, lower-cased as written otherwise untouched.
    const std::string& host() const { return host_; }
    std::optional<int> port() const { return port_; }
    // "host" or "host:port" as written.
    std::string hostAndPort() const;
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // Percent-encoded path as written.
    const std::string& path() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }

    bool isFileUrl() const;
    // The decoded path of a file URL.
    std::filesystem::path filePath() const;
    // The decoded last component of the path ("" for "/" or an empty path).
    std::string lastPathComponent() const;
    // Appends "/" and the encoded component to the path, dropping query and fragment.
    Url appendingPathComponent(std::string_view component) const;
    // Copy with the query replaced (no query when empty optional).
    Url withQuery(std::optional<std::string> query) const;
    // Resolves a reference against this URL as base (RFC 3986 section 5.2).
    std::optional<Url> resolve(std::string_view reference) const;

    bool operator==(const Url& other) const { return text_ == other.text_; }

    // Percent-encodes every byte outside the unreserved set and `allowed`.
    static std::string percentEncode(std::string_view text, std::string_view allowed = {});
    // `text` as one path segment: every byte outside the unreserved set is escaped, and "." and
    // ".." become "%2E" and "%2E%2E" so that no value can climb out of the path it is put in.
    static std::string percentEncodedPathSegment(std::string_view text);
    // Decodes %XX escapes; malformed escapes stay as they are.
    static std::string percentDecode(std::string_view text);

    // A query's items: split at every "&", each piece at its first "=", names and values
    // percent-decoded ("+" stays "+"). A piece without "=" is a name without a value.
    using QueryItem = std::pair<std::string, std::optional<std::string>>;
    static std::vector<QueryItem> queryItems(std::string_view query);
    // A query of name=value pairs joined with "&". Names and values are escaped so that only query
    // characters remain and "&" and "=" inside them cannot split the pair; "+" is left as it is.
    static std::string percentEncodedQuery(
        const std::vector<std::pair<std::string, std::string>>& items);

  private:
    void recompose();

    std::string text_;
    std::string scheme_;
    bool hasAuthority_ = false;
    std::string user_;
    std::string password_;
    bool hasUserInfo_ = false;
    std::string host_;
    std::optional<int> port_;
    std::string rawAuthority_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace quarra
