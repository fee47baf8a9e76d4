// The unit file's text, without systemd and without root: what is written for a program, what
// is read back as its dependencies, and one key changed at a time.
#include "platform/unitfile.h"

#include <gtest/gtest.h>

TEST(UnitFile, TextWrittenForAProgramQuotesItsPathAndDoublesPercent)
{
    EXPECT_EQ(MakeUnitText("100% PXE", "/opt/my 100% pxe/bin/pxeservice"),
              "[Unit]\nDescription=100%% PXE\n\n[Service]\nType=notify\nExecStart=\"/opt/my 100%% "
              "pxe/bin/pxeservice\"\n\n[Install]\nWantedBy=multi-user.target\n");
    // A path with nothing to quote stays bare; a quote or backslash in it is escaped.
    EXPECT_EQ(QuoteExecPath("/opt/pxeservice/bin/pxeservice"), "/opt/pxeservice/bin/pxeservice");
    EXPECT_EQ(QuoteExecPath("/opt/x\"y\\z;'\t/pxe"), "\"/opt/x\\\"y\\\\z;'\t/pxe\"");
}

TEST(UnitFile, DependenciesReadBackFromUnitOnly)
{
    const std::pair<std::string, std::vector<std::string>> aCases[] = {
        {MakeUnitText("a", "/p"), {}},
        {"[Unit]\nWants=a.service b.service\nAfter=  c.target\t\nRequires=d.service\n"
         "BindsTo=e.service\nRequisite=f.service\nDescription=g.service\n",
         {"a.service", "b.service", "c.target", "d.service", "e.service", "f.service"}},
        // Keys before any section, comments, empty values, other sections and keys that only look
        // alike count for nothing.
        {"Wants=before-any-section.service\n# Requires=x.service\n; Wants=y.service\n[Unit]\n"
         "After=\nWantsX=z.service\n[Service]\nAfter=w.service\n[Unit]\n  Wants = v.service  \r\n",
         {"v.service"}},
    };
    for (const auto& [strUnit, vDeps] : aCases)
        EXPECT_EQ(UnitDependencies(strUnit), vDeps) << strUnit;
}

TEST(UnitFile, KeysAddedAtTheEndOfTheirSectionOrSetInPlace)
{
    // Added after the section's last line, before the blank line that parts it from the next; a
    // missing section is added at the end.
    EXPECT_EQ(UnitAddKey(MakeUnitText("a", "/p"), "Unit", "Wants", "g.service"),
              "[Unit]\nDescription=a\nWants=g.service\n\n[Service]\nType=notify\nExecStart=/p\n\n"
              "[Install]\nWantedBy=multi-user.target\n");
    EXPECT_EQ(UnitAddKey("[Service]\nType=notify\n", "Unit", "After", "g%.service"),
              "[Service]\nType=notify\n\n[Unit]\nAfter=g%%.service\n");
    // Set: the first one of the section is replaced, others stay.
    EXPECT_EQ(UnitSetKey("[Unit]\nX-Description=old\nX-Description=older\n[Service]\n"
                         "X-Description=s\n",
                         "Unit", "X-Description", "new 100%"),
              "[Unit]\nX-Description=new 100%%\nX-Description=older\n[Service]\nX-Description=s\n");
}
