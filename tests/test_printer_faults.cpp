// Faults on cue: printers whose scripts make them misbehave, met by a client that plays a POS.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "printer/Faults.h"
#include "printer/PrinterBox.h"
#include "testing/Eventually.h"
#include "testing/PosPeer.h"
#include "testing/RowName.h"
#include "testing/TestHost.h"

using kelvo::printer::PrinterBox;
using kelvo::printer::VirtualPrinter;
using kelvo::testing::Eventually;
using kelvo::testing::PosPeer;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

double PaperMm(PrinterBox& box) {
    return box.With(0, [](VirtualPrinter& p) {
        int64_t dots = 0;
        for (const auto& item : p.Paper())
            dots += kelvo::printer::ItemHeight(item);
        return double(dots) / kelvo::printer::kDotsPerMm;
    });
}

uint64_t Printed(PrinterBox& box) {
    return box.With(0, [](VirtualPrinter& p) { return p.Count().bytes; });
}

void Live(PrinterBox& box, const std::string& words) {
    box.Apply(kelvo::printer::ParseFaultAction(kelvo::printer::FaultWords(words)));
}

struct Script {
    const char* name;
    std::vector<std::string> steps;
    std::function<void(PosPeer& pos, PrinterBox& box)> play;
};

void PrintTo(const Script& s, std::ostream* os) {
    *os << s.name;
}

class Faults : public ::testing::TestWithParam<Script> {};

const std::string kReceipt = kelvo::testing::Receipt300mm();

}  // namespace

TEST_P(Faults, ThePrinterMisbehavesAsItsScriptSaysAndThePosSeesIt) {
    PrinterBox::Options options;
    options.tcp.host = kelvo::testing::OwnLoopbackHost();
    options.tcp.port = 0;
    options.script = kelvo::printer::ParseFaultScript(GetParam().steps);
    PrinterBox box(options);
    PosPeer pos(box.TcpAddress());
    GetParam().play(pos, box);
}

INSTANTIATE_TEST_SUITE_P(
    PrinterFaults, Faults,
    ::testing::Values(
        Script{"PaperOutAfter100mmHoldsTheRestUntilPaperIsLoaded",
               {"100mm paper-out"},
               [](PosPeer& pos, PrinterBox& box) {
                   pos.Send("\x1B\x40\x1D\x61\x08"s);  // paper roll sensor watched
                   EXPECT_EQ(pos.Read(4), "\x10\x00\x00\x00"s);
                   pos.Send(kReceipt);
                   EXPECT_EQ(pos.Read(4), "\x18\x00\x0C\x00"s);  // offline, paper out
                   const double stopped = PaperMm(box);
                   std::printf("[ measured ] stopped after %.1f mm\n", stopped);
                   EXPECT_GE(stopped, 100);
                   EXPECT_LT(stopped, 110);
                   EXPECT_EQ(pos.Status(4, 500ms), 0x72);
                   EXPECT_EQ(PaperMm(box), stopped);
                   Live(box, "paper-in");
                   EXPECT_EQ(pos.Read(4), "\x10\x00\x00\x00"s);
                   EXPECT_TRUE(Eventually([&] { return Printed(box) == 5 + kReceipt.size() + 3; }));
                   EXPECT_EQ(box.With(0, [](VirtualPrinter& p) { return p.Count().lines; }), 70u);
                   EXPECT_GE(PaperMm(box), 300);
               }},
        Script{"ResetAfter1KiBIsAResetAtThePos",
               {"1024B reset"},
               [](PosPeer& pos, PrinterBox& box) {
                   pos.Send(kReceipt);
                   EXPECT_EQ(pos.Read(1), "");
                   EXPECT_EQ(pos.error, ECONNRESET);
                   EXPECT_EQ(Printed(box), 1024u);
                   EXPECT_TRUE(Eventually([&] {
                       return box.With(0, [](VirtualPrinter& p) { return p.Jobs().size(); }) == 1;
                   }));
                   EXPECT_EQ(box.With(0, [](VirtualPrinter& p) { return p.Jobs()[0].end; }),
                             "reset by the printer");
               }},
        Script{"AStalledPrinterAcceptsAndNeverReads",
               {"job 1 stall"},
               [](PosPeer& pos, PrinterBox& box) {
                   EXPECT_EQ(pos.Status(1, 500ms), std::nullopt);
                   EXPECT_TRUE(box.TcpServing());
                   EXPECT_EQ(pos.Send(std::string(4 << 20, 'x'), 500ms), ETIMEDOUT);
                   EXPECT_EQ(Printed(box), 0u);
               }},
        Script{"StatusLateBy700msIsNoAnswerToA500msQuery",
               {"job 1 status-late 700"},
               [](PosPeer& pos, PrinterBox&) {
                   const kelvo::StatusAnswers got = pos.QueryStatus(500ms);
                   for (int i = 0; i < 4; ++i) {
                       EXPECT_EQ(got.answer[i], std::nullopt) << i;
                       EXPECT_EQ(got.late[i], 0x12) << i;
                   }
               }},
        Script{"StatusNeverAnswers",
               {"job 1 status-never"},
               [](PosPeer& pos, PrinterBox& box) {
                   const kelvo::StatusAnswers got = pos.QueryStatus(300ms);
                   for (int i = 0; i < 4; ++i)
                       EXPECT_EQ(got.answer[i], std::nullopt) << i;
                   EXPECT_EQ(got.unsolicited, "");
                   Live(box, "status-normal");
                   EXPECT_EQ(pos.Status(1, 500ms), 0x12);
               }},
        Script{"CoverOpenAtTheSecondJobHoldsIt",
               {"job 2 cover-open", "at 0s paper-near-end"},
               [](PosPeer& first, PrinterBox& box) {
                   ASSERT_TRUE(Eventually([&] {  // the timer's step, at once
                       return box.With(0, [](VirtualPrinter& p) { return p.Flags().paperNearEnd; });
                   }));
                   EXPECT_EQ(first.Status(4, 500ms), 0x1E);
                   first.Send("first\n");
                   first.link.Disconnect();
                   PosPeer second(box.TcpAddress());
                   second.Send("second\n");
                   EXPECT_EQ(second.Status(2, 500ms), 0x16);
                   EXPECT_EQ(Printed(box), 9u);
                   Live(box, "cover-open off");
                   EXPECT_TRUE(Eventually([&] { return Printed(box) == 19u; }));
               }}),
    kelvo::testing::NamedByName());

