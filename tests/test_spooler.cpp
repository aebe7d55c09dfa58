#include <gtest/gtest.h>

#include <memory>

#include "links/SendRawToPrinter.h"
#include "printer/PrinterBox.h"
#include "testing/CupsServer.h"
#include "testing/Eventually.h"
#include "testing/LoopbackPrinter.h"
#include "testing/TestHost.h"

using kelvo::InstalledPrinters;
using kelvo::SendRawToPrinter;
using kelvo::testing::CupsServer;
using kelvo::testing::LoopbackPrinter;
using kelvo::testing::OwnLoopbackHost;

namespace {

const std::string kPrintCommand("\x1B\x40\x1B\x61\x01\x1D\x54\x1C\x70\x01\x30\x1B\x40", 13);
const std::string kDrawerPulse("\x1B\x70\x00\x28\x28", 5);

// One private spooler for the whole suite: libcups binds to a server once per thread.
class Spooler : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!CupsServer::MissingPieces().empty())
            return;
        printer = std::make_unique<LoopbackPrinter>(OwnLoopbackHost(2), 9100);
        server = std::make_unique<CupsServer>();
        server->AddRawQueue("ESCPOS", OwnLoopbackHost(2), 9100);
        server->AddRawQueue("Kitchen", OwnLoopbackHost(3), 9100);
        kelvo::printer::PrinterBox::Options options;
        options.tcp = {OwnLoopbackHost(4), 0};
        options.lpd = kelvo::printer::TcpOptions{OwnLoopbackHost(4), 0};
        options.keepEnded = 4;
        box = std::make_unique<kelvo::printer::PrinterBox>(options);
        // CUPS's own LPD client, from an unprivileged port (the printer asks for none).
        server->AddQueue("Receipts", "lpd://" + box->LpdAddress() +
                                         "/receipts?contimeout=2&snmp=false&reserve=none");
    }
    static void TearDownTestSuite() {
        server.reset();
        box.reset();
        printer.reset();
    }
    void SetUp() override {
        if (std::string why = CupsServer::MissingPieces(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(server->WaitForJobsEnded());
        jobsBefore = server->Jobs().size();
        connectionsBefore = printer->connectionCount();
    }

    // The bytes of each job that reached the printer since the test began.
    std::vector<std::string> Delivered(size_t jobs) {
        EXPECT_TRUE(printer->waitForClosed(connectionsBefore + jobs, std::chrono::seconds(15)));
        auto all = printer->connections();
        return {all.begin() + static_cast<long>(connectionsBefore), all.end()};
    }
    std::vector<CupsServer::Job> NewJobs() {
        EXPECT_TRUE(server->WaitForJobsEnded());
        auto all = server->Jobs();
        return {all.begin() + static_cast<long>(jobsBefore), all.end()};
    }

    static inline std::unique_ptr<LoopbackPrinter> printer;
    static inline std::unique_ptr<CupsServer> server;
    static inline std::unique_ptr<kelvo::printer::PrinterBox> box;
    size_t jobsBefore = 0;
    size_t connectionsBefore = 0;
};

TEST_F(Spooler, DrawerPulseArrivesWithItsZeroByte) {
    auto result = SendRawToPrinter("ESCPOS", kDrawerPulse);
    EXPECT_FALSE(result.error);
    EXPECT_GT(result.jobId, 0);
    EXPECT_EQ(Delivered(1), std::vector<std::string>{kDrawerPulse});
}

TEST_F(Spooler, EachCallIsOneNamedJobInCallOrder) {
    const std::vector<std::string> sent = {kPrintCommand, std::string("second\0job", 10),
                                           kDrawerPulse};
    std::vector<int> ids;
    for (const auto& data : sent) {
        auto result = SendRawToPrinter("ESCPOS", data);
        ASSERT_FALSE(result.error);
        ids.push_back(result.jobId);
    }
    EXPECT_EQ(Delivered(3), sent);
    auto jobs = NewJobs();
    ASSERT_EQ(jobs.size(), 3u);
    for (size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(jobs[i].id, ids[i]);
        EXPECT_EQ(jobs[i].title, "正在处理打印...");
        EXPECT_EQ(jobs[i].printer, "ESCPOS");
        EXPECT_EQ(jobs[i].state, 9 /* completed */);
    }
}

TEST_F(Spooler, EveryByteValueArrivesUnchanged) {
    std::string data;
    for (int round = 0; round < 64; ++round) {
        for (int b = 0; b < 256; ++b)
            data.push_back(static_cast<char>(b));
    }
    ASSERT_FALSE(SendRawToPrinter("ESCPOS", data).error);
    EXPECT_EQ(Delivered(1), std::vector<std::string>{data});

    // The same through an lpd:// queue to the virtual printer's LPD port: one job, every byte.
    ASSERT_FALSE(SendRawToPrinter("Receipts", data).error);
    std::vector<kelvo::printer::EndedJob> ended;
    ASSERT_TRUE(kelvo::testing::Eventually([&] {
        for (auto& job : box->TakeEnded())
            ended.push_back(std::move(job));
        return !ended.empty();
    })) << server->ErrorLog();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].trace.bytes, data);
    EXPECT_EQ(ended[0].record.endpoint.rfind("LPD ", 0), 0u) << ended[0].record.endpoint;
    EXPECT_NE(ended[0].record.endpoint.find(", queue receipts"), std::string::npos);
}

TEST_F(Spooler, UnknownOrEmptyNameReportsTheCodeAndQueuesNothing) {
    for (const std::string name : {"NoSuchPrinter", ""}) {
        auto result = SendRawToPrinter(name, kPrintCommand);
        ASSERT_TRUE(result.error) << name;
        EXPECT_EQ(*result.error, "错误： 1030") << name;  // client-error-not-found
        EXPECT_EQ(result.jobId, 0);
    }
    EXPECT_TRUE(NewJobs().empty());
    EXPECT_EQ(printer->settle().size(), printer->bytes().size());
    EXPECT_EQ(printer->connectionCount(), connectionsBefore);
}

TEST_F(Spooler, EmptyDataLooksThePrinterUpButLeavesNoHeldJob) {
    auto result = SendRawToPrinter("ESCPOS", "");
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.jobId, 0);
    EXPECT_TRUE(NewJobs().empty());
    EXPECT_EQ(SendRawToPrinter("NoSuchPrinter", "").error, "错误： 1030");
}

TEST_F(Spooler, PrinterListHoldsTheQueuesInCupsOrder) {
    std::string why = "stale";
    EXPECT_EQ(InstalledPrinters(&why), (std::vector<std::string>{"ESCPOS", "Kitchen", "Receipts"}));
    EXPECT_EQ(why, "");
}

}  // namespace
