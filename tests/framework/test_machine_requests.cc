// Request targets of the machine endpoints: paths, formats and trace positions, and their refusals.
#include <gtest/gtest.h>

#include "net/request.h"

namespace {

using velko::net::Endpoint;
using velko::net::MachineFormat;

TEST(MachineRequests, DecodesPathsFormatsAndPositions) {
    struct Case {
        const char* target;
        Endpoint endpoint;
        const char* address;
        MachineFormat format;
        uint64_t after;
    };
    // clang-format off
    const Case cases[] = {
        {"/v1/machines",                       Endpoint::kMachines, "",          MachineFormat::kJson,  0},
        {"/v1/machine/F/D/L",                  Endpoint::kMachine,  "F/D/L",     MachineFormat::kJson,  0},
        {"/v1/machine/F/D/L?format=json",      Endpoint::kMachine,  "F/D/L",     MachineFormat::kJson,  0},
        {"/v1/machine/F/D/L?format=dot",       Endpoint::kMachine,  "F/D/L",     MachineFormat::kDot,   0},
        {"/v1/machine/F/D/%4C?format=scxml",   Endpoint::kMachine,  "F/D/L",     MachineFormat::kScxml, 0},
        {"/v1/trace/F/D/L",                    Endpoint::kTrace,    "F/D/L",     MachineFormat::kJson,  0},
        {"/v1/trace/F/D/L?after=18446744073709551615", Endpoint::kTrace, "F/D/L", MachineFormat::kJson, UINT64_MAX},
    };
    // clang-format on
    for (const Case& c : cases) {
        velko::net::Target t;
        velko::net::Failure f;
        const bool ok = velko::net::parse_target(c.target, &t, &f);
        ASSERT_TRUE(ok) << c.target << ": " << f.message;
        EXPECT_EQ(t.endpoint, c.endpoint) << c.target;
        EXPECT_EQ(t.address, c.address) << c.target;
        EXPECT_EQ(t.format, c.format) << c.target;
        EXPECT_EQ(t.after, c.after) << c.target;
    }
}

TEST(MachineRequests, RefusesBadAddressesAndParameters) {
    struct Case {
        const char* target;
        int code;
    };
    const Case cases[] = {
        {"/v1/machine/F/D", velko::ERR_BAD_ADDRESS},
        {"/v1/machine/F/D/L/P", velko::ERR_BAD_ADDRESS},
        {"/v1/machine/F/D/*", velko::ERR_BAD_ADDRESS},
        {"/v1/machine/F/D/L%20X", velko::ERR_BAD_ADDRESS},
        {"/v1/machine/F/D/L?format=svg", velko::ERR_PROTOCOL},
        {"/v1/machine/F/D/L?format=dot&format=json", velko::ERR_PROTOCOL},
        {"/v1/machine/F/D/L?after=3", velko::ERR_PROTOCOL},
        {"/v1/trace/F/D/L?after=", velko::ERR_PROTOCOL},
        {"/v1/trace/F/D/L?after=-1", velko::ERR_PROTOCOL},
        {"/v1/trace/F/D/L?after=18446744073709551616", velko::ERR_PROTOCOL},
        {"/v1/trace/F/D/L?since=3", velko::ERR_PROTOCOL},
    };
    for (const Case& c : cases) {
        velko::net::Target t;
        velko::net::Failure f;
        EXPECT_FALSE(velko::net::parse_target(c.target, &t, &f)) << c.target;
        EXPECT_EQ(f.code, c.code) << c.target << ": " << f.message;
        EXPECT_EQ(f.message.back(), '.') << f.message;
    }
}

}  // namespace
