// The command line without a network: usage and exit codes, help and the
// manual page, plan and layout checks (everything refused before a line is
// sent), the dry run's bytes, and the JSON and CSV it reads and writes.
#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "endpoint/Layout.h"
#include "cli/Output.h"
#include "cli/Parallel.h"
#include "cli/Plan.h"
#include "tests/cli/CliRun.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace cv::cli;
// The wall layout.
using cv::cli_test::Cli;
using cv::cli_test::Result;
using cv::endpoint::Bezel;
using cv::endpoint::Layout;
using cv::endpoint::LayoutText;
using cv::endpoint::ParseBezel;
using cv::endpoint::ParseWallSize;
using cv::endpoint::Place;
using cv::endpoint::PlacedTile;
using cv::endpoint::QuickTile;
using cv::endpoint::ReadLayout;
namespace fs = std::filesystem;

namespace {

std::string TempFile(const std::string& name, const std::string& text)
{
    const fs::path p = fs::temp_directory_path() / ("cv-cli-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
}

}  // namespace

TEST(CliUsage, EveryCommandHasHelpAndUsageErrorsExitTwoWithoutTouchingTheNetwork)
{
    EXPECT_EQ(Cli({"--help"}).rc, 0);
    EXPECT_NE(Cli({"--help"}).out.find("inventory"), std::string::npos);
    for (const char* c : {"scan", "inventory", "show", "set", "reboot", "factory-default", "upgrade", "wall", "osd"}) {
        const Result r = Cli({c, "--help"});
        EXPECT_EQ(r.rc, 0) << c;
        EXPECT_NE(r.out.find(std::string("usage: cortavia-cli ") + c), std::string::npos) << c;
        EXPECT_NE(r.out.find("--jobs"), std::string::npos) << c;
    }
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"scan", "--bogus"},
        {"scan", "--json", "--csv"},
        {"show"},
        {"show", "198.18.2.1; reboot"},
        {"set", "198.18.2.1"},
        {"set", "198.18.2.1", "--hostname", "bad name"},
        {"set", "198.18.2.1", "--hostname", "a;reboot"},
        {"set", "198.18.2.1", "--hostname", std::string(25, 'a')},
        {"set", "198.18.2.1", "--channel", "0100"},
        {"set", "198.18.2.1", "--channel", "42"},
        {"set", "198.18.2.1", "--multicast", "--unicast"},
        {"set", "198.18.2.1", "--static", "10.0.0.5"},
        {"set", "198.18.2.1", "--static", "10.0.0.5", "--netmask", "255.255.255.0", "--gateway", "10.0.0.1 x"},
        {"set", "198.18.2.1", "--dhcp", "--netmask", "255.0.0.0"},
        {"set", "198.18.2.1", "--autoip", "--dhcp"},
        {"set", "198.18.2.1", "--channel", "0001", "--dry-run"},
        {"set", "--plan", "/nonexistent/plan.csv"},
        {"reboot"},
        {"reboot", "198.18.2.1", "--timeout", "0"},
        {"reboot", "198.18.2.1", "--jobs", "0"},
        {"factory-default", "198.18.2.1"},
        {"upgrade", "198.18.2.1"},
        {"wall", "quick", "6x1", "--bezel", "1,1,1,1"},
        {"wall", "quick", "2x2", "--bezel", "1,1,1"},
        {"wall", "quick", "2x2", "--bezel", "0,1,1,1"},
        {"wall", "quick", "2x2", "--bezel", "1,1,1,-1"},
        {"wall", "place", "198.18.2.1", "2", "0", "--size", "2x2", "--bezel", "1,1,1,1"},
        {"wall", "place", "198.18.2.1", "0", "0", "--bezel", "1,1,1,1"},
        {"wall", "stretch", "wide", "198.18.2.1"},
        {"wall", "rotate", "90", "198.18.2.1"},
        {"wall", "spin"},
        {"osd", "blink"},
        {"osd", "on", "not-an-address"},
        // Addresses that would strand the endpoint, refused before any connection.
        {"set", "198.18.2.1", "--static", "198.18.2.9", "--netmask", "255.0.255.0", "--gateway", "198.18.0.1"},
        {"set", "198.18.2.1", "--static", "198.18.2.9", "--netmask", "255.255.255.0", "--gateway", "198.18.0.1"},
        {"set", "198.18.2.1", "--static", "198.18.2.0", "--netmask", "255.255.255.0", "--gateway", "198.18.2.1"},
        {"set", "198.18.2.1", "--static", "198.18.2.9", "--netmask", "255.255.255.0", "--gateway", "198.18.2.9"},
        {"set", "198.18.2.1", "--static", "127.0.0.1", "--netmask", "255.0.0.0", "--gateway", "127.0.0.2"},
        {"set", "198.18.2.1", "--static", "198.18.2.9", "--netmask", "255.0.255.0", "--gateway", "198.18.0.1",
         "--force", "gateway"},
        {"set", "198.18.2.1", "--channel", "0001", "--force", "everything"},
        {"inventory", "198.18.2.1"},
        {"upgrade", "198.18.2.1", "--tftp-root", "/nonexistent"},
        {"wall", "quick", "2x3", "--bezel", "4294967295,6870,12100,6800"},
        {"wall", "quick", "1x2", "--bezel", "1,1,1,1", "--order", "198.18.2.1,,198.18.2.2"},
        {"wall", "quick", "1x2", "--bezel", "1,1,1,1", "--save", "/nonexistent/dir/x.json"},
    };
    for (const auto& args : bad) {
        const Result r = Cli(args);
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(r.rc, 2) << joined << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << joined;
        EXPECT_TRUE(r.out.empty()) << joined;
    }
}

