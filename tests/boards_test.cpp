// The boards file and the rules it sets, as plain functions: what the file
// holds and every refusal with its line; how the files combine and where
// they are looked for; and the writes a change takes under interlocks and
// active-low lines.
#include "control/boards_file.h"
#include "control/relay_rules.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Bytes(const RelayPlan& plan)
{
    std::vector<std::uint8_t> bytes;
    for (const PlannedWrite& write : plan.writes) {
        bytes.push_back(write.relays);
    }
    return bytes;
}

const RelayRules kMotor{{{0x03, 500ms}}, false};  // relays 1 and 2, up and down

TEST(ActiveLow, InvertsOnTheWireAndBackOnRead)
{
    const RelayRules low{{}, true};
    EXPECT_EQ(WireByte(0x05, low), 0xFA);
    EXPECT_EQ(RelaysFromWire(0xFA, low), 0x05);
    EXPECT_EQ(WireByte(0x05, {}), 0x05);
    EXPECT_EQ(RelaysFromWire(0x05, {}), 0x05);
    for (unsigned relays = 0; relays < 256; ++relays) {
        const auto byte = static_cast<std::uint8_t>(relays);
        ASSERT_EQ(RelaysFromWire(WireByte(byte, low), low), byte);
    }
}

TEST(Interlock, SwitchingOneOnWritesTheOthersOffFirstThenWaitsThenSwitchesItOn)
{
    // Relay 2 (down) and 5 on; relay 1 (up) asked for.
    const RelayPlan plan = PlanRelayChange(0x12, RelayChange::On, 0x01, kMotor);
    ASSERT_FALSE(plan.refused());
    EXPECT_EQ(Bytes(plan), (std::vector<std::uint8_t>{0x10, 0x11}));
    EXPECT_EQ(plan.writes[0].pauseBefore, 0ms);
    EXPECT_EQ(plan.writes[1].pauseBefore, 500ms);
    EXPECT_EQ(plan.relays, 0x11);

    // With the other off already there is nothing to wait for.
    const RelayPlan direct = PlanRelayChange(0x10, RelayChange::On, 0x01, kMotor);
    EXPECT_EQ(Bytes(direct), std::vector<std::uint8_t>{0x11});
    EXPECT_EQ(direct.writes[0].pauseBefore, 0ms);

    // A toggle that reverses the motor, and a set, hand over the same way.
    EXPECT_EQ(Bytes(PlanRelayChange(0x01, RelayChange::Toggle, 0x03, kMotor)), (std::vector<std::uint8_t>{0x00, 0x02}));
    EXPECT_EQ(Bytes(PlanRelayChange(0x81, RelayChange::Exactly, 0x02, kMotor)),
              (std::vector<std::uint8_t>{0x00, 0x02}));

    // Of several groups handed over at once, the longest pause is waited.
    const RelayRules two{{{0x03, 500ms}, {0x30, 2s}}, false};
    const RelayPlan both = PlanRelayChange(0x22, RelayChange::On, 0x11, two);
    EXPECT_EQ(Bytes(both), (std::vector<std::uint8_t>{0x00, 0x11}));
    EXPECT_EQ(both.writes[1].pauseBefore, 2s);
}

TEST(Interlock, TwoOfAGroupAskedAtOnceOrLeftOnAreRefusedWithoutAWrite)
{
    for (const RelayChange change : {RelayChange::On, RelayChange::Exactly, RelayChange::Toggle}) {
        const RelayPlan plan = PlanRelayChange(0x00, change, 0x07, kMotor);
        EXPECT_EQ(plan.refusal, RelayPlan::Refusal::TwoAsked);
        EXPECT_EQ(plan.group, 0x03);
        EXPECT_TRUE(plan.writes.empty());
    }
    // Found with both on (another program ignores the file): nothing that
    // keeps them so is written; switching one of them off or on mends it.
    const RelayPlan kept = PlanRelayChange(0x03, RelayChange::On, 0x10, kMotor);
    EXPECT_EQ(kept.refusal, RelayPlan::Refusal::AlreadyBroken);
    EXPECT_TRUE(kept.writes.empty());
    EXPECT_EQ(Bytes(PlanRelayChange(0x03, RelayChange::Off, 0x01, kMotor)), std::vector<std::uint8_t>{0x02});
    EXPECT_EQ(Bytes(PlanRelayChange(0x03, RelayChange::On, 0x01, kMotor)), (std::vector<std::uint8_t>{0x01, 0x01}));
}

