// Shared helpers of the spool tests: a spool in a fresh temporary directory
// with its own profile directory, a fixed clock, and raw file access.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "spool/article_index.h"

namespace spooltest {

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Names in a directory, sorted; empty when it does not exist.
std::vector<std::string> List(const std::string& dir);

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The spool directory (with its news directory), and a path inside it.
    const std::string& Spool() const { return spool_; }
    std::string At(const std::string& relative) const { return spool_ + "/" + relative; }
    void SetToday(int year, int month, int day, int hour = 12, int minute = 0);
    // A record for group n as the fetch cycle writes it on the given day.
    std::string Record(std::int32_t group, std::int32_t fileNumber, int year, int month, int day,
                       const std::string& subject = "s") const;
    // The article file the record names, in group n's directory.
    std::string ArticlePath(std::int32_t group, std::int32_t fileNumber) const;
    void MakeArticle(std::int32_t group, std::int32_t fileNumber) const;

private:
    std::string root_;
    std::string spool_;
};

}  // namespace spooltest
