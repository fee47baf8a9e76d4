// The record of every boot: the line made of an event's fields, the text a client sent escaped
// as JSON, and the writer under threads, rotations and floods.
#include "common/testutil.h"
#include "core/records.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

TEST(Records, TextsAreEscapedAsJsonAndBytesThatAreNoUtf8AsSingleBytes)
{
    const std::pair<std::string, std::string> aCases[] = {
        {"a\"b\\c.0", "a\\u0022b\\u005cc.0"},
        {std::string("\0\n\r\t\x1f\x7f", 6), "\\u0000\\u000a\\u000d\\u0009\\u001f\\u007f"},
        // Well-formed UTF-8 of two, three and four bytes stays; the highest code point too.
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
         "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
        // A lone continuation byte, a surrogate, overlong forms, above U+10FFFF (bytes that
        // never start a sequence and sequences cut short: the fuzz target's invariants).
        {"\x80\xed\xa0\x80\xc0\xaf\xe0\x80\xaf\xf0\x8f\xbf\xbf\xf4\x90\x80\x80",
         "\\u0080\\u00ed\\u00a0\\u0080\\u00c0\\u00af\\u00e0\\u0080\\u00af"
         "\\u00f0\\u008f\\u00bf\\u00bf\\u00f4\\u0090\\u0080\\u0080"},
    };
    for (const auto& [strIn, strOut] : aCases)
        EXPECT_EQ(JsonEscape(strIn), strOut) << strOut;
}

TEST(Records, EachEventIsOneLineOfItsFieldsInOrderLeavingOutWhatDoesNotApply)
{
    TBootRecord refused;
    refused.strEvent = "refused";
    refused.strMac = "52:54:00:12:34:56";
    refused.nAddress = inet_addr("198.18.0.2");
    refused.iArch = 0;
    refused.strFile = "bios/foo-image";
    refused.strTask = "allnone";
    refused.nSuppressed = 3;
    TTransferRecord transfer;
    transfer.nAddress = inet_addr("198.18.0.2");
    transfer.strFile = "a\"\xff.0";
    transfer.iBytes = 0;
    transfer.iMs = 10012;
    transfer.iBlockSize = 1468;
    transfer.iWindow = 4;
    transfer.strResult = "timeout";
    TTransferRecord http;
    http.bHttp = true;
    http.strFile = "linux.0";
    http.iBytes = 1536;
    http.strResult = "complete";
    const std::tuple<TBootRecord, int64_t, std::string> aCases[] = {
        {refused, 951782400999,
         "{\"time\":\"2000-02-29T00:00:00.999Z\",\"event\":\"refused\",\"mac\":"
         "\"52:54:00:12:34:56\",\"address\":\"198.18.0.2\",\"arch\":0,\"file\":\"bios/foo-image\","
         "\"task\":\"allnone\",\"suppressed\":3}\n"},
        {TransferEvent(transfer), 0,
         "{\"time\":\"1970-01-01T00:00:00.000Z\",\"event\":\"tftp\",\"address\":\"198.18.0.2\","
         "\"file\":\"a\\u0022\\u00ff.0\",\"bytes\":0,\"ms\":10012,\"blksize\":1468,\"window\":4,"
         "\"result\":\"timeout\"}\n"},
        {TransferEvent(http), 4102444799000,
         "{\"time\":\"2099-12-31T23:59:59.000Z\",\"event\":\"http\",\"file\":\"linux.0\","
         "\"bytes\":1536,\"ms\":0,\"result\":\"complete\"}\n"},
    };
    for (const auto& [record, iMs, strLine] : aCases)
        EXPECT_EQ(FormatRecord(record, iMs), strLine);

    // The journal takes the line as its message and each field under a name of its own.
    std::string strFields;
    for (const std::string& strField : JournalFields(TransferEvent(transfer), 0))
        strFields += strField + "\n";
    EXPECT_EQ(strFields, "MESSAGE=" + std::get<2>(aCases[1]) +
                             "PXE_EVENT=tftp\nPXE_ADDRESS=198.18.0.2\nPXE_FILE=a\\u0022\\u00ff.0\n"
                             "PXE_BYTES=0\nPXE_MS=10012\nPXE_BLKSIZE=1468\nPXE_WINDOW=4\n"
                             "PXE_RESULT=timeout\n");
}