// Every state, every change and every set of named relays, with two groups:
// no byte carries two of a group on, a first byte only switches off, and the
// change is the one asked for wherever the groups allow it.
TEST(Interlock, NoPlannedByteEverCarriesTwoOfAGroupOn)
{
    const RelayRules rules{{{0x03, 100ms}, {0x70, 0ms}}, false};
    const auto broken = [&](std::uint8_t relays) {
        return std::any_of(rules.interlocks.begin(), rules.interlocks.end(), [&](const InterlockGroup& group) {
            return std::popcount(static_cast<unsigned>(relays & group.relays)) > 1;
        });
    };
    for (const RelayChange change : {RelayChange::On, RelayChange::Off, RelayChange::Toggle, RelayChange::Exactly}) {
        for (unsigned current = 0; current < 256; ++current) {
            for (unsigned named = 0; named < 256; ++named) {
                const auto from = static_cast<std::uint8_t>(current);
                const auto relays = static_cast<std::uint8_t>(named);
                const RelayPlan plan = PlanRelayChange(from, change, relays, rules);
                const std::uint8_t plain = ApplyRelayChange(from, change, relays);
                if (plan.refused()) {
                    ASSERT_TRUE(plan.writes.empty());
                    ASSERT_TRUE(broken(plain))
                        << "refused though the plain change is sound: " << current << ' ' << named;
                    continue;
                }
                ASSERT_FALSE(plan.writes.empty());
                for (const PlannedWrite& write : plan.writes) {
                    ASSERT_FALSE(broken(write.relays)) << current << ' ' << named;
                }
                if (plan.writes.size() == 2) {
                    ASSERT_EQ(plan.writes[0].relays & ~from, 0) << "the first byte switches nothing on";
                }
                ASSERT_EQ(plan.writes.back().relays, plan.relays);
                // What differs from the plain change is only group members switched off.
                ASSERT_EQ(plan.relays & ~plain, 0);
                if (!broken(plain)) {
                    ASSERT_EQ(plan.relays, plain) << current << ' ' << named;
                }
            }
        }
    }
    // Without groups every change is the plain one, in one write.
    EXPECT_EQ(Bytes(PlanRelayChange(0x03, RelayChange::On, 0x0C, {})), std::vector<std::uint8_t>{0x0F});
}

ParsedBoards Parse(std::string_view text)
{
    return ParseBoardsFile(text, "boards.conf");
}

