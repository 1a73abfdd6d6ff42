// qir-render's option table against its manual page: --help is generated
// from the table, the manual page describes the options in full, and neither
// may know an option the other does not.
#include "cli/RenderOptions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace qirclitest {
namespace {

// The options named in the item headers (the line after each .TP) of the
// manual page's OPTIONS section, with roff's \- read as -.
std::set<std::string> ManualPageOptions()
{
    std::ifstream file(QIR_RENDER_MANUAL_PAGE);
    EXPECT_TRUE(file) << QIR_RENDER_MANUAL_PAGE;
    std::set<std::string> names;
    const std::regex option(R"(\\-(\\-)?[a-z]+(\\-[a-z]+)*)");
    bool inOptions = false;
    bool itemHeader = false;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(".SH", 0) == 0) {
            inOptions = line == ".SH OPTIONS";
            continue;
        }
        if (inOptions && itemHeader) {
            for (auto it = std::sregex_iterator(line.begin(), line.end(), option); it != std::sregex_iterator(); ++it) {
                names.insert(std::regex_replace(it->str(), std::regex(R"(\\-)"), "-"));
            }
        }
        itemHeader = line == ".TP";
    }
    return names;
}

TEST(OptionTable, NamesTheSameOptionsAsTheManualPage)
{
    const std::vector<std::string> table = qircli::OptionNames();
    const std::set<std::string> fromTable(table.begin(), table.end());
    EXPECT_EQ(fromTable.size(), table.size()) << "an option name appears twice in the table";
    EXPECT_EQ(fromTable, ManualPageOptions());
}

// --help has one line per option, naming all of its names, within 80 columns.
TEST(OptionTable, GeneratesAHelpLineForEveryOption)
{
    const std::vector<std::string> table = qircli::OptionNames();
    std::multiset<std::string> inHelp;
    const std::regex optionLine(R"(^  (-[-a-z]+)(, (-[-a-z]+))? )");
    std::istringstream lines(qircli::UsageText());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (std::smatch names; std::regex_search(line, names, optionLine)) {
            inHelp.insert(names[1].str());
            if (names[3].matched) {
                inHelp.insert(names[3].str());
            }
        }
    }
    EXPECT_EQ(inHelp, std::multiset<std::string>(table.begin(), table.end()));
}

} // namespace
} // namespace qirclitest
