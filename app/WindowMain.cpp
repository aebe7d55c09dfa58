#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "KelvoVersion.h"
#include "app/Dialogs.h"
#include "app/HeadlessPrinter.h"
#include "app/LabFile.h"
#include "app/LabWindow.h"
#include "app/Unit1.h"
#include "app/VirtualPrinterWindow.h"
#include "cli/Drawing.h"
#include "paint/GreyPng.h"
#include "paint/ReceiptPainter.h"
#include "printer/PaperWidth.h"
#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"

// The program's window and the commands that draw: a library of their own, which the program
// loads only when one of them is asked for.
#define KELVO_WINDOW_ENTRY extern "C" __attribute__((visibility("default"))) int

KELVO_WINDOW_ENTRY kelvo_window_main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("Kelvotool"));
    QCoreApplication::setApplicationVersion(QLatin1String(kelvo::kVersion));

    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Service and test tool for ESC/POS receipt printers.\n"
                       "With no command it opens the window; `kelvotool help` lists the commands "
                       "that work without one."));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption withPrinter(
        QStringLiteral("virtual-printer"),
        QStringLiteral("Start with the virtual printer switched on (TCP on 127.0.0.1:9100 or the "
                       "next free loopback port, and a pseudo-terminal in the port boxes)."));
    const QCommandLineOption printerOnly(
        QStringLiteral("virtual-printer-only"),
        QStringLiteral("Run only the virtual printer, for testing other POS software against it."));
    const QCommandLineOption idleLimit(
        QStringLiteral("virtual-printer-idle"),
        QStringLiteral("Close a virtual printer's network client silent for this many seconds "
                       "(default 30; 0: never)."),
        QStringLiteral("seconds"));
    const QCommandLineOption paperWidth(
        QStringLiteral("virtual-printer-paper"),
        QStringLiteral("Load the virtual printers with paper this many millimetres wide: 80 "
                       "(576 dots, the default) or 58 (384 dots)."),
        QStringLiteral("mm"));
    const QCommandLineOption labFile(
        QStringLiteral("lab"),
        QStringLiteral("Run the printers a lab file names (see the README) in a window that lists "
                       "them, each with its state and its own panel, instead of the tool's "
                       "window."),
        QStringLiteral("file"));
    options.addOption(withPrinter);
    options.addOption(labFile);
    options.addOption(printerOnly);
    options.addOption(idleLimit);
    options.addOption(paperWidth);
    // Asked for on a console, help and version must not need a window system.
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            std::printf("%s",
                        qPrintable(options.helpText().replace(QStringLiteral("<executable_name>"),
                                                              QStringLiteral("kelvotool"))));
            return 0;
        }
        if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            std::printf("kelvotool %s\n", qPrintable(QCoreApplication::applicationVersion()));
            return 0;
        }
    }
    QApplication app(argc, argv);
    options.process(app);  // Qt's own options (-platform ...) are gone from argv by now
    kelvo::printer::PrinterBox::Options printerOptions;
    if (options.isSet(idleLimit)) {
        bool number = false;
        const int seconds = options.value(idleLimit).toInt(&number);
        if (!number || seconds < 0 || seconds > 3600) {
            std::fprintf(stderr, "kelvotool: --virtual-printer-idle takes 0 to 3600 seconds\n");
            return 2;
        }
        printerOptions.tcp.idleLimit = std::chrono::seconds(seconds);
    }
    if (options.isSet(paperWidth)) {
        const auto dots = kelvo::printer::PaperDotsForMm(options.value(paperWidth).toStdString());
        if (!dots) {
            std::fprintf(stderr, "kelvotool: --virtual-printer-paper takes 58 or 80 (mm)\n");
            return 2;
        }
        printerOptions.paperDots = *dots;
    }

    if (options.isSet(labFile)) {
        std::vector<LabPrinter> lab;
        try {
            lab = ReadLabFile(QFile::encodeName(options.value(labFile)).toStdString());
        } catch (const LabError& e) {
            std::fprintf(stderr, "kelvotool: %s\n", e.what());
            return 2;
        }
        QtDialogs dialogs;
        std::vector<std::unique_ptr<kelvo::printer::PrinterBox>> boxes;
        std::vector<TLabWindow::Printer> printers;
        for (const LabPrinter& p : lab) {
            std::vector<std::string> warnings;
            kelvo::printer::PrinterBox::Options box = BoxOptionsOf(p, true, warnings);
            for (const std::string& warning : warnings)
                std::fprintf(stderr, "kelvotool: %s\n", warning.c_str());
            box.tcp.idleLimit = printerOptions.tcp.idleLimit;
            try {
                boxes.push_back(std::make_unique<kelvo::printer::PrinterBox>(box));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "kelvotool: %s: %s\n", p.name.c_str(), e.what());
                return 1;
            }
            printers.push_back({QString::fromStdString(p.name), boxes.back().get()});
            const kelvo::printer::PrinterBox& made = *boxes.back();
            std::printf("virtual printer %s: TCP %s%s%s\n", p.name.c_str(),
                        made.TcpAddress().c_str(),
                        made.PtyPath().empty() ? "" : (", serial line " + made.PtyPath()).c_str(),
                        made.LpdAddress().empty() ? "" : (", LPD " + made.LpdAddress()).c_str());
        }
        std::fflush(stdout);
        TLabWindow window(std::move(printers), dialogs);
        window.show();
        return QApplication::exec();
    }

    if (options.isSet(printerOnly)) {
        QtDialogs dialogs;
        std::unique_ptr<kelvo::printer::PrinterBox> box;
        try {
            box = std::make_unique<kelvo::printer::PrinterBox>(printerOptions);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvotool: virtual printer: %s\n", e.what());
            return 1;
        }
        std::printf("virtual printer: TCP %s, serial line %s\n", box->TcpAddress().c_str(),
                    box->PtyPath().c_str());
        std::fflush(stdout);
        TVirtualPrinterWindow window(*box, dialogs);
        window.show();
        return QApplication::exec();
    }

    TForm1 form;
    form.VirtualPrinterOptions = printerOptions;  // its window shows them
    form.show();
    if (options.isSet(withPrinter)) {
        QString why;
        if (!form.SetVirtualPrinter(true, &why))
            std::fprintf(stderr, "kelvotool: virtual printer: %s\n", qPrintable(why));
    }
    return QApplication::exec();
}