TEST(BoardsFile, TakesEveryKeyWithCommentsBlanksAndDefaults)
{
    const ParsedBoards parsed = Parse("# the garden\n"
                                      "\n"
                                      "[board A50285BI]\r\n"
                                      "  name = garden  \n"
                                      "relay.3 = pump\n"
                                      "relay.8=Gartenlicht über dem Tor # mit Raute\n"
                                      "relay.7 = 🌱 Beet, 12 €\n"
                                      "relay.4 = \xee\x80\x80\n"
                                      "interlock = 1 2 pause 500ms\n"
                                      "interlock = 5 6 7\n"
                                      "interlock = 3 4 pause 0010000ms\n"
                                      "active_low = yes\n"
                                      "on_attach = restore\n"
                                      "[ board  B2 ]\n"
                                      "on_attach = off\n"
                                      "interlock = 1 2 pause 10s\n"
                                      "[board C3]\n");
    ASSERT_TRUE(parsed.boards) << parsed.error.Describe();
    const BoardsFile& file = *parsed.boards;
    ASSERT_EQ(file.boards.size(), 3U);
    const BoardEntry* garden = file.ByName("garden");
    ASSERT_NE(garden, nullptr);
    EXPECT_EQ(garden, file.BySerial("A50285BI"));
    EXPECT_EQ(garden->relayNames[2], "pump");
    EXPECT_EQ(garden->relayNames[7], "Gartenlicht über dem Tor # mit Raute");
    EXPECT_EQ(garden->relayNames[6], "🌱 Beet, 12 €");
    EXPECT_EQ(garden->relayNames[3], "\xee\x80\x80");
    EXPECT_EQ(garden->RelayNamed("pump"), 3);
    EXPECT_EQ(garden->RelayNamed("Pump"), 0);
    ASSERT_EQ(garden->rules.interlocks.size(), 3U);
    EXPECT_EQ(garden->rules.interlocks[0].relays, 0x03);
    EXPECT_EQ(garden->rules.interlocks[0].pause, 500ms);
    EXPECT_EQ(garden->rules.interlocks[1].relays, 0x70);
    EXPECT_EQ(garden->rules.interlocks[1].pause, 0ms);
    EXPECT_EQ(garden->rules.interlocks[2].relays, 0x0C);
    EXPECT_EQ(garden->rules.interlocks[2].pause, 10s);
    EXPECT_TRUE(garden->rules.activeLow);
    EXPECT_EQ(garden->onAttach, AttachPolicy::Restore);
    EXPECT_EQ(garden->section.line, 3);
    EXPECT_EQ(file.BySerial("B2")->onAttach, AttachPolicy::Off);
    EXPECT_EQ(file.BySerial("B2")->rules.interlocks.at(0).pause, 10s);
    const BoardEntry* plain = file.BySerial("C3");
    EXPECT_EQ(plain->name, "");
    EXPECT_EQ(plain->onAttach, AttachPolicy::Keep);
    EXPECT_FALSE(plain->rules.activeLow);
    EXPECT_TRUE(plain->rules.interlocks.empty());
    EXPECT_EQ(file.ByName(""), nullptr);
    EXPECT_EQ(file.BySerial("D4"), nullptr);
}

