// velko::NetClient: calls over HTTP on the calling thread and subscriptions over WebSocket on the
// client's I/O thread, one channel of each per server.
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "net/client_answers.h"
#include "net/client_errors.h"
#include "net/client_http.h"
#include "net/client_monitor.h"
#include "net/directory_file.h"
#include "net/value_json.h"
#include "net_client.h"

namespace velko {

namespace http = boost::beast::http;

namespace {

// Percent-encodes one part of an address for a URL path ('*' stays: it lists locations).
std::string url_part(const std::string& part) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : part) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '*';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string url_path(const char* kind, const EqAdr& adr, bool with_property) {
    std::string path = std::string("/v1/") + kind + "/" + url_part(adr.facility()) + "/" + url_part(adr.device()) +
                       "/" + url_part(adr.location());
    return with_property ? path + "/" + url_part(adr.property()) : path;
}

std::string number_text(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// Where a call goes: the server, its endpoint and the settings of this call.
struct Target {
    std::string server;  // FACILITY/DEVICE
    net::ServerEndpoint endpoint;
    ClientSettings settings;
    std::string key() const { return server + " " + endpoint.text(); }
};

struct Handler {
    std::mutex mux;
    bool active = true;
    NetClient::MonitorHandler fn;
};

}  // namespace

struct NetClient::Impl {
    std::optional<ClientSettings> own;
    boost::asio::io_context ioc;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{ioc.get_executor()};
    net::DirectoryFile directory;

    std::mutex mux;  // guards everything below
    std::map<std::string, std::shared_ptr<net::HttpChannel>> http_channels;
    std::map<std::string, std::shared_ptr<net::MonitorChannel>> monitor_channels;
    struct Latest {
        EqData value;
        bool arrived = false;
        int refs = 0;
        std::shared_ptr<net::MonitorChannel> channel;
    };
    std::map<std::string, Latest> latest;  // by address
    struct Subscription {
        std::string address;
        std::shared_ptr<Handler> handler;
    };
    std::map<long, Subscription> subscriptions;
    long next_id = 1;

    std::thread io;  // last: started once everything it uses exists

    explicit Impl(std::optional<ClientSettings> settings) : own(std::move(settings)), io([this] { ioc.run(); }) {}

    ~Impl() {
        ioc.stop();
        io.join();
    }

    ClientSettings settings() const { return own ? *own : client_settings(); }

    // Finds the server of adr; false with the error in out.
    bool locate(const EqAdr& adr, Target* t, EqData* out) {
        std::string fac = adr.facility();
        std::string dev = adr.device();
        if (fac.empty() || dev.empty()) {
            out->error(ERR_BAD_ADDRESS, "The address \"" + adr.show_adr() + "\" names no facility and device.");
            return false;
        }
        t->server = fac + "/" + dev;
        t->settings = settings();
        std::string path = t->settings.directory;
        if (path.empty()) {
            const char* env = std::getenv("VELKO_DIRECTORY");
            path = env == nullptr ? "" : env;
        }
        std::string unknown = "Unknown device \"" + t->server + "\": ";
        if (path.empty()) {
            out->error(ERR_UNKNOWN_DEVICE, unknown + "no server of this process serves it.");
            return false;
        }
        std::string why;
        if (!directory.lookup(path, fac, dev, &t->endpoint, &why)) {
            out->error(ERR_UNKNOWN_DEVICE, unknown + why);
            return false;
        }
        return true;
    }

    bool complete_address(const EqAdr& adr, EqData* out) {
        if (adr.location()[0] == '\0' || adr.property()[0] == '\0') {
            out->error(ERR_BAD_ADDRESS, "The address \"" + adr.show_adr() + "\" names no location and property.");
            return false;
        }
        return true;
    }

    std::shared_ptr<net::HttpChannel> http_channel(const Target& t) {
        std::lock_guard<std::mutex> lock(mux);
        auto& ch = http_channels[t.key()];
        if (!ch) {
            ch = std::make_shared<net::HttpChannel>(t.endpoint);
        }
        return ch;
    }