TEST(CliUsage, ARepeatedOptionTakesOneValueEachAndLeavesTheAddressesAlone)
{
    // Cards that do not exist end the scan before a datagram is sent.
    const Result two = Cli({"scan", "--interface", "cv-no-card-a", "--interface=cv-no-card-b"});
    EXPECT_EQ(two.rc, 2);
    EXPECT_NE(two.err.find("no usable network card named cv-no-card-a, cv-no-card-b"), std::string::npos) << two.err;
    const Result osd = Cli({"osd", "on", "--interface", "cv-no-card-a", "198.18.2.1", "--quiet"});
    EXPECT_EQ(osd.rc, 2);
    EXPECT_NE(osd.err.find("named cv-no-card-a\n"), std::string::npos) << osd.err;
    // The last of a value given twice counts, as it always has.
    EXPECT_EQ(Cli({"reboot", "198.18.2.1", "--timeout", "0", "--timeout", "x"}).rc, 2);
    // A value may start with a minus sign where it is a number's.
    const Result negative = Cli({"wall", "quick", "2x2", "--bezel", "-1,1,1,1"});
    EXPECT_EQ(negative.rc, 2);
    EXPECT_NE(negative.err.find("four unsigned whole numbers"), std::string::npos) << negative.err;
    const Result unknown = Cli({"scan", "--bogus"});
    EXPECT_NE(unknown.err.find("unknown option --bogus"), std::string::npos) << unknown.err;
    const Result noValue = Cli({"reboot", "198.18.2.1", "--jobs"});
    EXPECT_NE(noValue.err.find("--jobs needs a value"), std::string::npos) << noValue.err;
    // "--" ends the options: what follows is an address, and this one is not.
    const Result dashes = Cli({"show", "--", "--json"});
    EXPECT_EQ(dashes.rc, 2);
    EXPECT_NE(dashes.err.find("'--json' is not a dotted IPv4 address"), std::string::npos) << dashes.err;
}