TEST(BoardsFile, RefusalNamesTheFileTheLineAndTheReason)
{
    const std::map<std::string, std::string> refused = {
        {"name = x\n", "boards.conf:1: 'name' before any [board SERIAL] section"},
        {"[board A1]\nrelay.9 = pump\n", "boards.conf:2: no relay 9: the relays are 1 to 8"},
        {"[board A1]\nrelay.0 = pump\n", "boards.conf:2: no relay 0: the relays are 1 to 8"},
        {"[board A1]\nrelay.x = pump\n", "boards.conf:2: unknown key 'relay.x'"},
        {"[board A1]\ninterlock = 1 9\n", "boards.conf:2: no relay 9: the relays are 1 to 8"},
        {"[board A1]\ninterlock = 3\n", "boards.conf:2: an interlock group needs two relays or more"},
        {"[board A1]\ninterlock = 3 3\n", "boards.conf:2: relay 3 named twice in one interlock group"},
        {"[board A1]\ninterlock = 1 2\n\ninterlock = 3 2\n",
         "boards.conf:4: relay 2 is in the interlock group of line 2 already"},
        {"[board A1]\ninterlock = 1 2 pause 11s\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause 500\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause 10001ms\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause ms\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause -5ms\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause 5.5s\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = 1 2 pause 18446744073709551617s\n",
         "boards.conf:2: 'pause' takes one pause from 0ms to 10s in whole ms or s, such as 500ms"},
        {"[board A1]\ninterlock = up down\n",
         "boards.conf:2: interlock takes relay numbers, then 'pause' and a pause, not 'up'"},
        {"[board A1]\nname = a\n[board B2]\nname = a\n",
         "boards.conf:4: the name 'a' is given to board A1 already (boards.conf:2)"},
        {"[board A1]\nname = B2\n[board B2]\n", "boards.conf:2: the name 'B2' is the serial number of another board"},
        {"[board A1]\nrelay.1 = pump\nrelay.2 = pump\n", "boards.conf:3: relay 1 of board A1 is named 'pump' already"},
        {"[board A1]\nrelay.1 = pump\nrelay.1 = well\n",
         "boards.conf:3: 'relay.1' given again for board A1 (first at line 2)"},
        {"[board A1]\nname = \xff\n", "boards.conf:2: not valid UTF-8"},
        {"[board A1]\nname = \xc0\xae\n", "boards.conf:2: not valid UTF-8"},
        {"[board A1]\nname = \xed\xa0\x80\n", "boards.conf:2: not valid UTF-8"},
        {"[board A1]\nname = \xf4\x90\x80\x80\n", "boards.conf:2: not valid UTF-8"},
        {"[board A1]\nname = \xe2\x82\n", "boards.conf:2: not valid UTF-8"},
        {"[board A1]\nname = a\x1b[2Jb\n", "boards.conf:2: a name holds no control character"},
        {"[board A1]\nname = a\xc2\x9b"
         "b\n",
         "boards.conf:2: a name holds no control character"},
        {"[board A1]\nname = 3\n", "boards.conf:2: the name '3' would read as a relay number"},
        {"[board A1]\nrelay.2 = 007\n", "boards.conf:2: the name '007' would read as a relay number"},
        {"[board A1]\nrelay.2 = -s\n", "boards.conf:2: the name '-s' would read as an option"},
        {"[board A1]\nrelay.2 = -\xc3\xa9\n", "boards.conf:2: the name '-?"
                                              "?' would read as an option"},
        {"[board A1]\nrelay.2 = -" + std::string(40, 'x') + "\n",
         "boards.conf:2: the name '-" + std::string(39, 'x') + "...' would read as an option"},
        {"[board A1]\nname =\n", "boards.conf:2: needs a name"},
        {"[board A1]\nname = " + std::string(65, 'n') + "\n", "boards.conf:2: a name is at most 64 bytes long"},
        {"[board A1]\ncolour = red\n", "boards.conf:2: unknown key 'colour'"},
        {"[board A1]\nactive_low = true\n", "boards.conf:2: active_low takes yes or no, not 'true'"},
        {"[board A1]\non_attach = on\n", "boards.conf:2: on_attach takes keep, off or restore, not 'on'"},
        {"[board A1]\non_attach = off\non_attach = off\n",
         "boards.conf:3: 'on_attach' given again for board A1 (first at line 2)"},
        {"[board A1]\n[board A1]\n", "boards.conf:2: board A1 given again (first at line 1)"},
        {"[boards A1]\n", "boards.conf:1: unknown section '[boards A1]': sections are [board SERIAL]"},
        {"[board A1\n", "boards.conf:1: a section line ends with ']'"},
        {"[board]\n", "boards.conf:1: [board ...] needs the board's serial number"},
        {"[board A123456789012345]\n", "boards.conf:1: the serial number 'A123456789012345' is longer than 15 bytes"},
        {"[board A 1]\n",
         "boards.conf:1: the serial number 'A 1' holds a blank or a character outside printable ASCII"},
        {"[board A1]\npump\n", "boards.conf:2: expected 'key = value' or '[board SERIAL]', not 'pump'"},
    };
    for (const auto& [text, reason] : refused) {
        const ParsedBoards parsed = Parse(text);
        EXPECT_FALSE(parsed.boards) << text;
        EXPECT_EQ(parsed.error.Describe(), reason) << text;
    }
}

