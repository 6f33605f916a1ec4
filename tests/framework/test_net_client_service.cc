// velko::NetClient against the real network service on 127.0.0.1: reads, text and typed writes,
// names, the token, history and pushed monitor values all agree with the service's protocol.
#include <gtest/gtest.h>

#include "journal.h"
#include "net/service.h"
#include "net_client.h"
#include "velko.h"
#include "velko_test.h"

namespace {

class Loc : public EqFct {
  public:
    Loc() : EqFct("NAME = location"), count("COUNT a counter", this), hist("HIST", this) {
        set_name("LOC");
        set_eq_code(7);
    }
    velko::D_value<int> count;
    D_hist hist;
};

EqAdr address(const std::string& text) {
    EqAdr adr;
    EXPECT_EQ(adr.adr(text), 0) << text;
    return adr;
}

}  // namespace

TEST(NetClient, AgreesWithTheNetworkService) {
    Loc* loc = new Loc();  // never deleted: the location directory keeps it
    ASSERT_EQ(velko::LocationDirectory::add("NET", "DEV", loc), 0);
    velko::net::ServiceSettings ss;
    ss.facility = "NET";
    ss.device = "DEV";
    ss.port = 0;
    ss.token = "tok";
    velko::net::Service service(ss);
    std::string why;
    ASSERT_EQ(service.start(&why), 0) << why;

    testsupport::TempDir dir;
    velko::ClientSettings cs;
    cs.directory = dir.file("servers");
    testsupport::write_file(cs.directory, "NET/DEV 127.0.0.1:" + std::to_string(service.port()) + "\n");
    velko::NetClient anonymous(cs);
    cs.token = "tok";
    velko::NetClient client(cs);

    EqAdr count = address("NET/DEV/LOC/COUNT");
    EqData in;
    EqData out;
    in.set("7");
    EXPECT_EQ(anonymous.set(count, in, &out), velko::ERR_ACCESS) << out.error_text();
    EXPECT_EQ(client.set(count, in, &out), 0) << out.error_text();
    EXPECT_EQ(client.get(count, &out), 0) << out.error_text();
    EXPECT_EQ(out.type(), DATA_INT);
    EXPECT_EQ(out.get_int(), 7);
    in.set(8);
    EXPECT_EQ(client.set(count, in, &out), 0) << out.error_text();
    EXPECT_EQ(loc->count.value(), 8);
    in.set("eight");
    EXPECT_EQ(client.set(count, in, &out), velko::ERR_PARSE);  // the server's own answer

    EqAdr missing = address("NET/DEV/LOC/NOPE");
    EXPECT_EQ(client.get(missing, &out), velko::ERR_UNKNOWN_PROPERTY);
    EXPECT_EQ(out.error_text(), "Unknown property \"NET/DEV/LOC/NOPE\".");

    EXPECT_EQ(client.names(address("NET/DEV/*"), &out), 0) << out.error_text();
    ASSERT_EQ(out.length(), 1);
    EXPECT_STREQ(out.get_ustr(0)->str_data.str_data_val, "LOC");
    EXPECT_EQ(out.get_ustr(0)->i1_data, 7);
    EXPECT_EQ(client.names(address("NET/DEV/LOC"), &out), 0) << out.error_text();
    bool listed = false;
    for (int i = 0; i < out.length(); ++i) {
        listed = listed || (std::string(out.get_ustr(i)->str_data.str_data_val).rfind("COUNT", 0) == 0 &&
                            out.get_ustr(i)->i1_data == DATA_INT);
    }
    EXPECT_TRUE(listed);

    EXPECT_EQ(client.history(address("NET/DEV/LOC/HIST"), 0, 0, &out), 0) << out.error_text();
    EXPECT_EQ(out.type(), DATA_A_TDS);

    testsupport::Journal pushed;
    EqData error;
    long sub = client.subscribe(
        count, [&](const std::string& a, const EqData& v, double) { pushed.add(a + " " + v.get_string()); }, &error);
    ASSERT_GT(sub, 0) << error.error_text();
    EXPECT_TRUE(pushed.wait_count("NET/DEV/LOC/COUNT 8", 1));
    loc->count.set_value(9);
    EXPECT_TRUE(pushed.wait_count("NET/DEV/LOC/COUNT 9", 1));
    EXPECT_EQ(client.latest(sub, &out), 0);
    EXPECT_EQ(out.get_int(), 9);
    client.unsubscribe(sub);
    service.stop();
}
