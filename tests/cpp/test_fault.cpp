// The fault report starts with the prefix its user sets, "strassen" until
// then, and carries the message after the source location.
#include <gtest/gtest.h>

#include <string>

#include "strassen/fault.hpp"

namespace {

std::string report_of(const char* message) {
    ::testing::internal::CaptureStderr();
    try {
        strassen::fault(message);
    } catch (const strassen::Fault& e) {
        EXPECT_EQ(e.message(), message);
    }
    return ::testing::internal::GetCapturedStderr();
}

TEST(FaultReport, StartsWithTheNeutralPrefixUntilOneIsSet) {
    const std::string report = report_of("first");
    EXPECT_EQ(report.rfind("strassen: internal fault at ", 0), 0u) << report;
    EXPECT_NE(report.find("test_fault.cpp:"), std::string::npos) << report;
    EXPECT_EQ(report.substr(report.size() - 8), ": first\n") << report;
}

TEST(FaultReport, StartsWithTheSetPrefix) {
    strassen::set_fault_prefix("bravolin_learn");
    const std::string report = report_of("second");
    strassen::set_fault_prefix("strassen");
    EXPECT_EQ(report.rfind("bravolin_learn: internal fault at ", 0), 0u) << report;
    EXPECT_EQ(report.substr(report.size() - 9), ": second\n") << report;
}

}  // namespace
