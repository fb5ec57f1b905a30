// Where the bridge keeps the states it restores, and that they outlast it.
#include "mqtt/saved_states.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

EnvironmentLookup Lookup(const std::map<std::string, std::string>& variables)
{
    return [variables](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
}

TEST(SavedStates, LiveWhereSystemdOrTheUsersStateFolderSays)
{
    EXPECT_EQ(SavedStatesFile(Lookup({{"STATE_DIRECTORY", "/var/lib/relaymqtt"}, {"XDG_STATE_HOME", "/s"}})),
              "/var/lib/relaymqtt/relays.state");
    EXPECT_EQ(SavedStatesFile(Lookup({{"STATE_DIRECTORY", "/var/lib/relaymqtt:/var/lib/other"}})),
              "/var/lib/relaymqtt/relays.state");
    EXPECT_EQ(SavedStatesFile(Lookup({{"XDG_STATE_HOME", "/s"}, {"HOME", "/home/ann"}})), "/s/relaymqtt/relays.state");
    EXPECT_EQ(SavedStatesFile(Lookup({{"XDG_STATE_HOME", "s"}, {"HOME", "/home/ann"}})),
              "/home/ann/.local/state/relaymqtt/relays.state");
    EXPECT_EQ(SavedStatesFile(Lookup({})), fs::path());
}

TEST(SavedStates, OutliveTheBridgeAndPassOverLinesTheyCannotRead)
{
    const fs::path folder = fs::temp_directory_path() / "saved_states_test";
    fs::remove_all(folder);
    const fs::path file = folder / "relaymqtt" / "relays.state";
    {
        SavedStates states(file);
        EXPECT_EQ(states.Find("A1"), std::nullopt);
        std::string reason;
        ASSERT_TRUE(states.Save("A1", 0x12, reason)) << reason;
        ASSERT_TRUE(states.Save("B2", 0xFF, reason)) << reason;
        ASSERT_TRUE(states.Save("A1", 0x05, reason)) << reason;
    }
    std::ofstream(file, std::ios::app) << "C3 1G\nD4\nE5 123\n";
    const SavedStates again(file);
    EXPECT_EQ(again.Find("A1"), 0x05);
    EXPECT_EQ(again.Find("B2"), 0xFF);
    EXPECT_EQ(again.Find("C3"), std::nullopt);
    EXPECT_EQ(again.Find("E5"), std::nullopt);

    SavedStates nowhere{fs::path()};
    std::string reason;
    EXPECT_FALSE(nowhere.Save("A1", 1, reason));
    EXPECT_EQ(reason, "no folder to keep it in (neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME is set)");

    // A state that cannot be written is said so, never taken for kept: a
    // folder stands where the new file would go, which stops root as well.
    const fs::path blocked = folder / "blocked" / "relays.state";
    fs::create_directories(fs::path(blocked) += ".new");
    SavedStates stuck(blocked);
    EXPECT_FALSE(stuck.Save("A1", 1, reason));
    EXPECT_EQ(reason.rfind("cannot write " + blocked.string() + ".new: ", 0), 0U) << reason;
    fs::remove_all(folder);
}

}  // namespace
