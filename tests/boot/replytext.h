// A DHCP message as text, one line per header field, option and PXE sub-option, so that a
// reviewer can read what a stored reply says (tests/boot/replies/<name>.txt beside <name>.bin).
// Written from the wire format alone: it shares nothing with the codec under test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace replytext
{
inline std::string Dotted(const uint8_t* p)
{
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

inline unsigned Be(const uint8_t* p, int n)
{
    unsigned v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

// Quoted text when every byte is printable (a trailing run of NULs dropped), else hex bytes.
inline std::string Value(const uint8_t* p, size_t n)
{
    size_t nText = n;
    while (nText > 0 && p[nText - 1] == 0)
        --nText;
    if (nText == 0)
        return n == 0 ? "(empty)" : "(" + std::to_string(n) + " zero bytes)";
    bool bText = true;
    for (size_t i = 0; i < nText; ++i)
        bText = bText && p[i] >= 0x20 && p[i] < 0x7f;
    if (bText)
        return "\"" + std::string(reinterpret_cast<const char*>(p), nText) + "\"";
    std::string s;
    char sz[4];
    for (size_t i = 0; i < n; ++i)
        s += (snprintf(sz, sizeof(sz), i ? " %02x" : "%02x", p[i]), sz);
    return s;
}

// One option's line after its code: its name and its value as words.
inline std::string Option(int nCode, const uint8_t* p, size_t n)
{
    static const std::map<int, const char*> mNames = {
        {53, " message type"},  {54, " server identifier"},        {60, " class identifier"},
        {67, " boot file"},     {93, " client architecture"},      {94, " client interface"},
        {201, " console info"}, {97, " client machine identifier"}};
    static const char* const aTypes[] = {"?",           "DHCPDISCOVER", "DHCPOFFER",
                                         "DHCPREQUEST", "DHCPDECLINE",  "DHCPACK",
                                         "DHCPNAK",     "DHCPRELEASE",  "DHCPINFORM"};
    const auto it = mNames.find(nCode);
    const std::string s = std::string(it == mNames.end() ? "" : it->second) + ": ";
    if (nCode == 53 && n == 1)
        return s + std::to_string(p[0]) + (p[0] <= 8 ? std::string(" ") + aTypes[p[0]] : "");
    return s + (nCode == 54 && n == 4 ? Dotted(p) : Value(p, n));
}

inline std::string SubOption(int nCode, const uint8_t* p, size_t n)
{
    std::string s = "  sub-option " + std::to_string(nCode) + " ";
    if (nCode == 6 && n == 1)
        return s + "discovery control: " + std::to_string(p[0]);
    if (nCode == 8 && n >= 3 && n == 3 + 4u * p[2])
    {
        s += "boot servers: type " + std::to_string(Be(p, 2)) + ",";
        for (size_t i = 3; i < n; i += 4)
            s += " " + Dotted(p + i);
        return s;
    }
    if (nCode == 9 && n >= 3 && n == 3u + p[2])
        return s + "boot menu: type " + std::to_string(Be(p, 2)) + " " + Value(p + 3, p[2]);
    if (nCode == 10 && n >= 1)
        return s + "menu prompt: timeout " + std::to_string(p[0]) + " " + Value(p + 1, n - 1);
    if (nCode == 71 && n == 4)
        return s + "boot item: type " + std::to_string(Be(p, 2)) + " layer " +
               std::to_string(Be(p + 2, 2));
    return s + Value(p, n);
}

// The options from p[i] up to p[nEnd] as lines (the sub-options of an option 43 when bSub): the
// offset of their END, nEnd without one, or npos when one runs past nEnd.
inline size_t Options(const uint8_t* p, size_t i, size_t nEnd, bool bSub, std::string& s)
{
    while (i < nEnd && p[i] != 255)
    {
        if (p[i] == 0 && !bSub)
        {
            ++i;
            continue;
        }
        const size_t n = i + 1 < nEnd ? p[i + 1] : 0;
        const std::string strCode = (bSub ? "  sub-option " : "option ") + std::to_string(p[i]);
        if (i + 1 >= nEnd || i + 2 + n > nEnd)
        {
            s += strCode + (bSub ? " runs past option 43\n" : " runs past the end\n");
            return std::string::npos;
        }
        if (bSub)
            s += SubOption(p[i], p + i + 2, n) + "\n";
        else if (p[i] != 43)
            s += strCode + Option(p[i], p + i + 2, n) + "\n";
        else
        {
            s += strCode + " vendor options, " + std::to_string(n) + " bytes\n";
            if (Options(p, i + 2, i + 2 + n, true, s) < i + 2 + n)
                s += "  end\n";
        }
        i += 2 + n;
    }
    return i;
}

// The whole message; a message shorter than its header and cookie gives one line saying so.
inline std::string Decode(const std::vector<uint8_t>& v)
{
    if (v.size() < 240)
        return "short message of " + std::to_string(v.size()) + " bytes\n";
    const uint8_t* p = v.data();
    char szXid[16], szFlags[16];
    snprintf(szXid, sizeof(szXid), "%08x", Be(p + 4, 4));
    snprintf(szFlags, sizeof(szFlags), "%04x", Be(p + 10, 2));
    std::string s = "op " + std::to_string(p[0]) + "\nhtype " + std::to_string(p[1]) + "\nhlen " +
                    std::to_string(p[2]) + "\nhops " + std::to_string(p[3]) + "\nxid " + szXid +
                    "\nsecs " + std::to_string(Be(p + 8, 2)) + "\nflags " + szFlags + "\nciaddr " +
                    Dotted(p + 12) + "\nyiaddr " + Dotted(p + 16) + "\nsiaddr " + Dotted(p + 20) +
                    "\ngiaddr " + Dotted(p + 24) + "\nchaddr " + Value(p + 28, 16) + "\nsname " +
                    Value(p + 44, 64) + "\nfile " + Value(p + 108, 128) + "\ncookie " +
                    Dotted(p + 236) + "\n";
    size_t i = Options(p, 240, v.size(), false, s);
    if (i == std::string::npos)
        return s;
    if (i < v.size())
        s += "end\n", ++i;
    size_t nZero = 0;
    while (i + nZero < v.size() && p[i + nZero] == 0)
        ++nZero;
    if (nZero > 0)
        s += "padding " + std::to_string(nZero) + " zero bytes\n";
    if (i + nZero < v.size())
        s += "trailing " + Value(p + i + nZero, v.size() - i - nZero) + "\n";
    return s + "length " + std::to_string(v.size()) + "\n";
}
}  // namespace replytext