TEST(Records, WriterTakesWholeLinesFromThreadsAcrossRotationsAndBoundsFloods)
{
    TTempDir dir;
    const std::string strFile = dir / "records.json";
    TRecordWriter writer;
    TBootRecord ack;
    ack.strEvent = "ack";
    ASSERT_EQ(writer.Open(strFile, false), 0);

    // Four threads write acks (never limited) while the file is renamed away three times.
    const int kThreads = 4, kLines = 500;
    std::vector<std::thread> vThreads;
    for (int t = 0; t < kThreads; ++t)
        vThreads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
            {
                TBootRecord r = ack;
                r.strFile = std::to_string(t) + "/" + std::to_string(i);
                writer.Write(r, 1000);
            }
        });
    std::vector<std::string> vFiles;
    for (int k = 0; k < 3; ++k)
    {
        vFiles.push_back(strFile + "." + std::to_string(k));
        ASSERT_EQ(rename(strFile.c_str(), vFiles.back().c_str()), 0);
        ASSERT_EQ(writer.Reopen(), 0);
        std::this_thread::yield();
    }
    for (std::thread& th : vThreads)
        th.join();
    vFiles.push_back(strFile);
    std::string strAll;
    for (const std::string& strPath : vFiles)
        strAll += ReadFile(strPath);
    std::istringstream in(strAll);
    std::set<std::string> setLines;
    const std::regex reLine(
        R"(\{"time":"1970-01-01T00:00:01\.000Z","event":"ack","file":"[0-3]/[0-9]+"\})");
    for (std::string s; std::getline(in, s);)
        EXPECT_TRUE(std::regex_match(s, reLine) && setLines.insert(s).second) << s;
    EXPECT_EQ(setLines.size(), (size_t)kThreads * kLines);

    // A flood of drops: 50 a second are written, the first one after says how many were not.
    ASSERT_EQ(rename(strFile.c_str(), (strFile + ".old").c_str()), 0);
    ASSERT_EQ(writer.Reopen(), 0);
    TBootRecord drop;
    drop.strEvent = "dropped";
    drop.strReason = "no message type";
    for (int i = 0; i < 120; ++i)
        writer.Write(drop, 5000 + i);
    writer.Write(ack, 5500);  // not limited
    // Transfers that fail count with the drops; complete ones do not.
    TTransferRecord failed, complete;
    failed.strResult = "not-found";
    complete.strResult = "complete";
    writer.Write(TransferEvent(failed), 5600);
    writer.Write(TransferEvent(complete), 5700);
    writer.Write(drop, 6000);
    writer.Write(drop, 6001);
    const std::string s = ReadFile(strFile);
    EXPECT_EQ(CountOf(s, "\"event\":\"dropped\""), (int)TRecordWriter::kMaxLimitedPerSecond + 2);
    EXPECT_EQ(CountOf(s, "\"event\":\"ack\""), 1);
    EXPECT_EQ(CountOf(s, "\"result\":\"complete\""), 1);
    EXPECT_EQ(CountOf(s, "\"result\":\"not-found\""), 0);
    EXPECT_EQ(CountOf(s, "\"suppressed\":"), 1);
    EXPECT_NE(s.find("06.000Z\",\"event\":\"dropped\",\"reason\":\"no message type\","
                     "\"suppressed\":71}\n"),
              std::string::npos)
        << s;

    // A name that cannot be opened again keeps the file in use.
    ASSERT_EQ(rename(strFile.c_str(), (strFile + ".last").c_str()), 0);
    ASSERT_EQ(mkdir(strFile.c_str(), 0755), 0);
    EXPECT_EQ(writer.Reopen(), -1);
    writer.Write(ack, 7000);
    EXPECT_EQ(CountOf(ReadFile(strFile + ".last"), "\"event\":\"ack\""), 2);
    writer.Close();
    writer.Write(ack, 8000);  // closed: written nowhere
    EXPECT_EQ(CountOf(ReadFile(strFile + ".last"), "\"event\":\"ack\""), 2);
}