TEST(BoardsFile, ALaterFileReplacesABoardWholeAndNamesAreCheckedAcrossFiles)
{
    const ParsedBoards system = ParseBoardsFile("[board A1]\nname = motor\ninterlock = 1 2\n"
                                                "[board B2]\nname = garden\n",
                                                "/etc/relaypanel/boards.conf");
    const ParsedBoards user = ParseBoardsFile("[board A1]\nname = shutter\nrelay.1 = up\n", "user.conf");
    ASSERT_TRUE(system.boards && user.boards);
    const ParsedBoards combined = CombineBoardsFiles({*system.boards, *user.boards});
    ASSERT_TRUE(combined.boards) << combined.error.Describe();
    ASSERT_EQ(combined.boards->boards.size(), 2U);
    const BoardEntry* shutter = combined.boards->BySerial("A1");
    EXPECT_EQ(shutter->name, "shutter");
    EXPECT_EQ(shutter->relayNames[0], "up");
    EXPECT_TRUE(shutter->rules.interlocks.empty()) << "the user's section replaces the system's whole";
    EXPECT_EQ(combined.boards->ByName("garden")->serial, "B2");
    EXPECT_EQ(combined.boards->ByName("motor"), nullptr);

    const ParsedBoards clash = ParseBoardsFile("[board C3]\nname = garden\n", "user.conf");
    ASSERT_TRUE(clash.boards);
    const ParsedBoards refused = CombineBoardsFiles({*system.boards, *clash.boards});
    EXPECT_FALSE(refused.boards);
    EXPECT_EQ(refused.error.Describe(),
              "user.conf:2: the name 'garden' is given to board B2 already (/etc/relaypanel/boards.conf:5)");
}

TEST(BoardsFile, LooksInTheSystemsFolderThenTheUsers)
{
    const auto lookup = [](const std::map<std::string, std::string>& variables) {
        return [variables](const char* name) -> std::optional<std::string> {
            const auto found = variables.find(name);
            return found == variables.end() ? std::nullopt : std::optional(found->second);
        };
    };
    using Paths = std::vector<std::filesystem::path>;
#if !defined(_WIN32)
    EXPECT_EQ(DefaultBoardsFiles(lookup({{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", "/cfg"}})),
              (Paths{"/etc/relaypanel/boards.conf", "/cfg/relaypanel/boards.conf"}));
    EXPECT_EQ(DefaultBoardsFiles(lookup({{"HOME", "/home/ann"}})),
              (Paths{"/etc/relaypanel/boards.conf", "/home/ann/.config/relaypanel/boards.conf"}));
    // XDG's rules for base folders pass over a relative or empty path.
    EXPECT_EQ(DefaultBoardsFiles(lookup({{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", "cfg"}})),
              (Paths{"/etc/relaypanel/boards.conf", "/home/ann/.config/relaypanel/boards.conf"}));
    EXPECT_EQ(DefaultBoardsFiles(lookup({{"HOME", ""}})), Paths{"/etc/relaypanel/boards.conf"});
#else
    EXPECT_EQ(DefaultBoardsFiles(lookup({{"PROGRAMDATA", "C:\\ProgramData"}, {"APPDATA", "C:\\Users\\ann"}})),
              (Paths{"C:\\ProgramData\\relaypanel\\boards.conf", "C:\\Users\\ann\\relaypanel\\boards.conf"}));
#endif
}

TEST(BoardsFile, ADefaultFileMayBeMissingANamedOneMayNot)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "boards_test_files";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::filesystem::path present = folder / "boards.conf";
    std::ofstream(present) << "[board A1]\nname = garden\n";
    const std::filesystem::path missing = folder / "missing.conf";

    const ParsedBoards defaults = LoadBoardsFiles({missing, present}, false);
    ASSERT_TRUE(defaults.boards) << defaults.error.Describe();
    EXPECT_EQ(defaults.boards->ByName("garden")->serial, "A1");
    EXPECT_TRUE(LoadBoardsFiles({}, false).boards->boards.empty());

    const ParsedBoards named = LoadBoardsFiles({missing}, true);
    EXPECT_FALSE(named.boards);
    EXPECT_EQ(named.error.Describe(), missing.string() + ": cannot read: No such file or directory");
    EXPECT_EQ(LoadBoardsFiles({folder}, false).error.Describe(), folder.string() + ": cannot read: is a folder");
    std::filesystem::remove_all(folder);
}

}  // namespace
