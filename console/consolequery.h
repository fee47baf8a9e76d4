// Asks the management console whether a task is pending for a PXE client.
//
// One call makes one TCP connection to the console (gSettings.strIpAddress,
// port gSettings.strConsolePort), sends one request naming the client's
// hardware address, waits at most 4 seconds for one reply and closes the
// connection. Nothing is kept between calls; any number of calls may run at
// once on different threads.
#pragma once

#include <string>

// mac:  the client's hardware address, "%02x:%02x:%02x:%02x:%02x:%02x".
// ip:   the client's dotted IPv4 address, or "" when not known.
// task: set to the console's task word on success, to "" when the console
//       answers "allnone...", left untouched on every other outcome.
// Returns true only when a task word other than "allnone..." was received.
bool QueryConsoleTask(const std::string& mac, const std::string& ip, std::string& task);

// The request text sent to the console for mac and ip.
std::string FormatConsoleRequest(const std::string& mac, const std::string& ip);

// Result of reading one console reply.
enum class EConsoleReply
{
    NoTag,   // no "Task:" in the reply
    NoWord,  // "Task:" with nothing but white space after it
    NoTask,  // the word begins with "allnone" (any case)
    Task     // any other word
};

// Reads the reply text as received (at most 255 bytes of it are looked at;
// a reply of exactly 255 bytes loses its last byte, a zero byte ends it).
// strText receives the text as it is interpreted, strWord the word after the
// first "Task:" (when there is one). Free of I/O.
EConsoleReply ParseConsoleReply(const char* pData, size_t nLength, std::string& strText,
                                std::string& strWord);
