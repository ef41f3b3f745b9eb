#include "service/Labels.h"
#include "service/Scenes.h"
#include "service/StateFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace cv::service {
namespace {

struct StateDir : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        char name[] = "/tmp/cv-state.XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST(Labels, TakeShortTextInAnyScriptAndRefuseControlCharactersAndPadding)
{
    for (const std::string& ok :
         std::vector<std::string>{"Blu-ray", "A", "Küche (TV)", "Laptop at the lectern #2", std::string(40, 'x'),
                                  "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
                                  "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
                                  "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
                                  "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"})
        EXPECT_FALSE(LabelRefusal(ok)) << ok;
    for (const std::string& bad :
         {std::string(), std::string(41, 'x'), std::string("a\nb"), std::string("tab\there"), std::string("nul\0x", 5),
          std::string(" lead"), std::string("trail "), std::string("del\x7f")})
        EXPECT_EQ(LabelRefusal(bad).value_or("").rfind("label:", 0), 0u) << bad;
}

TEST_F(StateDir, LabelsAreKeptByNormalMacAndSurviveAHandEditedFile)
{
    LabelStore store(dir);
    EXPECT_TRUE(store.All()->empty());
    ASSERT_TRUE(store.Set("02:00:c6:12:01:01", "Blu-ray"));
    ASSERT_TRUE(store.Set("02:00:c6:12:01:02", "Camera"));
    EXPECT_EQ(store.All()->at("02:00:c6:12:01:01"), "Blu-ray");
    EXPECT_TRUE(*store.Remove("02:00:c6:12:01:02"));
    EXPECT_FALSE(*store.Remove("02:00:c6:12:01:02"));
    EXPECT_EQ(store.All()->size(), 1u);
    // Nothing but the file itself is left behind by the atomic writes.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);

    ASSERT_TRUE(WriteFileAtomically(dir, "labels.json",
                                    R"({"02-00-C6-12-01-03":"Upper","nonsense":"x","02:00:c6:12:01:04":"\u0001"})"));
    const auto all = store.All();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1u);
    EXPECT_EQ(all->at("02:00:c6:12:01:03"), "Upper");
    ASSERT_TRUE(WriteFileAtomically(dir, "labels.json", "[not an object"));
    EXPECT_FALSE(store.All());
    ASSERT_EQ(store.Problems(), std::vector<std::string>{"labels.json: not a JSON object"});
    // Labels can be written again; the broken file is kept aside, not lost.
    ASSERT_TRUE(store.Set("02:00:c6:12:01:01", "Blu-ray"));
    EXPECT_EQ(store.All()->size(), 1u);
    EXPECT_TRUE(store.Problems().empty());
    EXPECT_TRUE(std::filesystem::exists(dir + "/labels.json.corrupt"));
}

TEST_F(StateDir, AReceiversRoomIsKeptBesideItsLabelAndLabelsWithoutOneStayPlainText)
{
    LabelStore store(dir);
    ASSERT_TRUE(store.Set("02:00:c6:12:02:01", "Bar TV 1", "Bar"));
    ASSERT_TRUE(store.Set("02:00:c6:12:01:01", "Blu-ray"));
    EXPECT_EQ(store.All()->at("02:00:c6:12:02:01"), "Bar TV 1");
    EXPECT_EQ(*store.Rooms(), (std::map<std::string, std::string>{{"02:00:c6:12:02:01", "Bar"}}));
    const Json file = Json::parse(*ReadWholeFile(dir + "/labels.json").value());
    EXPECT_EQ(file["02:00:c6:12:01:01"], "Blu-ray");
    EXPECT_EQ(file["02:00:c6:12:02:01"]["room"], "Bar");
    // Without a room again, the room is gone.
    ASSERT_TRUE(store.Set("02:00:c6:12:02:01", "Bar TV 1"));
    EXPECT_TRUE(store.Rooms()->empty());

    EXPECT_EQ(LabelBody(Json{{"label", "Lectern"}, {"room", "Hall 2"}})->room, "Hall 2");
    EXPECT_EQ(LabelBody(Json{{"label", "Lectern"}, {"room", nullptr}})->room, "");
    EXPECT_EQ(LabelBody(Json{{"label", "Lectern"}, {"room", " Hall"}}).error().rfind("room:", 0), 0u);
    EXPECT_EQ(LabelBody(Json{{"label", "Lectern"}, {"room", 7}}).error().rfind("room:", 0), 0u);
    EXPECT_EQ(LabelBody(Json{{"label", "Lectern"}, {"floor", "2"}}).error().rfind("floor:", 0), 0u);
}

