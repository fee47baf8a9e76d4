// The record of every boot: the line made of an event's fields, the text a client sent escaped
// as JSON, and the writer under threads, rotations and floods.
#include "common/testutil.h"
#include "core/records.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

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
        // A lone continuation byte, overlong forms, a surrogate, above U+10FFFF, bytes that never
        // start a sequence, and sequences cut short (also by the end of the text).
        {"\x80", "\\u0080"},
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
        {"\xc0\xaf\xe0\x80\xaf", "\\u00c0\\u00af\\u00e0\\u0080\\u00af"},
        {"\xf0\x8f\xbf\xbf", "\\u00f0\\u008f\\u00bf\\u00bf"},
        {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},
        {"\xf5\xfe\xff", "\\u00f5\\u00fe\\u00ff"},
        {"\xe2\x82x", "\\u00e2\\u0082x"},
        {"a\xf0\x9f\x98", "a\\u00f0\\u009f\\u0098"},
        {"\xc3\"", "\\u00c3\\u0022"},
    };
    for (const auto& [strIn, strOut] : aCases)
        EXPECT_EQ(JsonEscape(strIn), strOut) << strOut;
}

TEST(Records, EachEventIsOneLineOfItsFieldsInOrderLeavingOutWhatDoesNotApply)
{
    TBootRecord offer;
    offer.strEvent = "offer";
    offer.strMac = "52:54:00:12:34:56";
    offer.nAddress = inet_addr("198.18.0.2");
    offer.iArch = 0;
    offer.strFile = "bios/foo-image";
    TBootRecord refused;
    refused.strEvent = "refused";
    refused.strMac = "52:54:00:12:34:57";
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
        {offer, 1765162800123,
         "{\"time\":\"2025-12-08T03:00:00.123Z\",\"event\":\"offer\",\"mac\":\"52:54:00:12:34:56\","
         "\"address\":\"198.18.0.2\",\"arch\":0,\"file\":\"bios/foo-image\"}\n"},
        {refused, 951782400999,
         "{\"time\":\"2000-02-29T00:00:00.999Z\",\"event\":\"refused\",\"mac\":"
         "\"52:54:00:12:34:57\",\"task\":\"allnone\",\"suppressed\":3}\n"},
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
    const std::vector<std::string> vFields = JournalFields(TransferEvent(transfer), 0);
    const std::vector<std::string> vExpected = {
        "MESSAGE=" + std::get<2>(aCases[2]).substr(0, std::get<2>(aCases[2]).size() - 1),
        "PXE_EVENT=tftp",
        "PXE_ADDRESS=198.18.0.2",
        "PXE_FILE=a\\u0022\\u00ff.0",
        "PXE_BYTES=0",
        "PXE_MS=10012",
        "PXE_BLKSIZE=1468",
        "PXE_WINDOW=4",
        "PXE_RESULT=timeout"};
    EXPECT_EQ(vFields, vExpected);
}

TEST(Records, WriterTakesWholeLinesFromThreadsAcrossRotationsAndBoundsFloods)
{
    TTempDir dir;
    const std::string strFile = dir / "records.json";
    TRecordWriter writer;
    TBootRecord ack;
    ack.strEvent = "ack";
    writer.Write(ack, 0);  // not open: nothing, and no file
    EXPECT_EQ(ReadFile(strFile), "");
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
    std::set<std::string> setFiles;
    for (const std::string& strPath : vFiles)
    {
        std::istringstream in(ReadFile(strPath));
        for (std::string s; std::getline(in, s);)
        {
            const std::string strHead =
                "{\"time\":\"1970-01-01T00:00:01.000Z\",\"event\":\"ack\",\"file\":\"";
            ASSERT_TRUE(s.rfind(strHead, 0) == 0 && s.size() > strHead.size() + 2 &&
                        s.compare(s.size() - 2, 2, "\"}") == 0)
                << s;
            EXPECT_TRUE(setFiles.insert(s.substr(strHead.size())).second) << s;
        }
    }
    EXPECT_EQ(setFiles.size(), (size_t)kThreads * kLines);

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
    writer.Write(ack, 8000);
    EXPECT_EQ(CountOf(ReadFile(strFile + ".last"), "\"event\":\"ack\""), 2);
}
