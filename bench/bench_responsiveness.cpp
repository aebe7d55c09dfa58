// How long the window's event loop stalls during three long actions, as a fraction of each
// action's duration. Prints figures only: a benchmark, not a test, so timing never fails a run.
// Exits 1 only when a case could not run at all.
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Dialogs.h"
#include "app/Unit1.h"
#include "protocol/GbkText.h"
#include "testing/BmpFiles.h"
#include "testing/EventLoopWatch.h"
#include "testing/LongText.h"
#include "testing/PacedPrinter.h"
#include "testing/Pty.h"
#include "testing/SilentServer.h"
#include "testing/TestHost.h"
#include "widgets/IPEdit.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kelvo::testing::EventLoopWatch;

namespace {

constexpr double kGoal = 0.02;
// No case may hang the run: past this it is given up and reported as not run.
constexpr auto kCaseLimit = 60s;
// Without ctest's per-suite address, a fixed one of our own on loopback.
constexpr char kStandaloneHost[] = "127.77.200.1";

struct Outcome {
    explicit Outcome(std::string caseName = {}) : name(std::move(caseName)) {}
    std::string name;
    bool ran = false;
    std::string why;  // when it did not run
    Clock::duration duration{};
    std::chrono::milliseconds longest{};
    std::vector<std::string> notes;
};

// Answers the file dialog with one path and keeps every box instead of showing it: a modal box
// would itself stop the loop being measured.
class QuietDialogs : public Dialogs {
  public:
    struct State {
        QString openPath;
        std::vector<std::string> boxes;
    };
    explicit QuietDialogs(std::shared_ptr<State> state) : state_(std::move(state)) {}
    void Message(QWidget*, const QString& title, const QString& text, Icon) override {
        state_->boxes.push_back((title + QStringLiteral(": ") + text).toStdString());
    }
    QString OpenFile(QWidget*, const QString&) override { return state_->openPath; }

  private:
    std::shared_ptr<State> state_;
};

// Notes the moment any widget of one window is first painted.
class FirstPaint : public QObject {
  public:
    QWidget* window = nullptr;
    std::optional<Clock::time_point> at;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!at && window != nullptr && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == window) {
            at = Clock::now();
        }
        return false;
    }
};

// Runs the real event loop (no sleeping between turns, which would add gaps of its own) until
// `done` holds or `limit` has passed.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(5);
    deadline.start(limit);
    loop.exec();
    return done();
}

// Cancels the window's running action once the case has lasted too long.
class GiveUp {
  public:
    explicit GiveUp(TForm1& form) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this, &form] {
            fired = true;
            form.Actions->Cancel();
        });
        timer_.start(kCaseLimit);
    }
    bool fired = false;

  private:
    QTimer timer_;
};

std::string Host() {
    return kelvo::testing::OwnLoopbackHost();
}

// A fresh window with its dialogs kept quiet, every address field pointing home before any
// click, and the start-up printer list already in.
std::unique_ptr<TForm1> SettledWindow(const std::shared_ptr<QuietDialogs::State>& dialogs,
                                      std::string& why) {
    auto form = std::make_unique<TForm1>(std::make_unique<QuietDialogs>(dialogs));
    const QString host = QString::fromStdString(Host());
    form->IPEdit3->SetIPString(host);
    form->IPEdit1->SetIPString(host);
    const QStringList octets = host.split(QLatin1Char('.'));
    QLineEdit* fields[] = {form->IP1, form->IP2, form->IP3, form->IP4};
    for (int i = 0; i < 4; ++i)
        fields[i]->setText(octets[i]);
    form->show();
    if (!WaitUntil([&] { return form->DriverNamesListed; }, kCaseLimit)) {
        why = "the window's start-up printer list never arrived";
        return nullptr;
    }
    return form;
}

void NoteBoxes(Outcome& out, const QuietDialogs::State& dialogs) {
    for (const std::string& box : dialogs.boxes)
        out.notes.push_back("box shown: " + box);
}

