// Loading plug-ins: the entry runs once per load into each Host, the library
// stays loaded across Hosts, and a private copy starts with empty globals.
#include <string>

#include "records.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Host;

using LoadTest = HostTest;

int64_t Starts(Host& host) {
  host::Ref sample(host, host.New("SampleRaw"));
  return host.GetInteger(sample.get(), "Starts");
}

TEST_F(LoadTest, EntryRegistersIntoEachHostAndCachedEntriesKeepWorking) {
  std::string error;
  ASSERT_TRUE(host().LoadPlugin(LUMENO_SAMPLE_PLUGIN_PATH, &error)) << error;
  EXPECT_EQ(host().RegisteredPluginVersion(), 13);
  ASSERT_NE(host().FindClass("SampleRaw"), nullptr);
  int64_t first = Starts(host());
  EXPECT_GE(first, 1);
  ZARKclassRefStruct* ref = host().ClassRef("SampleRaw");

  host_.reset();
  host_ = std::make_unique<Host>();
  EXPECT_EQ(host().FindClass("SampleRaw"), nullptr);
  ASSERT_TRUE(host().LoadPlugin(LUMENO_SAMPLE_PLUGIN_PATH, &error)) << error;
  EXPECT_EQ(Starts(host()), first + 1) << "same library, entry called again";
  EXPECT_EQ(host().ClassRef("SampleRaw"), ref);

  // The plug-in's lock entries were resolved under the first Host.
  host::Ref sample(host(), host().New("SampleRaw"));
  host::Ref other(host(), host().New("PointF"));
  host().CallDynamic(sample.get(), "Touch(other as Object)", {other.get()});
  EXPECT_EQ(host().RefCount(other.get()), 1);
  host().Lock(other.get());
  EXPECT_EQ(host().RefCount(other.get()), 2);
  host().Unlock(other.get());
}

TEST_F(LoadTest, FreshCopyStartsWithEmptyGlobals) {
  std::string error;
  ASSERT_TRUE(host().LoadPlugin(LUMENO_SAMPLE_PLUGIN_PATH, &error)) << error;
  ZARKclassRefStruct* shared = host().ClassRef("SampleRaw");
  host_.reset();
  host_ = std::make_unique<Host>();
  ASSERT_TRUE(host().LoadPlugin(LUMENO_SAMPLE_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  EXPECT_EQ(Starts(host()), 1);
  EXPECT_NE(host().ClassRef("SampleRaw"), shared) << "the copy has records of its own";
}

TEST_F(LoadTest, FailuresAreReported) {
  struct Case {
    const char* path;
    bool freshCopy;
  };
  for (Case c : {Case{"/nonexistent/libnothing.so", false},
                 Case{"/nonexistent/libnothing.so", true}, Case{"libm.so.6", false}}) {
    std::string error;
    EXPECT_FALSE(host().LoadPlugin(c.path, &error, c.freshCopy)) << c.path;
    EXPECT_FALSE(error.empty()) << c.path;
  }
  EXPECT_FALSE(host().LoadPlugin("/nonexistent/libnothing.so"));  // no error text wanted
}

}  // namespace
}  // namespace lumeno::testing