TEST(CliUsage, AWallThatWrapsToZeroWidthIsRefusedWithTheWindowsWords)
{
    // A zero bezel first; then 2^31 + 2^31 wraps to a wall 0 wide.
    const Result wrap = Cli({"wall", "quick", "1x3", "--bezel", "2147483648,1,0,1"});
    EXPECT_EQ(wrap.rc, 2);
    EXPECT_NE(wrap.err.find("OW, OH, VW, VH can not be 0."), std::string::npos) << wrap.err;
    const Result zero = Cli({"wall", "quick", "1x2", "--bezel", "2147483648,1,2147483648,1"});
    EXPECT_EQ(zero.rc, 2);
    EXPECT_NE(zero.err.find("0 wide or 0 high"), std::string::npos) << zero.err;
    // One cell with a zero visible size has no picture to divide either.
    EXPECT_EQ(Cli({"wall", "quick", "1x1", "--bezel", "1,1,0,1"}).rc, 2);
}

TEST(Plan, ChecksEveryRowBeforeAnythingAndNamesEachBadLine)
{
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    const std::string text = "mac,hostname_id,channel,multicast,ip_mode,ipaddr,netmask,gateway\r\n"
                             "02:00:C6:12:02:01,lobby-1,0042,n,,,,\r\n"
                             "02:00:c6:12:02:02,bad id,,,,,,\r\n"
                             "02:00:C6:12:02:03,,0100,,,,,\r\n"
                             "02:00:C6:12:02:04,,,maybe,,,,\r\n"
                             "02:00:C6:12:02:05,,,,static,10.0.0.5,255.255.255.0,\r\n"
                             "02:00:C6:12:02:06,,,,dhcp,10.0.0.6,,\r\n"
                             "02:00:c6:12:02:01,,,,,,,\r\n"
                             "nonsense,,,,,,,\r\n"
                             "02:00:C6:12:02:09,,,,static,10.0.0.9,255.255.255.0,10.0.0.1\r\n";
    EXPECT_FALSE(ParsePlan(text, rows, errors));
    ASSERT_EQ(errors.size(), 7u);
    for (int line = 3; line <= 9; ++line)
        EXPECT_EQ(errors[static_cast<std::size_t>(line - 3)].rfind("line " + std::to_string(line) + ":", 0), 0u)
            << errors[static_cast<std::size_t>(line - 3)];
    EXPECT_NE(errors[4].find("gateway"), std::string::npos);

    ASSERT_TRUE(ParsePlan("address,channel,hostname_id\n198.18.2.1,0007,\n\"198.18.2.2\",,\"a.b\"\n", rows, errors));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(*rows[0].request.channel, "0007");
    EXPECT_FALSE(rows[0].request.hostnameId);
    EXPECT_EQ(*rows[1].request.hostnameId, "a.b");
    EXPECT_EQ(rows[1].line, 3);

    for (const char* header : {"hostname_id\n", "mac,address\n", "address,colour\n", "address,channel,channel\n"}) {
        errors.clear();
        EXPECT_FALSE(ParsePlan(header, rows, errors)) << header;
    }
}

