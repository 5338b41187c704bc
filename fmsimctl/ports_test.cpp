// fmsimctl ports: fmsim's port table as fmsimctl prints it.
#include <gtest/gtest.h>

#include <sstream>

#include "command.h"

namespace fmsimctl {
namespace {

// fmsim names a link "up" or "down"; fmsimctl's JSON gives a boolean, as
// kelfctl's does, and its table still reads up and down.
TEST(Ports, LinkIsABooleanInJsonAndUpOrDownInTheTable) {
    Json reply = Json::parse(R"({"unit": 0, "ports": [
        {"port": 1, "link": "up"}, {"port": 2, "link": "down"},
        {"port": 3, "link": true}, {"port": 4, "link": "sideways"}]})");
    kelfctl::Table t = port_table(reply);
    Json j = t.json();
    ASSERT_EQ(j["ports"].size(), 4u) << j.dump();
    EXPECT_EQ(j["ports"][0]["link"], true);
    EXPECT_EQ(j["ports"][1]["link"], false);
    EXPECT_EQ(j["ports"][2]["link"], true);
    EXPECT_TRUE(j["ports"][3]["link"].is_null()) << "a link fmsimctl does not know";
    std::ostringstream text;
    t.text(text);
    std::istringstream lines(text.str());
    std::vector<std::string> links;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream w(line);
        std::string port, kind, link;
        w >> port >> kind >> link;
        links.push_back(link);
    }
    EXPECT_EQ(links, (std::vector<std::string>{"LINK", "up", "down", "up", "-"}));
    EXPECT_THROW(port_table(Json::parse(R"({"unit": 0})")), Failure);
}

}  // namespace
}  // namespace fmsimctl
