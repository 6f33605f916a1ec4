// The answers to requests for the web console's files.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "net/web_assets.h"

namespace velko::net {

// The file with its content type and entity tag (304 without a body when the browser's copy has
// that tag; for HEAD the header alone). The browser checks its copy on every load, so a server
// with a new console never serves the old one. The page may load nothing from other sites and
// may not be framed by them, where a click could be stolen to send an event.
boost::beast::http::response<boost::beast::http::string_body> console_response(
    const WebAsset& asset, const boost::beast::http::request<boost::beast::http::string_body>& request);

}  // namespace velko::net