namespace {

// `render FILE -o OUT.png [--paper 58|80]`: the paper the virtual printer's window would show for
// these bytes, drawn offscreen.
int Render(const kelvo::cli::RenderRequest& request) {
    const std::string& output = request.output;
    const int dots = request.paperDots;
    // Drawing needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    char name[] = "kelvotool";
    char* argv[] = {name, nullptr};
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    kelvo::printer::VirtualPrinter printer;
    printer.SetPaperWidth(dots);
    printer.Feed(request.input);
    printer.EndJob("end of file");
    kelvo::paint::ReceiptPainter painter;
    painter.SetPaperWidth(dots);
    painter.SetPaper(printer.Paper());
    // Written as named, not aside: OUT may be a pipe or a device.
    QFile file(QString::fromLocal8Bit(output.c_str()));
    const QString why = file.open(QIODevice::WriteOnly)
                            ? WriteWhole(file, kelvo::paint::GreyPng(painter.Render()))
                            : file.errorString();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "kelvotool render: %s: %s\n", output.c_str(), qPrintable(why));
        return 1;
    }
    return 0;
}

}  // namespace

KELVO_WINDOW_ENTRY kelvo_drawing_main(const kelvo::cli::DrawingRequest& request) {
    if (const auto* render = std::get_if<kelvo::cli::RenderRequest>(&request))
        return Render(*render);
    return RunHeadlessPrinter(std::get<kelvo::cli::HeadlessPrinterRequest>(request));
}