TEST(Plan, ABadCellIsRefusedBeforeTheFleetIsLookedAt)
{
    const std::string bad = TempFile("bad.csv", "address,channel\n198.18.2.1,0042\n198.18.2.2,99\n");
    const Result refused = Cli({"set", "--plan", bad});
    fs::remove(bad);
    EXPECT_EQ(refused.rc, 2);
    EXPECT_NE(refused.err.find("line 3"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("nothing was sent"), std::string::npos);
}

TEST(Layout, ReadsWhatItWritesAndRefusesCellsOutsideTheWall)
{
    Layout l{2, 3, {12170, 6870, 12100, 6800}, std::string("fit"), std::nullopt, {}};
    Place(l, {0, 0, "198.18.2.1", "", std::nullopt, std::nullopt});
    Place(l, {0, 1, "", "02:00:C6:12:02:02", std::string("out"), 270u});
    Place(l, {1, 2, "198.18.2.1", "", std::nullopt, std::nullopt});  // moves off 0,0
    Place(l, {0, 1, "198.18.2.3", "", std::nullopt, std::nullopt});  // takes the cell
    std::string error;
    const auto back = ReadLayout(LayoutText(l), error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->placements.size(), 2u);
    EXPECT_EQ(back->placements[0].address, "198.18.2.1");
    EXPECT_EQ(back->placements[0].row, 1u);
    EXPECT_EQ(back->placements[1].address, "198.18.2.3");
    EXPECT_EQ(*back->stretch, "fit");

    const char* bad[] = {
        R"({"rows":2,"columns":3,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"placements":[{"row":2,"column":0,"address":"198.18.2.1"}]})",
        R"({"rows":6,"columns":3,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"placements":[]})",
        R"({"rows":2,"columns":2,"bezel":{"ow":0,"oh":1,"vw":1,"vh":1},"placements":[]})",
        R"({"rows":2,"columns":2,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"placements":[{"row":0,"column":0}]})",
        R"({"rows":2,"columns":2,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"placements":[{"row":0,"column":0,"address":"1.2.3.4; reboot"}]})",
        R"({"rows":2,"columns":2,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"rotate":90,"placements":[]})",
        R"({"rows":2,"columns":2,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"placements":[{"row":0,"column":0,"address":"1.2.3.4"},{"row":1,"column":0,"address":"1.2.3.4"}]})",
        R"({"rows":2,"columns":2,"bezel":{"ow":1.5,"oh":1,"vw":1,"vh":1},"placements":[]})",
    };
    for (const char* text : bad) {
        ASSERT_FALSE(Record::parse(text, nullptr, false).is_discarded()) << text;
        EXPECT_FALSE(ReadLayout(text, error)) << text;
    }
}

TEST(Layout, AKeyItDoesNotKnowIsRefusedWhereverItIs)
{
    std::string error;
    const std::string wall = R"("bezel":{"ow":100,"oh":100,"vw":90,"vh":90})";
    EXPECT_FALSE(ReadLayout(R"({"rows":1,"colums":2,"columns":2,)" + wall + R"(,"placements":[]})", error));
    EXPECT_NE(error.find("unknown key \"colums\""), std::string::npos) << error;
    EXPECT_FALSE(ReadLayout(R"({"rows":1,"columns":2,"bezel":{"ow":100,"oh":100,"vw":90,"vh":90,"gap":1},)"
                            R"("placements":[]})",
                            error));
    EXPECT_NE(error.find("\"bezel\": unknown key \"gap\""), std::string::npos) << error;
    EXPECT_FALSE(ReadLayout(R"({"rows":1,"columns":2,)" + wall +
                                R"(,"placements":[{"row":0,"column":0,"address":"198.18.2.1","rotation":180}]})",
                            error));
    EXPECT_NE(error.find("placement 1: unknown key \"rotation\""), std::string::npos) << error;
    EXPECT_TRUE(ReadLayout("\xEF\xBB\xBF{\"rows\":1,\"columns\":2," + wall + ",\"placements\":[]}", error)) << error;
}

TEST(Plan, AShortRowIsRefusedAsALongOneIs)
{
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    EXPECT_FALSE(ParsePlan("address,channel,multicast\n198.18.2.1,0005\n198.18.2.2,0006,n,x\n", rows, errors));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "line 2: 2 cells, the header has 3 columns");
    EXPECT_EQ(errors[1].rfind("line 3: 4 cells", 0), 0u) << errors[1];
}

TEST(Json, EveryRecordHasEveryColumnWithNullForWhatIsMissing)
{
    std::ostringstream out;
    PrintRecords(out, Format::Json, {"address", "number", "error"},
                 {Record{{"address", "198.18.2.1"}, {"number", 3}, {"stray", "dropped"}},
                  Record{{"address", "198.18.2.2"}, {"error", ""}}});
    EXPECT_EQ(Record::parse(out.str()), Record::parse(R"([{"address":"198.18.2.1","number":3,"error":null},
                                                          {"address":"198.18.2.2","number":null,"error":null}])"));
    std::ostringstream empty;
    PrintRecords(empty, Format::Json, {"address"}, {});
    EXPECT_EQ(empty.str(), "[]\n");
    EXPECT_EQ(NumberOrNull("12"), 12);
    EXPECT_TRUE(NumberOrNull("").is_null());
    EXPECT_TRUE(NumberOrNull("1x").is_null());
}

