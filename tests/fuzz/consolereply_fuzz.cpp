// libFuzzer target: arbitrary console replies into ParseConsoleReply. The
// reply is read from a buffer of exactly its size (the sanitizer sees any read
// past it); the text is a prefix of the reply without a zero byte and at most
// 254 bytes; the word is the blank-free run after the first "Task:", and the
// kind agrees with both.
#include "console/consolequery.h"
#include "fuzzcheck.h"

#include <strings.h>

#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::unique_ptr<char[]> pReply(new char[nSize]);
    std::memcpy(pReply.get(), pData, nSize);
    std::string strText, strWord = "untouched";
    const EConsoleReply eReply = ParseConsoleReply(pReply.get(), nSize, strText, strWord);

    FUZZ_CHECK(strText.size() <= 254 && strText.size() <= nSize,
               "text longer than the reply or the limit");
    FUZZ_CHECK(std::memcmp(strText.data(), pData, strText.size()) == 0,
               "text is not the reply's start");
    FUZZ_CHECK(strText.find('\0') == std::string::npos, "zero byte in the text");
    const size_t nCut = std::min<size_t>(nSize, 254);
    FUZZ_CHECK(strText.size() == nCut || pData[strText.size()] == 0,
               "text ended early without a zero byte");

    const size_t nTag = strText.find("Task:");
    FUZZ_CHECK((eReply == EConsoleReply::NoTag) == (nTag == std::string::npos),
               "tag found or lost");
    if (eReply == EConsoleReply::NoTag || eReply == EConsoleReply::NoWord)
    {
        FUZZ_CHECK(strWord == "untouched", "word written without a word");
        return 0;
    }
    const char* const szBlanks = " \t\n\v\f\r";
    const size_t nBegin = strText.find_first_not_of(szBlanks, nTag + 5);
    FUZZ_CHECK(!strWord.empty() && strText.compare(nBegin, strWord.size(), strWord) == 0,
               "word not after the tag");
    FUZZ_CHECK(strWord.find_first_of(szBlanks) == std::string::npos, "blank in the word");
    const size_t nEnd = nBegin + strWord.size();
    FUZZ_CHECK(nEnd == strText.size() || std::strchr(szBlanks, strText[nEnd]) != nullptr,
               "word cut short");
    FUZZ_CHECK((eReply == EConsoleReply::NoTask) ==
                   (strncasecmp(strWord.c_str(), "allnone", 7) == 0),
               "allnone taken for a task or a task for allnone");
    return 0;
}
