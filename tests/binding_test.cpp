// The driver binding: the library is loaded on the first driver call, not
// before, and a missing library or function ends the program with a report
// that names it. ctest runs the suites below in different surroundings: with
// the virtual board on the search path, with none (once with a library
// planted in the working folder), and with board variants that lack a function.
// On Windows the load by full path, for a loader without the safe search
// flags, runs in the same surroundings, and so does the programs' first step,
// which takes the working folder out of the DLL search.
#include "driver_library.h"
#include "recording_services.h"

#if defined(_WIN32)
#include "driver/dll_by_full_path.h"
#include "driver/safe_dll_search.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

namespace {

#if defined(_WIN32)
// The folder of a loaded module's file; of the program's for null.
std::filesystem::path FolderOf(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(module, path.data(), MAX_PATH));
    return std::filesystem::path(path).parent_path();
}

std::filesystem::path SystemFolder()
{
    std::wstring folder(MAX_PATH, L'\0');
    folder.resize(GetSystemDirectoryW(folder.data(), MAX_PATH));
    return folder;
}

// A copy of a file for the length of one case, removed again at its end.
class PlantedCopy {
public:
    PlantedCopy(const std::filesystem::path& from, std::filesystem::path to) : m_path(std::move(to))
    {
        std::filesystem::copy_file(from, m_path, std::filesystem::copy_options::overwrite_existing);
    }
    PlantedCopy(const PlantedCopy&) = delete;
    PlantedCopy& operator=(const PlantedCopy&) = delete;
    PlantedCopy(PlantedCopy&&) = delete;
    PlantedCopy& operator=(PlantedCopy&&) = delete;
    ~PlantedCopy()
    {
        std::error_code ignored;  // a copy still loaded stays; the next run overwrites it
        std::filesystem::remove(m_path, ignored);
    }

private:
    std::filesystem::path m_path;
};
#endif

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
// As both programs do first thing. Then even the DLL beside the program that
// needs FTD2XX.DLL, loaded by full path as the binding's fallback loads the
// driver, does not find its dependency in the working folder.
TEST(WorkingFolder, OnceOutOfTheSearchADependencyPlantedThereIsNotLoaded)
{
    TakeWorkingFolderOutOfDllSearch();
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::current_path() / d2xx::kLibraryName));
    ASSERT_TRUE(std::filesystem::exists(FolderOf(nullptr) / "driver_dependent.dll"));
    EXPECT_EQ(LoadDllFromProgramOrSystemFolder(L"driver_dependent.dll"), nullptr)
        << "it found FTD2XX.DLL in the working folder";
    EXPECT_FALSE(DriverLoaded());
}

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
    EXPECT_TRUE(std::filesystem::equivalent(FolderOf(module), FolderOf(nullptr)));
}

// Copies of the board in the system folder, under names no other test
// meets: one found only there, one that lies beside the program as well.
TEST(FullPath, TheSystemFolderIsSearchedAfterTheProgramFolder)
{
    const std::filesystem::path board = FolderOf(nullptr) / d2xx::kLibraryName;
    const PlantedCopy onlyInSystem(board, SystemFolder() / "relaypanel_test_system_only.dll");
    const PlantedCopy bothInSystem(board, SystemFolder() / "relaypanel_test_both.dll");
    const PlantedCopy bothBeside(board, FolderOf(nullptr) / "relaypanel_test_both.dll");

    HMODULE fromSystem = LoadDllFromProgramOrSystemFolder(L"relaypanel_test_system_only.dll");
    ASSERT_NE(fromSystem, nullptr) << "the system folder's copy was not found: error " << GetLastError();
    EXPECT_TRUE(std::filesystem::equivalent(FolderOf(fromSystem), SystemFolder()));
    FreeLibrary(fromSystem);

    HMODULE both = LoadDllFromProgramOrSystemFolder(L"relaypanel_test_both.dll");
    ASSERT_NE(both, nullptr);
    EXPECT_TRUE(std::filesystem::equivalent(FolderOf(both), FolderOf(nullptr))) << "the system folder's copy won";
    FreeLibrary(both);
}

// A loader that refuses the safe search flags, as some Windows 7 loaders do.
HMODULE RefuseSearchFlags(const std::wstring& /*name*/)
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

// Where the loader refuses the search flags, or lacks them, the binding
// takes the library by full path: the one beside the program, not the decoy.
TEST(FullPath, TakenWhereTheLoaderRefusesOrLacksTheSearchFlags)
{
    const std::wstring name = std::filesystem::path(d2xx::kLibraryName).wstring();
    for (SearchFlagsLoad searchFlagsLoad : {&RefuseSearchFlags, static_cast<SearchFlagsLoad>(nullptr)}) {
        HMODULE module = LoadDllFromSafeFolders(name, searchFlagsLoad);
        ASSERT_NE(module, nullptr) << "error " << GetLastError();
        EXPECT_TRUE(std::filesystem::equivalent(FolderOf(module), FolderOf(nullptr)));
        EXPECT_NE(GetProcAddress(module, "FT_Open"), nullptr) << "the decoy lacks FT_Open";
    }
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