TEST(Parallel, AStopStartsNothingNewAndEveryEndpointStillGetsItsRow)
{
    std::atomic<int> ran{0};
    const Rows rows = CollectRows(
        6, 1,
        [&](std::size_t i) {
            if (++ran == 2)
                cv::cli::interrupt::Request();
            return Row({{"i", i}, {"status", "done"}}, false);
        },
        [](std::size_t i) {
            return Row({{"i", i}, {"status", "not started"}}, false);
        });
    const bool stopped = cv::cli::interrupt::Requested();
    cv::cli::interrupt::Reset();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(ran, 2);
    ASSERT_EQ(rows.rows.size(), 6u);
    EXPECT_EQ(rows.rows[1]["status"], "done");
    EXPECT_EQ(rows.rows[2]["status"], "not started");
    EXPECT_EQ(rows.rows[5]["i"], 5);
}

TEST(Layout, PlacedAndQuickTilesFollowTheWindowsRules)
{
    const Bezel b{12170, 6870, 12100, 6800};
    EXPECT_EQ(PlacedTile(1, 1, 2, 3, b), (cv::nodes::Tile{3339, 5025, 6660, 10000}));
    // A drop on a 1 x 1 wall sends zeros; the quick layout's one tile is whole.
    EXPECT_EQ(PlacedTile(0, 0, 1, 1, {0, 0, 0, 0}), (cv::nodes::Tile{}));
    EXPECT_EQ(QuickTile(3, 1, 1, {5, 5, 5, 5}), (cv::nodes::Tile{0, 0, 10000, 10000}));
    EXPECT_EQ(QuickTile(7, 2, 3, b), PlacedTile(0, 0, 2, 3, b));  // surplus shares the first cell
    EXPECT_EQ(*ParseWallSize("2x3"), (std::pair<std::uint32_t, std::uint32_t>{2, 3}));
    EXPECT_FALSE(ParseWallSize("0x3"));
    EXPECT_FALSE(ParseWallSize("2x"));
    EXPECT_EQ(*ParseBezel("4294967295,0,1,2"), (Bezel{4294967295u, 0, 1, 2}));
    EXPECT_FALSE(ParseBezel("4294967296,0,1,2"));
}

TEST(Json, RecordsRoundTripAndStayValidWhateverADeviceSent)
{
    const Record v = Record::parse(R"({"a":[1,2.5,-3,true,null],"s":"x\"\\\n\u00e9\ud83d\ude00","o":{}})");
    EXPECT_EQ(v["s"].get<std::string>(), "x\"\\\n\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(Dump(Record::parse(Dump(v))), Dump(v));
    EXPECT_EQ(Dump(Record(1.9)), "1.9");
    // Keys stay in the order they were written, not sorted.
    EXPECT_EQ(Dump(Record{{"z", 1}, {"a", 2}}), R"({"z":1,"a":2})");
    // Bytes that are not UTF-8 and control bytes never break the document.
    const std::string dumped = Dump(Record(std::string("a\xFF\x01z")));
    EXPECT_EQ(dumped, "\"a\xEF\xBF\xBD\\u0001z\"");
    EXPECT_FALSE(Record::parse(dumped, nullptr, false).is_discarded());
    std::ostringstream out;
    PrintRecords(out, Format::Json, {"name"}, {Record{{"name", std::string("rx\xC3")}}});
    EXPECT_FALSE(Record::parse(out.str(), nullptr, false).is_discarded()) << out.str();
}

