// The HTTP/BaseUrl setting: the prefix of the URLs that clients are given for
// their boot files, and the URL of one file.
#pragma once

#include <string>

// Checks a base URL: "http://" or "https://" (the scheme in any case), a host
// (a name of letters, digits, ".", "-" and "_", or an IPv6 address in
// brackets), an optional ":PORT" (1 to 65535) and an optional path of the
// characters a URL path may hold unencoded ("%" only before two hex digits).
// No blank, control character, byte outside ASCII, "?", "#" or user name.
// Gives the URL in strUrl with a "/" added when it does not end with one;
// false, with strFault saying what is wrong, for anything else.
bool ParseBaseUrl(const std::string& strText, std::string& strUrl, std::string& strFault);

// The URL of strFile (a name below the root; leading "/" are taken off) with
// every byte but letters, digits, "-", ".", "_", "~" and "/" percent-encoded:
// strBaseUrl (as ParseBaseUrl gives it) followed by the name; with no base URL,
// "http://ARRIVAL:PORT/" followed by the name, where ARRIVAL is the dotted
// address the client's request arrived on. "" when there is neither a base URL
// nor a port (iPort 0), or the arrival address is needed and empty.
std::string HttpFileUrl(const std::string& strBaseUrl, int iPort, const std::string& strArrival,
                        const std::string& strFile);
