// The unit file's text, without systemd and without root: what is written for a program, what
// is read back as its dependencies, and one key changed at a time.
#include "platform/unitfile.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(UnitFile, TextWrittenForAProgramQuotesItsPathAndDoublesPercent)
{
    // Display name, program path, and the Description and ExecStart values written.
    const std::tuple<std::string, std::string, std::string, std::string> aCases[] = {
        {"Quillon Management PXE Service", "/opt/pxeservice/bin/pxeservice",
         "Quillon Management PXE Service", "/opt/pxeservice/bin/pxeservice"},
        {"100% PXE", "/opt/my 100% pxe/bin/pxeservice", "100%% PXE",
         "\"/opt/my 100%% pxe/bin/pxeservice\""},
        {"a", "/opt/x\"y\\z/pxe", "a", "\"/opt/x\\\"y\\\\z/pxe\""},
        {"a", "/opt/x;y/pxe", "a", "\"/opt/x;y/pxe\""},
        {"a", "/opt/it's/pxe", "a", "\"/opt/it's/pxe\""},
        {"a", "/opt/tab\there/pxe", "a", "\"/opt/tab\there/pxe\""},
    };
    for (const auto& [strDisplay, strExe, strDescription, strExecStart] : aCases)
    {
        SCOPED_TRACE(strExe);
        EXPECT_EQ(QuoteExecPath(strExe), strExecStart);
        EXPECT_EQ(MakeUnitText(strDisplay, strExe),
                  "[Unit]\nDescription=" + strDescription +
                      "\n\n[Service]\nType=notify\nExecStart=" + strExecStart +
                      "\n\n[Install]\nWantedBy=multi-user.target\n");
    }
}

TEST(UnitFile, DependenciesReadBackFromUnitOnly)
{
    const std::pair<std::string, std::vector<std::string>> aCases[] = {
        {MakeUnitText("a", "/p"), {}},
        {"[Unit]\nWants=a.service b.service\nAfter=  c.target\t\nRequires=d.service\n"
         "BindsTo=e.service\nRequisite=f.service\nDescription=g.service\n",
         {"a.service", "b.service", "c.target", "d.service", "e.service", "f.service"}},
        // Comments, empty values, other sections and keys that only look alike count for nothing.
        {"# Requires=x.service\n; Wants=y.service\n[Unit]\nAfter=\nWantsX=z.service\n"
         "[Service]\nAfter=w.service\n[Unit]\n  Wants = v.service  \r\n",
         {"v.service"}},
        {"Wants=before-any-section.service\n", {}},
    };
    for (const auto& [strUnit, vDeps] : aCases)
        EXPECT_EQ(UnitDependencies(strUnit), vDeps) << strUnit;
}

TEST(UnitFile, KeysAddedAtTheEndOfTheirSectionOrSetInPlace)
{
    const std::string strUnit = MakeUnitText("a", "/p");
    // Added after the section's last line, before the blank line that parts it from the next.
    EXPECT_EQ(UnitAddKey(strUnit, "Unit", "Wants", "g.service"),
              "[Unit]\nDescription=a\nWants=g.service\n\n[Service]\nType=notify\nExecStart=/p\n\n"
              "[Install]\nWantedBy=multi-user.target\n");
    EXPECT_EQ(UnitAddKey(strUnit, "Install", "Alias", "x%.service"),
              strUnit + "Alias=x%%.service\n");
    EXPECT_EQ(UnitAddKey("[Service]\nType=notify\n", "Unit", "After", "g.service"),
              "[Service]\nType=notify\n\n[Unit]\nAfter=g.service\n");
    EXPECT_EQ(UnitAddKey("", "Unit", "After", "g.service"), "[Unit]\nAfter=g.service\n");
    // Set: the first one of the section is replaced, others stay; a missing one is added.
    EXPECT_EQ(UnitSetKey("[Unit]\nX-Description=old\nX-Description=older\n[Service]\n"
                         "X-Description=s\n",
                         "Unit", "X-Description", "new 100%"),
              "[Unit]\nX-Description=new 100%%\nX-Description=older\n[Service]\nX-Description=s\n");
    EXPECT_EQ(UnitSetKey(strUnit, "Unit", "X-Description", "d"),
              UnitAddKey(strUnit, "Unit", "X-Description", "d"));
}
