// The driver binding: the library is loaded on the first driver call, not
// before, and a missing library or function ends the program with a report
// that names it. ctest runs the suites below in different surroundings: with
// the virtual board on the search path, with none (once with a library
// planted in the working folder), and with board variants that lack a function.
// On Windows the load by full path, for a loader without the safe search
// flags, runs in the same surroundings.
#include "driver_library.h"
#include "recording_services.h"

#if defined(_WIN32)
#include "driver/dll_by_full_path.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// With the virtual board on the library search path.
TEST(Binding, LoadsTheLibraryAtTheFirstDriverCallNotBefore)
{
    ASSERT_FALSE(DriverLoaded());
    PanelUnderTest t;
    for (int relay = 1; relay <= 8; ++relay) {
        t.services.ClickBox(relay);
    }
    EXPECT_FALSE(DriverLoaded()) << "the relay boxes work without the driver";

    t.panel.InitInterface();
    EXPECT_TRUE(DriverLoaded());
    EXPECT_EQ(t.services.lines.size(), 8U + 4U);
    t.panel.SendState();
    t.panel.CloseDevice();
    EXPECT_TRUE(t.services.boxes.empty());
}

TEST(DriverFaultText, NamesTheLibraryOrTheFunction)
{
    const std::string library =
        DescribeDriverFault({DriverFault::Kind::MissingLibrary, "libftd2xx.so", {}, "no such file"});
    EXPECT_NE(library.find("libftd2xx.so"), std::string::npos);
    EXPECT_NE(library.find("no such file"), std::string::npos);

    const std::string function =
        DescribeDriverFault({DriverFault::Kind::MissingFunction, "libftd2xx.so", "FT_Write", {}});
    EXPECT_NE(function.find("FT_Write"), std::string::npos);
    EXPECT_NE(function.find("libftd2xx.so"), std::string::npos);
}

// With no driver library anywhere on the search path.
TEST(MissingLibrary, FirstDriverCallReportsTheLibraryAndEnds)
{
    if (DriverLoaded() || DriverFoundBySearch()) {
        GTEST_SKIP() << "a driver library is installed on this system";
    }
    PanelUnderTest t;
    t.services.ClickBox(3);
    const ProgramEnded ended = ExpectEnd([&] { t.panel.InitInterface(); });
    ASSERT_TRUE(ended.fault.has_value());
    EXPECT_EQ(ended.fault->kind, DriverFault::Kind::MissingLibrary);
    EXPECT_EQ(ended.fault->library, d2xx::kLibraryName);
#if defined(_WIN32)
    // Windows' words for a module not found do not name it.
    EXPECT_FALSE(ended.fault->reason.empty()) << "the loader's own words";
#else
    EXPECT_NE(ended.fault->reason.find(d2xx::kLibraryName), std::string::npos) << "the loader's own words";
#endif
    EXPECT_EQ(t.services.lines, std::vector<std::string>{" 4 "}) << "nothing printed after the toggle";
    EXPECT_TRUE(t.services.boxes.empty());
}

TEST(MissingLibrary, EveryCommandThatReachesTheDriverReportsIt)
{
    if (DriverFoundBySearch()) {
        GTEST_SKIP() << "a driver library is installed on this system";
    }
    for (auto command : {&RelayPanel::SendState, &RelayPanel::ReleaseAll, &RelayPanel::CloseDevice}) {
        PanelUnderTest t;
        const ProgramEnded ended = ExpectEnd([&] { (t.panel.*command)(); });
        ASSERT_TRUE(ended.fault.has_value());
        EXPECT_EQ(ended.fault->kind, DriverFault::Kind::MissingLibrary);
    }
}

// With no driver library on the search path, and a sound one in the working
// folder, where a careless search would pick it up.
#if defined(_WIN32)
// Runs first: the case below loads the planted library itself.
TEST(WorkingFolder, TheFullPathLoadPassesItByAsMissing)
{
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::current_path() / d2xx::kLibraryName));
    EXPECT_EQ(LoadDllFromProgramOrSystemFolder(std::filesystem::path(d2xx::kLibraryName).wstring()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << "the binding reports this as missing";
    EXPECT_FALSE(DriverLoaded());
}
#endif

TEST(WorkingFolder, APlantedLibraryIsNotLoaded)
{
    const std::filesystem::path planted = std::filesystem::current_path() / d2xx::kLibraryName;
    ASSERT_TRUE(std::filesystem::exists(planted)) << "run in a folder that holds the library";
    PanelUnderTest t;
    const ProgramEnded ended = ExpectEnd([&] { t.panel.InitInterface(); });
    ASSERT_TRUE(ended.fault.has_value());
    EXPECT_EQ(ended.fault->kind, DriverFault::Kind::MissingLibrary);
    EXPECT_FALSE(DriverLoaded());
    EXPECT_TRUE(LibraryLoadsFrom(planted)) << "the planted file is a library the search passed by";
}

#if defined(_WIN32)
// With the virtual board beside the program, and in the working folder a
// decoy of the same name that lacks FT_Open.
TEST(FullPath, LoadsTheLibraryBesideTheProgramNotTheDecoy)
{
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::current_path() / d2xx::kLibraryName));
    HMODULE module = LoadDllFromProgramOrSystemFolder(std::filesystem::path(d2xx::kLibraryName).wstring());
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, "FT_Open"), nullptr) << "the decoy lacks FT_Open";

    std::wstring program(MAX_PATH, L'\0');
    program.resize(GetModuleFileNameW(nullptr, program.data(), MAX_PATH));
    std::wstring loaded(MAX_PATH, L'\0');
    loaded.resize(GetModuleFileNameW(module, loaded.data(), MAX_PATH));
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(loaded).parent_path(),
                                            std::filesystem::path(program).parent_path()));
}
#endif

// With a board that lacks FT_Write.
TEST(MissingFT_Write, OpeningWorksAndTheFirstSendReportsTheFunction)
{
    PanelUnderTest t;
    t.panel.InitInterface();
    ASSERT_EQ(t.services.lines.size(), 4U);
    const ProgramEnded ended = ExpectEnd([&] { t.panel.SendState(); });
    ASSERT_TRUE(ended.fault.has_value());
    EXPECT_EQ(ended.fault->kind, DriverFault::Kind::MissingFunction);
    EXPECT_EQ(ended.fault->function, "FT_Write");
    EXPECT_EQ(ended.fault->library, d2xx::kLibraryName);
    EXPECT_TRUE(t.services.boxes.empty());
}

// With a board that lacks FT_Open.
TEST(MissingFT_Open, InitReportsTheFunctionAndPrintsNothing)
{
    PanelUnderTest t;
    const ProgramEnded ended = ExpectEnd([&] { t.panel.InitInterface(); });
    ASSERT_TRUE(ended.fault.has_value());
    EXPECT_EQ(ended.fault->function, "FT_Open");
    EXPECT_TRUE(t.services.lines.empty());
}

}  // namespace