TEST(Layout, AFileThatIsNoJsonIsRefusedNamingWhere)
{
    std::string error;
    for (const char* bad : {"{", "[1,]", "{\"a\" 1}", "\"\\x\"", "01x", "[1] 2", "\"a\nb\"", ""})
        EXPECT_FALSE(ReadLayout(bad, error)) << bad;
    EXPECT_FALSE(ReadLayout("{\n  \"rows\": 2,\n  \"columns\": 2,,\n}", error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
    // Nesting far past a layout's three levels is refused, not recursed into.
    EXPECT_FALSE(ReadLayout(std::string(200, '[') + std::string(200, ']'), error));
    EXPECT_NE(error.find("nested"), std::string::npos) << error;
    EXPECT_FALSE(ReadLayout(std::string(100000, '['), error));
}

TEST(Layout, NumbersAreJsonNumbersAndWholeAndAByteOrderMarkIsAllowed)
{
    const std::string tail = R"(,"columns":2,"bezel":{"ow":1,"oh":1,"vw":1,"vh":1},"placements":[]})";
    std::string error;
    // JSON has no "+1"; the hand-written reader took it.
    EXPECT_FALSE(ReadLayout(R"({"rows":+1)" + tail, error));
    EXPECT_FALSE(ReadLayout(R"({"rows":"2")" + tail, error));
    EXPECT_NE(error.find("\"rows\""), std::string::npos) << "the message names the key: " << error;
    EXPECT_FALSE(ReadLayout(R"({"rows":-1)" + tail, error));
    EXPECT_FALSE(ReadLayout(R"({"rows":2.5)" + tail, error));
    EXPECT_FALSE(ReadLayout(R"({"rows":4294967298)" + tail, error));
    // A number no double holds is refused, not thrown past the reader.
    EXPECT_FALSE(ReadLayout(R"({"rows":1e999)" + tail, error));
    EXPECT_NE(error.find("1e999"), std::string::npos) << error;
    EXPECT_TRUE(ReadLayout(R"({"rows":2.0)" + tail, error)) << error;
    EXPECT_TRUE(ReadLayout(R"({"rows":2e0)" + tail, error)) << error;
    // Saved by an editor that starts UTF-8 files with a byte-order mark.
    const auto bom = ReadLayout("\xEF\xBB\xBF{\"rows\":2" + tail, error);
    ASSERT_TRUE(bom) << error;
    EXPECT_EQ(bom->rows, 2u);
}

TEST(Layout, WallApplyOfABrokenFileNamesItsLineAndSendsNothing)
{
    const std::string path = TempFile("broken.json", "{\n  \"rows\": +1,\n  \"columns\": 2\n}\n");
    const Result r = Cli({"wall", "apply", path});
    const std::string huge = TempFile("huge.json", "{\"rows\": 1e999}");
    const Result h = Cli({"wall", "apply", huge});
    fs::remove(path);
    fs::remove(huge);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was sent"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(h.rc, 2) << h.err;
    EXPECT_NE(h.err.find("nothing was sent"), std::string::npos) << h.err;
}

TEST(CliHelp, EveryCommandAndEveryWallCommandDescribesItsOwnOptionsAndTheCommonOnes)
{
    const Result program = Cli({"--help"});
    for (const auto& [command, options] : CommandsAndOptions()) {
        EXPECT_NE(program.out.find("\n  " + command.substr(0, command.find(' '))), std::string::npos) << command;
        std::vector<std::string> args;
        std::istringstream words(command);
        for (std::string w; words >> w;)
            args.push_back(w);
        args.push_back("--help");
        const Result r = Cli(args);
        EXPECT_EQ(r.rc, 0) << command;
        EXPECT_NE(r.out.find("usage: cortavia-cli " + command), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Common options"), std::string::npos) << command;
        for (const auto& option : options)
            EXPECT_NE(r.out.find("\n  " + option), std::string::npos) << command << " " << option << "\n" << r.out;
    }
    EXPECT_EQ(Cli({"help"}).out, program.out);
    const Result none = Cli({});
    EXPECT_EQ(none.rc, 2);
    EXPECT_EQ(none.err, program.out) << "no command: the program's help, on standard error";
}

TEST(CliHelp, TheManualPageNamesTheCommandsAndOptionsTheHelpDoesAndNoOthers)
{
    std::ifstream in(std::string(CV_SOURCE_DIR) + "/cli/cortavia-cli.1");
    ASSERT_TRUE(in);
    std::stringstream raw;
    raw << in.rdbuf();
    // The page as man shows it: no font changes, "\-" a dash.
    const std::string page =
        std::regex_replace(std::regex_replace(raw.str(), std::regex(R"(\\f[BIRP])"), ""), std::regex(R"(\\-)"), "-");

    std::set<std::string> commands, helpOptions, pageOptions;
    for (const auto& [command, options] : CommandsAndOptions()) {
        commands.insert(command);
        helpOptions.insert(options.begin(), options.end());
        EXPECT_NE(page.find("cortavia-cli " + command), std::string::npos) << "the synopsis lacks " << command;
    }
    // Run reads these before any command.
    for (const char* early : {"help", "--version"}) {
        commands.insert(early);
        EXPECT_NE(page.find(std::string("cortavia-cli ") + early), std::string::npos) << early;
    }
    helpOptions.insert("--version");
    const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), option); it != std::sregex_iterator(); ++it)
        pageOptions.insert(it->str());
    for (const auto& o : helpOptions)
        EXPECT_TRUE(pageOptions.count(o)) << "the manual page does not name " << o;
    for (const auto& o : pageOptions)
        EXPECT_TRUE(helpOptions.count(o)) << "the manual page names " << o << ", which no command takes";

    // Each synopsis line starts with a command the program knows.
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(".B cortavia-cli ", 0) != 0)
            continue;
        const std::string rest = line.substr(16);
        const std::string first = rest.substr(0, rest.find(' '));
        EXPECT_TRUE(commands.count(first)) << line;
    }
}

