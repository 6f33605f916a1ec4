// The answers to requests for the web console's files.
#include "net/console_reply.h"

namespace velko::net {

namespace http = boost::beast::http;

namespace {

// Whether an If-None-Match list ("a", W/"b" or *) names the tag.
bool tag_matches(std::string_view list, std::string_view tag) {
    if (list == "*") {
        return true;
    }
    for (size_t pos = list.find(tag); pos != std::string_view::npos; pos = list.find(tag, pos + 1)) {
        const size_t end = pos + tag.size();
        if (end == list.size() || list[end] == ',' || list[end] == ' ') {
            return true;
        }
    }
    return false;
}

}  // namespace

http::response<http::string_body> console_response(const WebAsset& asset,
                                                   const http::request<http::string_body>& request) {
    http::response<http::string_body> response;
    response.version(11);
    response.set(http::field::server, "velko");
    response.set(http::field::etag, std::string(asset.etag));
    response.set(http::field::cache_control, "no-cache");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; "
                 "form-action 'none'");
    response.set("Referrer-Policy", "no-referrer");
    const auto given = request.find(http::field::if_none_match);
    if (given != request.end() &&
        tag_matches(std::string_view(given->value().data(), given->value().size()), asset.etag)) {
        response.result(http::status::not_modified);
        return response;
    }
    response.result(http::status::ok);
    response.set(http::field::content_type, std::string(asset.content_type));
    if (request.method() == http::verb::head) {
        response.content_length(asset.body.size());
    } else {
        response.body().assign(asset.body.data(), asset.body.size());
        response.prepare_payload();
    }
    return response;
}

}  // namespace velko::net
