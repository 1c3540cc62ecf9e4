// Driver modules: load, run, unload, reload, and the checks at unload.
#include <dlfcn.h>

#include "simtest.h"

namespace kwsim::test {
namespace {

class LoaderTest : public SimTest {};

bool ModuleMapped(const char* name)
{
    std::string path = std::string(KWSIM_MODULE_DIR) + "/" + name + ".so";
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

TEST_F(LoaderTest, SampleDriverRunsItsTimerAndThread)
{
    LoadedDriver d = LoadDriver("KwSample");
    ASSERT_EQ(d.entryStatus, STATUS_SUCCESS);
    ASSERT_NE(d.driverObject, nullptr);
    EXPECT_NE(d.driverObject->DriverUnload, nullptr);
    EXPECT_EQ(std::u16string(d.driverObject->DriverExtension->ServiceKeyName.Buffer,
                             d.driverObject->DriverExtension->ServiceKeyName.Length / 2),
              u"KwSample");
    EXPECT_TRUE(ModuleMapped("KwSample"));
    Advance(100 * kMs);
    EXPECT_NE(DescribeThreads().find("KwSample.so"), std::string::npos) << DescribeThreads();
    ASSERT_TRUE(UnloadDriver(d));
    EXPECT_FALSE(ModuleMapped("KwSample"));
    EXPECT_EQ(DebugOutput(),
              "KwSample: DriverEntry for \\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwSample\n"
              "KwSample: timer every 10 ms started\n"
              "KwSample: unload after 10 ticks and 10 thread wake-ups\n");
}

TEST_F(LoaderTest, ReloadStartsWithFreshGlobals)
{
    for (int64_t run : {30, 50}) {
        ClearDebugOutput();
        LoadedDriver d = LoadDriver("KwSample");
        ASSERT_EQ(d.entryStatus, STATUS_SUCCESS);
        Advance(run * kMs);
        ASSERT_TRUE(UnloadDriver(d));
        std::string want = "unload after " + std::to_string(run / 10) + " ticks";
        EXPECT_NE(DebugOutput().find(want), std::string::npos) << DebugOutput();
    }
}

TEST_F(LoaderTest, MissingModuleCannotLoad)
{
    LoadedDriver d = LoadDriver("KwNoSuchDriver");
    EXPECT_EQ(d.entryStatus, STATUS_DRIVER_UNABLE_TO_LOAD);
    EXPECT_EQ(d.driverObject, nullptr);
}

TEST_F(LoaderTest, FailedDriverEntryUnloadsWithoutLeaks)
{
    PoolFailTag(KW_TAG("KwSa"));
    LoadedDriver d = LoadDriver("KwSample");
    EXPECT_EQ(d.entryStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(d.driverObject, nullptr);
    EXPECT_FALSE(ModuleMapped("KwSample"));
}

TEST_F(LoaderTest, UnloadWithATimerStillSetIsCaughtAndTheCodeStaysMapped)
{
    LoadedDriver d = LoadDriver("KwTestLeaky");
    ASSERT_EQ(d.entryStatus, STATUS_SUCCESS);
    Advance(5 * kMs);
    ExpectReport(ReportKind::Verifier, "driver KwTestLeaky unloaded, but a timer with DPC routine KwTestLeaky.so");
    EXPECT_TRUE(UnloadDriver(d));
    EXPECT_TRUE(ModuleMapped("KwTestLeaky")) << "unmapping would crash the next timer DPC";
    Advance(5 * kMs);
    ExpectReport(ReportKind::Leak, "is still set");
    ExpectReport(ReportKind::Leak, "driver KwTestLeaky is still loaded");
}

}  // namespace
}  // namespace kwsim::test
