#include "config/exception.h"

#include <gtest/gtest.h>

TEST(Exception, ThrownByValueCaughtByReferenceAtEveryLevel)
{
    auto fnThrow = [] { throw TTiXmlException("config/tinyxml.cpp", 42, "Identify error", "junk <a/>"); };
    try
    {
        fnThrow();
    }
    catch (const TException& e)
    {
        EXPECT_STREQ(e.Message(), "Identify error");  // the message alone, never the context
        EXPECT_EQ(e.Class(), "TTiXmlException");
        EXPECT_EQ(e.File(), "config/tinyxml.cpp");
        EXPECT_EQ(e.Line(), 42);
        const TTiXmlException* pXml = dynamic_cast<const TTiXmlException*>(&e);
        ASSERT_NE(pXml, nullptr);
        EXPECT_STREQ(pXml->Context(), "junk <a/>");
    }
    try
    {
        fnThrow();
    }
    catch (const std::exception& e)
    {
        // what() keeps the behaviour of a default std::exception.
        EXPECT_STREQ(e.what(), std::exception().what());
    }
}

TEST(Exception, CopiesKeepEveryField)
{
    TException base("f.cpp", -3, "base message");
    EXPECT_EQ(base.Class(), "TException");
    TException baseCopy(base);
    EXPECT_STREQ(baseCopy.Message(), "base message");
    EXPECT_EQ(baseCopy.Line(), -3);

    auto pOriginal = std::make_unique<TTiXmlException>("g.cpp", 7, "No content", "");
    TTiXmlException copy(*pOriginal);
    pOriginal.reset();  // the copy owns its own strings
    EXPECT_STREQ(copy.Message(), "No content");
    EXPECT_STREQ(copy.Context(), "");
    EXPECT_EQ(copy.File(), "g.cpp");
    EXPECT_EQ(copy.Line(), 7);
    EXPECT_EQ(copy.Class(), "TTiXmlException");
}

TEST(ExceptionDeathTest, NullFileNameEndsTheProcess)
{
    EXPECT_EXIT(TException(nullptr, 1, "x"), ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(TTiXmlException(nullptr, 1, "x", "y"), ::testing::ExitedWithCode(255), "");
}