    int call(const EqAdr& adr, const Target& t, http::verb verb, const std::string& target, std::string body,
             net::AnswerForm form, EqData* out) {
        net::HttpRequest req{verb, target, 11};
        req.set(http::field::host, t.endpoint.text());
        req.set(http::field::user_agent, "velko");
        req.keep_alive(true);
        if (verb == http::verb::put) {
            req.set(http::field::content_type, "application/json");
            if (!t.settings.token.empty()) {
                req.set(http::field::authorization, "Bearer " + t.settings.token);
            }
            req.body() = std::move(body);
            req.prepare_payload();
        }
        int timeout = t.settings.call_timeout_ms > 0 ? t.settings.call_timeout_ms : 3000;
        net::HttpAnswer a =
            http_channel(t)->exchange(req, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout));
        if (a.error == ERR_TIMEOUT) {
            out->error(ERR_TIMEOUT, net::timeout_sentence(adr.show_adr(), t.server, t.endpoint, timeout));
        } else if (a.error == ERR_LIMIT) {
            out->error(ERR_LIMIT, "The server " + t.server + " at " + t.endpoint.text() + " " + a.reason + ".");
        } else if (a.error != 0) {
            out->error(ERR_UNREACHABLE, net::unreachable_sentence(t.server, t.endpoint, a.reason));
        } else {
            net::read_answer(a.status, a.body, form, t.server, out);
        }
        return out->error();
    }

    // A GET on target about the location adr (F/D/L), answered with the body's text.
    int location_text(const EqAdr& adr, const std::string& target, EqData* out) {
        out->init();
        Target t;
        if (adr.location()[0] == '\0') {
            out->error(ERR_BAD_ADDRESS, "The address \"" + adr.show_adr() + "\" names no location.");
            return out->error();
        }
        if (!locate(adr, &t, out)) {
            return out->error();
        }
        return call(adr, t, http::verb::get, target, "", net::AnswerForm::text, out);
    }

    // On the I/O thread: the newest value of address, handed to its subscriptions' handlers.
    void deliver(const std::string& address, const EqData& value, double timestamp) {
        std::vector<std::shared_ptr<Handler>> handlers;
        {
            std::lock_guard<std::mutex> lock(mux);
            auto it = latest.find(address);
            if (it == latest.end()) {
                return;  // unsubscribed meanwhile
            }
            it->second.value.copy_from(&value);
            it->second.arrived = true;
            for (auto& entry : subscriptions) {
                if (entry.second.address == address && entry.second.handler) {
                    handlers.push_back(entry.second.handler);
                }
            }
        }
        for (auto& h : handlers) {
            std::lock_guard<std::mutex> lock(h->mux);
            if (h->active) {
                h->fn(address, value, timestamp);
            }
        }
    }
};

NetClient::NetClient() : impl_(std::make_unique<Impl>(std::nullopt)) {}

NetClient::NetClient(const ClientSettings& settings) : impl_(std::make_unique<Impl>(settings)) {}

NetClient::~NetClient() {
    std::vector<long> ids;
    {
        std::lock_guard<std::mutex> lock(impl_->mux);
        for (auto& entry : impl_->subscriptions) {
            ids.push_back(entry.first);
        }
    }
    for (long id : ids) {
        unsubscribe(id);
    }
}

int NetClient::get(const EqAdr& adr, EqData* out) {
    out->init();
    Target t;
    if (!impl_->complete_address(adr, out) || !impl_->locate(adr, &t, out)) {
        return out->error();
    }
    return impl_->call(adr, t, http::verb::get, url_path("property", adr, true), "", net::AnswerForm::value, out);
}

int NetClient::set(const EqAdr& adr, const EqData& in, EqData* out) {
    // The body is made before out is touched: in and out may be the same container.
    nlohmann::json body = in.type() == DATA_STRING ? nlohmann::json{{"text", in.get_string()}} : net::value_to_json(in);
    std::string text = net::dump_json(body);
    out->init();
    Target t;
    if (!impl_->complete_address(adr, out) || !impl_->locate(adr, &t, out)) {
        return out->error();
    }
    return impl_->call(adr, t, http::verb::put, url_path("property", adr, true), text, net::AnswerForm::value, out);
}