TEST_F(StateDir, FilesAreTheOwnersAloneAndWhatAnInterruptedWriteLeftIsRemoved)
{
    ASSERT_TRUE(WriteFileAtomically(dir, "labels.json", "{}"));
    struct stat st { };
    ASSERT_EQ(::stat((dir + "/labels.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(MakeDirectories(dir + "/scenes"));
    ASSERT_EQ(::stat((dir + "/scenes").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::ofstream(dir + "/.labels.json.a1B2c3") << "half";
    std::ofstream(dir + "/scenes/.lobby.json.Zz9Yy8") << "half";
    const auto removed = RemoveStaleTemporaries(dir);
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir + "/.labels.json.a1B2c3"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/labels.json"));
}

TEST_F(StateDir, ACorruptSceneIsAProblemNamedWithoutTheHostsPath)
{
    SceneStore scenes(dir);
    ASSERT_TRUE(scenes.Save(Scene{"good", {}, {}}));
    ASSERT_TRUE(WriteFileAtomically(dir + "/scenes", "bad.json", "{not json"));
    const auto problems = scenes.Problems();
    ASSERT_EQ(problems, std::vector<std::string>{"scenes/bad.json: not JSON"});
    EXPECT_TRUE(scenes.Load("good").value().has_value());
}

TEST_F(StateDir, ATokenOthersCanReadOrOneThatWentWhileStateStayedIsNotUsed)
{
    ASSERT_TRUE(LoadOrCreateToken(dir));
    ::chmod((dir + "/token").c_str(), 0644);
    const auto readable = LoadOrCreateToken(dir);
    ASSERT_FALSE(readable);
    EXPECT_NE(readable.error().find("others"), std::string::npos) << readable.error();
    EXPECT_NE(readable.error().find("remove the file"), std::string::npos) << readable.error();

    std::filesystem::remove(dir + "/token");
    ASSERT_TRUE(LabelStore(dir).Set("02:00:c6:12:01:01", "Blu-ray"));
    const auto missing = LoadOrCreateToken(dir);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("labels.json"), std::string::npos) << missing.error();
    EXPECT_FALSE(std::filesystem::exists(dir + "/token"));
    // An operator who wants a new one says so.
    std::ofstream(dir + "/token.new").put('\n');
    ASSERT_TRUE(LoadOrCreateToken(dir));
    EXPECT_FALSE(std::filesystem::exists(dir + "/token.new"));
}

TEST_F(StateDir, TheTokenIsMadeOnceWithMode0600AndReadAgain)
{
    const auto first = LoadOrCreateToken(dir + "/state");
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->size(), 64u);
    struct stat st { };
    ASSERT_EQ(::stat((dir + "/state/token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto again = LoadOrCreateToken(dir + "/state");
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *first);
    EXPECT_NE(*LoadOrCreateToken(dir + "/other"), *first);
}

// Root writes through a mode of 0500; a file where the directory should be
// stops everyone.
void Obstruct(const std::string& path)
{
    ASSERT_TRUE(WriteFileAtomically(path.substr(0, path.rfind('/')), path.substr(path.rfind('/') + 1), "x"));
}

TEST_F(StateDir, ATokenThatCanBeNeitherReadNorMadeIsAnError)
{
    Obstruct(dir + "/state");
    const auto token = LoadOrCreateToken(dir + "/state");
    ASSERT_FALSE(token);
    EXPECT_NE(token.error().find(dir + "/state"), std::string::npos) << token.error();
}

TEST(Secret, EqualOnlyWhenEveryByteIs)
{
    EXPECT_TRUE(SameSecret("abc", "abc"));
    EXPECT_FALSE(SameSecret("abc", "abd"));
    EXPECT_FALSE(SameSecret("abc", "abcd"));
    EXPECT_FALSE(SameSecret("", "a"));
}

TEST_F(StateDir, ASceneIsSavedWholeListedReadAndDeleted)
{
    SceneStore store(dir);
    const Json body = Json::parse(R"({"routes":[{"rx":"00:00:00:00:02:01","tx":"00-00-00-00-01-02"},
                                               {"rx":"00:00:00:00:02:02","tx":null}],
                                      "wall":{"rows":1,"columns":2,
                                              "bezel":{"ow":12170,"oh":6870,"vw":12100,"vh":6800},
                                              "placements":[{"row":0,"column":1,"mac":"00:00:00:00:02:01"}]}})");
    const auto scene = SceneFromJson("Evening news", body);
    ASSERT_TRUE(scene) << scene.error();
    ASSERT_TRUE(store.Save(*scene));
    EXPECT_EQ(*store.Names(), (std::vector<std::string>{"Evening news"}));
    const auto loaded = store.Load("Evening news");
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_EQ((*loaded)->routes, scene->routes);
    EXPECT_EQ((*loaded)->routes[0].tx, "00:00:00:00:01:02");
    EXPECT_EQ((*loaded)->wall, body["wall"]);
    EXPECT_EQ(store.Remove("Evening news"), true);
    EXPECT_EQ(store.Remove("Evening news"), false);
    EXPECT_TRUE(store.Names()->empty());
}

TEST_F(StateDir, ASceneEditedByHandIsReadAgainAndOneThatBrokeIsAProblemAtOnce)
{
    SceneStore store(dir);
    ASSERT_TRUE(store.Save(*SceneFromJson("s", Json::parse(R"({"routes":[{"rx":"00:00:00:00:02:01","tx":null}]})"))));
    ASSERT_TRUE(store.Load("s") && *store.Load("s"));
    // Another hand, another file: a new inode whatever the clock says.
    const std::string path = dir + "/scenes/s.json";
    std::filesystem::remove(path);
    std::ofstream(path) << R"({"routes":[{"rx":"00:00:00:00:02:09","tx":null}]})";
    const auto edited = store.Load("s");
    ASSERT_TRUE(edited && *edited);
    EXPECT_EQ((*edited)->routes[0].rx, "00:00:00:00:02:09");
    std::filesystem::remove(path);
    std::ofstream(path) << "{not json";
    EXPECT_FALSE(store.Load("s"));
    EXPECT_EQ(store.Problems().size(), 1u);
    std::filesystem::remove(path);
    EXPECT_TRUE(store.Load("s") && !*store.Load("s"));
    EXPECT_TRUE(store.Problems().empty());
}

TEST_F(StateDir, NoTemporaryFileIsLeftNorListed)
{
    SceneStore store(dir);
    ASSERT_TRUE(store.Save(*SceneFromJson("a", Json::parse(R"({"routes":[]})"))));
    // What a crash between write and rename leaves behind.
    ASSERT_TRUE(WriteFileAtomically(dir + "/scenes", ".b.json.tmp", "{"));
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/scenes"))
        files += e.path().filename().string()[0] != '.';
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(*store.Names(), (std::vector<std::string>{"a"}));
}

TEST_F(StateDir, AReadOnlyStateDirectoryGivesAClearErrorOnSave)
{
    SceneStore store(dir);
    Obstruct(dir + "/scenes");
    const auto saved = store.Save(*SceneFromJson("a", Json::parse(R"({"routes":[]})")));
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().find("cannot make " + dir + "/scenes"), std::string::npos) << saved.error();
}

TEST(SceneBody, EveryWrongFieldIsNamed)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"([])", "body"},
        {R"({})", "routes"},
        {R"({"routes":{}})", "routes"},
        {R"({"routes":[{"rx":"nope","tx":null}]})", "routes[0].rx"},
        {R"({"routes":[{"rx":"00:00:00:00:02:01"}]})", "routes[0]"},
        {R"({"routes":[{"rx":"00:00:00:00:02:01","tx":5}]})", "routes[0].tx"},
        {R"({"routes":[{"rx":"00:00:00:00:02:01","tx":null,"x":1}]})", "routes[0]"},
        {R"({"routes":[{"rx":"00:00:00:00:02:01","tx":null},{"rx":"00:00:00:00:02:01","tx":null}]})", "routes[1].rx"},
        {R"({"routes":[],"wall":[]})", "wall"},
        {R"({"routes":[],"wall":{"rows":9,"columns":1}})", "wall"},
        {R"({"routes":[],"colour":"red"})", "colour"},
        {R"({"name":"other","routes":[]})", "name"},
    };
    for (const auto& [text, field] : cases) {
        const auto scene = SceneFromJson("a", Json::parse(text));
        ASSERT_FALSE(scene) << text;
        EXPECT_EQ(scene.error().rfind(field, 0), 0u) << text << " -> " << scene.error();
    }
}

TEST(SceneName, ANameCannotLeaveTheScenesFolder)
{
    for (const char* good : {"a", "Evening news", "v1.2_x-y"})
        EXPECT_TRUE(IsSceneName(good)) << good;
    for (const std::string bad : {"", ".hidden", "../token", "a/b", " a", "a ", "tab\there"})
        EXPECT_FALSE(IsSceneName(bad)) << bad;
    EXPECT_FALSE(IsSceneName(std::string(65, 'a')));
}

}  // namespace
}  // namespace cv::service