// Runs one click of `form` under a 20 ms watch, giving up after kCaseLimit. False when the click
// threw (the reason is in `out`).
bool Measure(Outcome& out, TForm1& form, const char* what, const std::function<void()>& click,
             bool& gaveUp) {
    GiveUp giveUp(form);
    EventLoopWatch watch;
    const auto start = Clock::now();
    try {
        click();
    } catch (const std::exception& e) {
        out.why = std::string("the ") + what + " threw: " + e.what();
        return false;
    }
    out.duration = Clock::now() - start;
    out.longest = watch.Longest();
    gaveUp = giveUp.fired;
    return true;
}

// The case ran when it was not given up and at least `wanted` bytes reached `where`.
void Judge(Outcome& out, const char* what, bool gaveUp, size_t got, size_t wanted,
           const char* where) {
    if (gaveUp) {
        out.why = std::string("the ") + what + " was given up after 60 s";
    } else if (got < wanted) {
        out.why = "only " + std::to_string(got) + " of at least " + std::to_string(wanted) +
                  " bytes reached the " + where;
    } else {
        out.ran = true;
        out.notes.push_back(std::to_string(got) + " bytes reached the " + where);
    }
}

// 1. A full-width NV logo down a serial line that a printer reads at 11,520 bytes/s.
Outcome NvLogoOverSerial() {
    Outcome out("NV logo 576x576 over serial");
    constexpr int kSide = 576;
    kelvo::testing::Pty pty;
    kelvo::testing::PortOverride com1("COM1", pty.slavePath());
    kelvo::testing::SlowReader reader(pty, 11520);  // 115200 baud, 10 bits a byte
    kelvo::testing::BmpShape shape;
    shape.width = kSide;
    shape.height = kSide;
    shape.bitsPerPixel = 1;
    shape.black = [](int x, int y) { return kelvo::testing::TestPattern(x, y, kSide, kSide); };
    kelvo::testing::TempFile bmp("logo.bmp", kelvo::testing::MakeBmp(shape));

    auto dialogs = std::make_shared<QuietDialogs::State>();
    dialogs->openPath = QString::fromStdString(bmp.path());
    auto form = SettledWindow(dialogs, out.why);
    if (!form)
        return out;
    if (!form->PosdllLib->loaded()) {
        out.why = "printer library not loaded: " + form->PosdllLib->error();
        return out;
    }
    // Serial is the page's choice at start; the first port name is COM1.
    if (form->PortChoiceItemIndex() != 0) {
        out.why = "the NV logo page did not start on the serial port";
        return out;
    }
    form->cbPortName->setCurrentIndex(0);
    form->btn17Click();
    if (form->dlgOpen1.FileName != dialogs->openPath) {
        out.why = "the logo file was not taken";
        return out;
    }

    bool gaveUp = false;
    if (!Measure(
            out, *form, "download", [&] { form->btn20Click(); }, gaveUp))
        return out;

    // The image alone is a byte per eight dots; the commands around it add a few more.
    constexpr size_t kImageBytes = size_t(kSide) * kSide / 8;
    reader.waitFor(kImageBytes, 10s);
    NoteBoxes(out, *dialogs);
    Judge(out, "download", gaveUp, reader.count(), kImageBytes, "port");
    return out;
}

// 2. The network test page with an 8 MB memo to a printer that takes a few seconds for it.
Outcome TestPageToSlowPrinter() {
    Outcome out("8 MB test page, slow network printer");
    // A status byte, then 4 KiB per read with a pause after each: 8 MB take a few seconds.
    kelvo::testing::PacedPrinter printer(Host(), 9100, {.pause = 2ms, .talkAt = 0ms});

    auto dialogs = std::make_shared<QuietDialogs::State>();
    auto form = SettledWindow(dialogs, out.why);
    if (!form)
        return out;
    form->Memo1->setPlainText(kelvo::testing::LongMemo());
    // The memo as the page sends it: lines ending in CR LF, in the printer's code page.
    QString lines = form->Memo1->toPlainText();
    lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const size_t memoBytes = kelvo::ToGbk(lines.toStdString()).size();
    form->Button1Click();
    if (form->IdTCPClient1.GetState() != kelvo::NetworkLink::State::Connected) {
        out.why = "could not connect to the printer at " + Host() + ": " +
                  form->StatusText().toStdString();
        return out;
    }

    bool gaveUp = false;
    if (!Measure(
            out, *form, "test page", [&] { form->Button3Click(); }, gaveUp))
        return out;

    printer.waitForBytes(memoBytes, 10s);
    const size_t got = printer.bytes().size();
    NoteBoxes(out, *dialogs);
    Judge(out, "test page", gaveUp, got, memoBytes, "printer");
    return out;
}

