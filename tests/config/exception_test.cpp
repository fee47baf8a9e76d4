#include "config/exception.h"

#include <gtest/gtest.h>

TEST(Exception, CaughtByReferenceAtEveryLevelAndCopiedWhole)
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
        ASSERT_NE(dynamic_cast<const TTiXmlException*>(&e), nullptr);
        EXPECT_STREQ(dynamic_cast<const TTiXmlException&>(e).Context(), "junk <a/>");
    }
    try
    {
        fnThrow();
    }
    catch (const std::exception& e)
    {
        EXPECT_STREQ(e.what(), std::exception().what());  // what() is not the message
    }

    EXPECT_EQ(TException("f.cpp", -3, "base").Class(), "TException");
    auto pOriginal = std::make_unique<TTiXmlException>("g.cpp", 7, "No content", "ctx");
    TTiXmlException copy(*pOriginal);
    pOriginal.reset();  // the copy owns its own strings
    EXPECT_STREQ(copy.Message(), "No content");
    EXPECT_STREQ(copy.Context(), "ctx");
    EXPECT_EQ(copy.File() + ":" + std::to_string(copy.Line()) + ":" + copy.Class(), "g.cpp:7:TTiXmlException");
}

TEST(ExceptionDeathTest, NullFileNameEndsTheProcess)
{
    EXPECT_EXIT(TException(nullptr, 1, "x"), ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(TTiXmlException(nullptr, 1, "x", "y"), ::testing::ExitedWithCode(255), "");
}
