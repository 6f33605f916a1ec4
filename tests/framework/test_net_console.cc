// The web console's files as the network service serves them: every file at its path with its
// content type and its exact bytes, the page's references all served, revalidation by entity tag,
// HEAD, and only GET and HEAD.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "net/service.h"
#include "net/web_assets.h"
#include "net_test_client.h"

using testsupport::HttpAnswer;
using testsupport::TestHttp;

namespace {

struct Console {
    std::unique_ptr<velko::net::Service> service;
    int port = 0;

    Console() {
        velko::net::ServiceSettings s;
        s.facility = "WEB";
        s.device = "DEV";
        s.listen = "127.0.0.1";
        s.port = 0;
        service = std::make_unique<velko::net::Service>(s);
        std::string why;
        EXPECT_EQ(service->start(&why), 0) << why;
        port = service->port();
    }
};

std::string text_of(const velko::net::WebAsset& a) {
    return std::string(a.body);
}

// The local files a page or module refers to: src and href attributes, and module imports.
std::set<std::string> references(const std::string& text) {
    std::set<std::string> found;
    static const std::regex kRef(R"re((?:src|href)="([^":]+)"|from '\./([^']+)')re");
    for (std::sregex_iterator it(text.begin(), text.end(), kRef), end; it != end; ++it) {
        found.insert("/" + ((*it)[1].matched ? (*it)[1].str() : (*it)[2].str()));
    }
    return found;
}

}  // namespace

TEST(NetConsole, ServesEveryFileWithItsTypeAndBytes) {
    Console console;
    ASSERT_GT(velko::net::kWebAssetCount, 0u);
    TestHttp client(console.port);
    for (size_t i = 0; i < velko::net::kWebAssetCount; ++i) {
        const velko::net::WebAsset& asset = velko::net::kWebAssets[i];
        SCOPED_TRACE(std::string(asset.path));
        HttpAnswer a = client.request("GET", std::string(asset.path));
        ASSERT_EQ(a.status, 200);
        EXPECT_EQ(a.body, text_of(asset));
        EXPECT_EQ(a.headers["Content-Type"], std::string(asset.content_type));
        EXPECT_EQ(a.headers["ETag"], std::string(asset.etag));
        EXPECT_EQ(a.headers["Cache-Control"], "no-cache");
        EXPECT_EQ(a.headers["X-Content-Type-Options"], "nosniff");
        EXPECT_NE(a.headers["Content-Security-Policy"].find("frame-ancestors 'none'"), std::string::npos);
    }
    HttpAnswer page = client.request("GET", "/");
    EXPECT_EQ(page.headers["Content-Type"], "text/html; charset=utf-8");
    EXPECT_EQ(page.body, text_of(*velko::net::find_web_asset("/index.html")));
}

TEST(NetConsole, EveryFileThePageRefersToIsServed) {
    std::set<std::string> pending = {"/index.html"};
    std::set<std::string> seen;
    while (!pending.empty()) {
        const std::string path = *pending.begin();
        pending.erase(pending.begin());
        if (!seen.insert(path).second) {
            continue;
        }
        const velko::net::WebAsset* asset = velko::net::find_web_asset(path);
        ASSERT_NE(asset, nullptr) << path << " is referred to but not served";
        if (path.rfind("/vendor/", 0) == 0) {
            continue;  // vendored files are read as they are
        }
        for (const std::string& ref : references(text_of(*asset))) {
            ASSERT_NE(velko::net::find_web_asset(ref), nullptr) << path << " refers to " << ref;
            pending.insert(ref);
        }
    }
    EXPECT_TRUE(seen.count("/vendor/elk.bundled.js"));
    EXPECT_TRUE(seen.count("/chart.js"));
}

TEST(NetConsole, RevalidatesByTagAnswersHeadAndRefusesOtherMethods) {
    Console console;
    const velko::net::WebAsset& page = *velko::net::find_web_asset("/");
    const std::string tag(page.etag);
    struct Case {
        const char* method;
        const char* target;
        std::map<std::string, std::string> headers;
        int status;
        bool has_body;
    };
    const Case cases[] = {
        {"GET", "/", {{"If-None-Match", tag}}, 304, false},
        {"GET", "/index.html", {{"If-None-Match", "\"other\", W/" + tag}}, 304, false},
        {"GET", "/", {{"If-None-Match", "*"}}, 304, false},
        {"GET", "/", {{"If-None-Match", "\"other\""}}, 200, true},
        {"GET", "/", {{"If-None-Match", tag.substr(0, tag.size() - 2) + "\""}}, 200, true},
        {"HEAD", "/", {}, 200, false},
        {"GET", "/", {}, 200, true},
        {"POST", "/", {}, 405, true},
        {"PUT", "/console.js", {}, 405, true},
        {"GET", "/vendor/", {}, 404, true},
        {"GET", "/vendor/README.md", {}, 404, true},
        {"GET", "/vendor/../index.html", {}, 404, true},
    };
    // One kept-alive connection: a HEAD answer or a 304 without a body must not upset the next.
    TestHttp client(console.port);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        HttpAnswer a = client.request(c.method, c.target, "", c.headers);
        ASSERT_EQ(a.status, c.status) << a.body;
        EXPECT_EQ(!a.body.empty(), c.has_body) << a.body.substr(0, 80);
        if (c.status == 304 || c.status == 200) {
            EXPECT_EQ(a.headers["ETag"], tag);
        }
        if (std::string(c.method) == "HEAD") {
            EXPECT_EQ(a.headers["Content-Length"], std::to_string(page.body.size()));
        }
        if (c.status == 405) {
            EXPECT_EQ(a.headers["Allow"], "GET, HEAD");
        }
    }
}