// 3. Start-up while the print server takes connections and never answers. Building the window
// runs on the window's thread before its loop turns, so it counts as a gap.
Outcome StartUpWithSilentPrintServer() {
    Outcome out("start-up, silent print server");
    kelvo::testing::SilentServer hung;
    kelvo::testing::CupsServerRoute route(hung.path());
    auto dialogs = std::make_shared<QuietDialogs::State>();
    FirstPaint paint;
    qApp->installEventFilter(&paint);

    EventLoopWatch watch;
    const auto start = Clock::now();
    auto form = std::make_unique<TForm1>(std::make_unique<QuietDialogs>(dialogs));
    paint.window = form.get();
    form->show();
    const bool painted = WaitUntil([&] { return paint.at.has_value(); }, kCaseLimit);
    const bool listed = painted && WaitUntil([&] { return form->DriverNamesListed; }, kCaseLimit);
    const auto end = Clock::now();
    out.longest = watch.Longest();
    out.duration = end - start;
    qApp->removeEventFilter(&paint);

    NoteBoxes(out, *dialogs);
    if (!painted) {
        out.why = "the window was never painted within 60 s";
    } else if (!listed) {
        out.why = "the printer list did not arrive within 60 s";
    } else {
        out.ran = true;
        out.notes.push_back(
            "first paint after " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::milliseconds>(*paint.at - start).count()) +
            " ms");
    }
    return out;
}

Outcome Guard(const char* name, Outcome (*run)()) {
    try {
        return run();
    } catch (const std::exception& e) {
        Outcome out(name);
        out.why = e.what();
        return out;
    }
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    ::setenv("KELVO_TEST_HOST", kStandaloneHost, 0);
    if (Host().rfind("127.", 0) != 0) {
        std::fprintf(stderr, "KELVO_TEST_HOST=%s is not a loopback address\n", Host().c_str());
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvotool"));

    std::vector<Outcome> outcomes(3);
    // Start-up first: a process starts once, and later windows would find Qt's fonts and styles
    // already loaded.
    outcomes[2] = Guard("start-up, silent print server", StartUpWithSilentPrintServer);
    {
        // The other windows' printer lists end at once on a server that is not there, so only the
        // action under test runs, and nothing leaves this machine.
        QTemporaryDir dir;
        kelvo::testing::CupsServerRoute route(
            dir.filePath(QStringLiteral("no-server")).toStdString());
        outcomes[0] = Guard("NV logo 576x576 over serial", NvLogoOverSerial);
        outcomes[1] = Guard("8 MB test page, slow network printer", TestPageToSlowPrinter);
    }

    std::printf("\nLongest event-loop stall per action (goal: under %.2f of the duration)\n\n",
                kGoal);
    std::printf("%-2s %-38s %10s %12s %9s  %s\n", "#", "case", "duration", "longest gap",
                "fraction", "goal met");
    bool allRan = true;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        if (!o.ran) {
            allRan = false;
            std::printf("%-2zu %-38s %10s %12s %9s  %s\n", i + 1, o.name.c_str(), "-", "-", "-",
                        "not run");
            continue;
        }
        const double seconds = std::chrono::duration<double>(o.duration).count();
        const double fraction = double(o.longest.count()) / 1000.0 / seconds;
        std::printf("%-2zu %-38s %8.2f s %9lld ms %9.4f  %s\n", i + 1, o.name.c_str(), seconds,
                    static_cast<long long>(o.longest.count()), fraction,
                    fraction < kGoal ? "yes" : "no");
    }
    std::printf("\n");
    for (size_t i = 0; i < outcomes.size(); ++i) {
        for (const std::string& note : outcomes[i].notes)
            std::printf("case %zu: %s\n", i + 1, note.c_str());
        if (!outcomes[i].ran)
            std::printf("case %zu did not run: %s\n", i + 1, outcomes[i].why.c_str());
    }
    std::fflush(stdout);
    return allRan ? 0 : 1;
}