TEST(Parallel, RowsComeOutInTheEndpointsOrderWhicheverFinishesFirstAndOneFailureFailsTheRun)
{
    const std::size_t count = 12;
    const auto none = [](std::size_t) { return Rows{}; };
    const Rows rows = CollectRows(
        count, 8,
        [&](std::size_t i) {
            // The first endpoints take longest, so they finish last.
            std::this_thread::sleep_for(std::chrono::milliseconds(5 * (count - i)));
            Rows r;
            for (int k = 0; k < (i % 3 == 0 ? 2 : 1); ++k)
                r.rows.push_back({{"i", i}, {"k", k}});
            r.failed = i == 7;
            return r;
        },
        none);
    EXPECT_TRUE(rows.failed);
    ASSERT_EQ(rows.rows.size(), count + count / 3);
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i)
        for (int k = 0; k < (i % 3 == 0 ? 2 : 1); ++k, ++at)
            EXPECT_EQ(rows.rows[at], (Record{{"i", i}, {"k", k}})) << at;
    EXPECT_FALSE(CollectRows(
                     3, 2, [](std::size_t) { return Row(Record::object(), false); }, none)
                     .failed);
    EXPECT_TRUE(CollectRows(
                    0, 4, [](std::size_t) { return Row(Record::object(), true); }, none)
                    .rows.empty());
}

TEST(Csv, QuotesWhatNeedsItAndReadsItBack)
{
    std::ostringstream out;
    const Record row = {{"a", "plain"}, {"b", "with,comma \"and\" quotes\r\nand a line"}};
    PrintRecords(out, Format::Csv, {"a", "b", "missing"}, {row});
    CsvTable t;
    std::string error;
    ASSERT_TRUE(ParseCsv(out.str(), t, error)) << error;
    ASSERT_EQ(t.records.size(), 2u);
    EXPECT_EQ(t.records[1][1], "with,comma \"and\" quotes\r\nand a line");
    EXPECT_EQ(t.records[1][2], "");
    EXPECT_TRUE(ParseCsv("\xEF\xBB\xBF"
                         "a,b\n\n1,2",
                         t, error));
    EXPECT_EQ(t.records.size(), 2u);
    EXPECT_EQ(t.records[0][0], "a");
    EXPECT_EQ(t.lineOfRecord[1], 3);
    EXPECT_FALSE(ParseCsv("a,\"b\n", t, error));
    EXPECT_FALSE(ParseCsv("\"a\"b\n", t, error));
}

TEST(Table, ShowsDeviceTextWithoutControlBytes)
{
    std::ostringstream out;
    const Record row = {{"name", std::string("evil\x1b[2Jname")}};
    PrintRecords(out, Format::Table, {"name", "empty"}, {row});
    EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
    EXPECT_NE(out.str().find("evil\\x1b[2Jname  -"), std::string::npos) << out.str();
}
