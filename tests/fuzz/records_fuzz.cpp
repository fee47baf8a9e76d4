// libFuzzer target: arbitrary bytes as a text a client sent (a file name), into the records'
// JSON escaping and the line of an event. The escaped text holds only printable ASCII and
// well-formed UTF-8 (no quote, no control byte, a backslash only before "u00" and two hex
// digits); undoing the \u00XX escapes gives the input back; the line is one line. Any
// difference aborts (a finding).
#include "core/records.h"
#include "fuzzcheck.h"

#include <string>

namespace
{
int Hex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strIn(reinterpret_cast<const char*>(pData), nSize);
    const std::string strOut = JsonEscape(strIn);
    std::string strBack;
    for (size_t i = 0; i < strOut.size(); ++i)
    {
        const unsigned char c = static_cast<unsigned char>(strOut[i]);
        FUZZ_CHECK(c >= 0x20 && c != 0x7f && c != '"', "a byte left unescaped");
        if (c == '\\')
        {
            FUZZ_CHECK(strOut.compare(i, 4, "\\u00") == 0 && i + 5 < strOut.size() &&
                           Hex(strOut[i + 4]) >= 0 && Hex(strOut[i + 5]) >= 0,
                       "a backslash that starts no \\u00XX escape");
            strBack += static_cast<char>(Hex(strOut[i + 4]) * 16 + Hex(strOut[i + 5]));
            i += 5;
            continue;
        }
        // A byte above 0x7f starts a well-formed sequence: its continuation bytes follow.
        size_t n = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
        FUZZ_CHECK(c < 0x80 || (c >= 0xc2 && c <= 0xf4), "a byte that starts no UTF-8 sequence");
        FUZZ_CHECK(i + n <= strOut.size(), "a UTF-8 sequence cut short");
        for (size_t k = 1; k < n; ++k)
            FUZZ_CHECK((static_cast<unsigned char>(strOut[i + k]) & 0xc0) == 0x80,
                       "a UTF-8 sequence without its continuation");
        strBack.append(strOut, i, n);
        i += n - 1;
    }
    FUZZ_CHECK(strBack == strIn, "the escaped text does not give the input back");

    TBootRecord record;
    record.strEvent = "tftp";
    record.strFile = strIn;
    record.strMac = strIn;
    const std::string strLine = FormatRecord(record, static_cast<int64_t>(nSize) * 997);
    FUZZ_CHECK(strLine.find('\n') == strLine.size() - 1, "the record is not one line");
    return 0;
}