TEST(FaultScript, EachStepReadsAsWrittenAndAWrongOneIsNamed) {
    using kelvo::printer::Fault;
    using kelvo::printer::FaultStep;
    using kelvo::printer::FaultWhen;
    const auto steps =
        kelvo::printer::ParseFaultScript({"at 5s offline", "1500ms online", "job 3 drawer-open",
                                          "100mm paper-near-end off", "1024B status-late 700"});
    EXPECT_EQ(steps[0], (FaultStep{FaultWhen::Time, 5s, 0, {Fault::Offline, true, 0ms}}));
    EXPECT_EQ(steps[1], (FaultStep{FaultWhen::Time, 1500ms, 0, {Fault::Offline, false, 0ms}}));
    EXPECT_EQ(steps[2], (FaultStep{FaultWhen::Job, 0ms, 3, {Fault::DrawerOpen, true, 0ms}}));
    EXPECT_EQ(steps[3], (FaultStep{FaultWhen::Paper, 0ms, 100, {Fault::PaperNearEnd, false}}));
    EXPECT_EQ(steps[4], (FaultStep{FaultWhen::Bytes, 0ms, 1024, {Fault::StatusLate, true, 700ms}}));
    const auto action = [](const std::string& words) {
        return kelvo::printer::ParseFaultAction(kelvo::printer::FaultWords(words));
    };
    EXPECT_EQ(action("paper-in off"), (kelvo::printer::FaultAction{Fault::PaperOut, true}));
    EXPECT_EQ(action("status-late off"), (kelvo::printer::FaultAction{Fault::StatusLate, false}));
    EXPECT_THROW(action("status-late on"), std::invalid_argument);
    EXPECT_THROW(action("reset off"), std::invalid_argument);
    for (const char* wrong : {"100 paper-out", "job 0 reset", "5s paper-gone", "5s status-late",
                              "5s stall sometimes", ""}) {
        try {
            kelvo::printer::ParseFaultStep(wrong);
            ADD_FAILURE() << wrong;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).find("fault step '"s + wrong + "': "), 0u) << e.what();
        }
    }
}
