// A made-up /proc in a temporary folder, for the readers that take their
// /proc root as a parameter; each test writes the processes it needs.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

class MadeUpProc : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/harkwell-proc-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::filesystem::path root_;
};