int NetClient::names(const EqAdr& adr, EqData* out) {
    out->init();
    Target t;
    if (adr.location()[0] == '\0') {
        out->error(ERR_BAD_ADDRESS, "The address \"" + adr.show_adr() + "\" names no location (\"*\" lists them).");
        return out->error();
    }
    if (!impl_->locate(adr, &t, out)) {
        return out->error();
    }
    return impl_->call(adr, t, http::verb::get, url_path("names", adr, false), "", net::AnswerForm::names, out);
}

int NetClient::history(const EqAdr& adr, double since, double until, EqData* out) {
    out->init();
    Target t;
    if (!impl_->complete_address(adr, out) || !impl_->locate(adr, &t, out)) {
        return out->error();
    }
    std::string target = url_path("history", adr, true);
    std::string sep = "?";
    if (since != 0) {
        target += sep + "since=" + number_text(since);
        sep = "&";
    }
    if (until != 0) {
        target += sep + "until=" + number_text(until);
    }
    return impl_->call(adr, t, http::verb::get, target, "", net::AnswerForm::history, out);
}

int NetClient::machine(const EqAdr& adr, const std::string& format, EqData* out) {
    return impl_->location_text(adr, url_path("machine", adr, false) + "?format=" + url_part(format), out);
}

int NetClient::trace(const EqAdr& adr, uint64_t after, EqData* out) {
    return impl_->location_text(adr, url_path("trace", adr, false) + "?after=" + std::to_string(after), out);
}

long NetClient::subscribe(const EqAdr& adr, MonitorHandler handler, EqData* error) {
    error->init();
    Target t;
    if (!impl_->complete_address(adr, error) || !impl_->locate(adr, &t, error)) {
        return 0;
    }
    std::string address = adr.show_adr();
    std::lock_guard<std::mutex> lock(impl_->mux);
    long id = impl_->next_id++;
    Impl::Subscription sub;
    sub.address = address;
    if (handler) {
        sub.handler = std::make_shared<Handler>();
        sub.handler->fn = std::move(handler);
    }
    impl_->subscriptions.emplace(id, sub);
    Impl::Latest& entry = impl_->latest[address];
    if (entry.refs++ == 0) {
        auto& ch = impl_->monitor_channels[t.key()];
        if (!ch) {
            Impl* impl = impl_.get();
            ch = std::make_shared<net::MonitorChannel>(
                impl->ioc, t.server, t.endpoint, t.settings.call_timeout_ms > 0 ? t.settings.call_timeout_ms : 3000,
                [impl](const std::string& a, const EqData& v, double ts) { impl->deliver(a, v, ts); });
        }
        entry.channel = ch;
        ch->add(address);
    }
    return id;
}

int NetClient::latest(long subscription, EqData* out) {
    out->init();
    std::lock_guard<std::mutex> lock(impl_->mux);
    auto sub = impl_->subscriptions.find(subscription);
    if (sub == impl_->subscriptions.end()) {
        out->error(ERR_BAD_ADDRESS, "There is no subscription " + std::to_string(subscription) + ".");
        return out->error();
    }
    const Impl::Latest& entry = impl_->latest[sub->second.address];
    if (!entry.arrived) {
        out->error(ERR_MONITOR_PENDING, "The monitor of \"" + sub->second.address + "\" is not yet established.");
        return out->error();
    }
    out->copy_from(&entry.value);
    return out->error();
}

void NetClient::unsubscribe(long subscription) {
    std::shared_ptr<Handler> handler;
    {
        std::lock_guard<std::mutex> lock(impl_->mux);
        auto sub = impl_->subscriptions.find(subscription);
        if (sub == impl_->subscriptions.end()) {
            return;
        }
        handler = sub->second.handler;
        auto entry = impl_->latest.find(sub->second.address);
        if (entry != impl_->latest.end() && --entry->second.refs == 0) {
            entry->second.channel->remove(sub->second.address);
            impl_->latest.erase(entry);
        }
        impl_->subscriptions.erase(sub);
    }
    if (handler) {
        std::lock_guard<std::mutex> lock(handler->mux);
        handler->active = false;
    }
}

}  // namespace velko
