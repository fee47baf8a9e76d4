#include "config/baseurl.h"

#include <gtest/gtest.h>

#include <utility>

// Each text gives the URL stored, or "! " and the fault.
TEST(BaseUrl, GoodAndBadPrefixes)
{
    const std::string strBadByte = "! holds a blank, a control character or a byte outside ASCII";
    const std::pair<std::string, std::string> cases[] = {
        {"HTTPS://boot.example", "HTTPS://boot.example/"},
        {"http://[fd00::1]:80/a%2Fb/", "http://[fd00::1]:80/a%2Fb/"},
        {"http://h/~a-b_c.d!$&'()*+,;=:@/", "http://h/~a-b_c.d!$&'()*+,;=:@/"},
        {"tftp://h/", "! does not start with http:// or https://"},
        {"http:///boot/", "! has no host, or a host that is no name or address"},
        {"http://[zz]/", "! has no host, or a host that is no name or address"},
        {"http://user@h/", "! names a user"},
        {"http://h:65536/", "! has a port that is not a number from 1 to 65535"},
        {"http://h/a b", strBadByte},
        {"http://h/\xc3\xa9", strBadByte},
        {"http://h/a?b", "! holds the character '?'"},
        {"http://h/%zz", "! has a '%' not followed by two hex digits"},
    };
    for (const auto& c : cases)
    {
        std::string strUrl = "unchanged", strFault;
        const bool bOk = ParseBaseUrl(c.first, strUrl, strFault);
        EXPECT_EQ(bOk ? strUrl : "! " + strFault + (strUrl == "unchanged" ? "" : " changed"),
                  c.second)
            << c.first;
    }
}

// The URL a client is given for a file: base URL (or the arrival address and port) and the name
// encoded.
TEST(BaseUrl, FileUrls)
{
    struct
    {
        const char* szBase;
        int iPort;
        const char* szArrival;
        std::string strFile;
        const char* szUrl;
    } const cases[] = {
        {"", 80, "198.18.0.1", "//efi64/boot.efi", "http://198.18.0.1:80/efi64/boot.efi"},
        {"http://b/x/", 0, "", std::string("a b%#?\\\xff\x00", 9),
         "http://b/x/a%20b%25%23%3F%5C%FF%00"},
        {"", 8080, "", "linux.0", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HttpFileUrl(c.szBase, c.iPort, c.szArrival, c.strFile), c.szUrl) << c.strFile;
}
