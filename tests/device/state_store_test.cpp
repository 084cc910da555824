#include "device/state_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace zevo::camd;

namespace {
std::string TempDir() {
    char dir[] = "/tmp/camd-state-XXXXXX";
    return mkdtemp(dir);
}
}  // namespace

TEST(DeviceState, EmailAlertSurvivesANewStore) {
    std::string dir = TempDir();
    std::string path = dir + "/state";
    {
        StateStore store(path);
        EXPECT_EQ(store.Load(), 0);  // no file yet
        EXPECT_EQ(store.EmailAlert(), 0);
        EXPECT_EQ(store.SetEmailAlert(1), 0);
    }
    {
        StateStore store(path);
        EXPECT_EQ(store.Load(), 0);
        EXPECT_EQ(store.EmailAlert(), 1);
        EXPECT_EQ(store.SetEmailAlert(0), 0);
    }
    StateStore store(path);
    store.Load();
    EXPECT_EQ(store.EmailAlert(), 0);
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);  // no leftover
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(DeviceState, GarbageAndOutOfRangeValuesKeepTheDefault) {
    std::string dir = TempDir();
    std::string path = dir + "/state";
    for (const char* text : {"email_alert=999\n", "email_alert=\n", "nonsense\n", ""}) {
        std::ofstream(path) << text;
        StateStore store(path);
        EXPECT_EQ(store.Load(), 0);
        EXPECT_EQ(store.EmailAlert(), 0) << text;
    }
    std::ofstream(path) << "other=1\nemail_alert=7\n";
    StateStore store(path);
    store.Load();
    EXPECT_EQ(store.EmailAlert(), 7);
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(DeviceState, UnwritableFileReportsButKeepsTheValue) {
    StateStore store("/nonexistent-dir/state");
    EXPECT_EQ(store.SetEmailAlert(1), -1);
    EXPECT_EQ(store.EmailAlert(), 1);
    StateStore memory("");
    EXPECT_EQ(memory.SetEmailAlert(1), 0);
    EXPECT_EQ(memory.EmailAlert(), 1);
}
