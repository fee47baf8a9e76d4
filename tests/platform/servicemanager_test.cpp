// The unit text codecs. Installing, removing and the systemctl calls are
// checked through the program's command line (tests/service).
#include "platform/servicemanager.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

TEST(UnitText, ExecPathsStayOneWordAndDependenciesComeFromTheUnitSectionOnly)
{
    const std::pair<std::string, std::string> aPaths[] = {
        {"/opt/pxe/bin/pxeservice", "/opt/pxe/bin/pxeservice"},
        {"/opt/100%/pxe", "/opt/100%%/pxe"},
        {"/opt/my pxe/pxe", "\"/opt/my pxe/pxe\""},
        {"/opt/a\"b\\c", "\"/opt/a\\\"b\\\\c\""},
        {"/opt/x;y", "\"/opt/x;y\""},
    };
    for (const auto& p : aPaths)
        EXPECT_EQ(QuoteExecPath(p.first), p.second);
    // "%" in the description is a literal too.
    EXPECT_NE(MakeUnitText("100% PXE", "/p").find("\nDescription=100%% PXE\n"), std::string::npos);

    // Comments, other sections, other keys and empty values are no dependency.
    EXPECT_EQ(UnitDependencies("# Requires=commented.service\n[Unit]\nDescription=x\n"
                               "Requires = a.service  b.service\nAfter=\nBindsTo=c.service\n"
                               "; After=also-commented.service\nBefore=d.service\n"
                               "[Service]\nAfter=not-a-unit-key.service\n"),
              (std::vector<std::string>{"a.service", "b.service", "c.service"}));
    EXPECT_TRUE(UnitDependencies("[Unit]\nRequires=\nAfter=  \n").empty());
    EXPECT_TRUE(UnitDependencies(MakeUnitText("D", "/p")).empty());
}
