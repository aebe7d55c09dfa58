#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "KelvoVersion.h"
#include "app/Dialogs.h"
#include "app/HeadlessPrinter.h"
#include "app/JobSaver.h"
#include "app/LabFile.h"
#include "app/LabWindow.h"
#include "app/Unit1.h"
#include "app/VirtualPrinterWindow.h"
#include "cli/Drawing.h"
#include "paint/GreyPng.h"
#include "paint/PaperCompare.h"
#include "paint/ReceiptPainter.h"
#include "printer/Endpoints.h"
#include "printer/JobReport.h"
#include "printer/PaperWidth.h"
#include "printer/PrinterBox.h"
#include "printer/VirtualPrinter.h"
#include "protocol/Receipt.h"
#include "web/WebServer.h"

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
    const QCommandLineOption pageAt(
        QStringLiteral("virtual-printer-http"),
        QStringLiteral("With --virtual-printer-only: serve its web page and API at [HOST:]PORT "
                       "(HOST: 127.0.0.1, loopback only), its jobs kept for the page while it "
                       "runs; the window's "
                       "\"Open web page\" opens it."),
        QStringLiteral("[host:]port"));
    options.addOption(withPrinter);
    options.addOption(pageAt);
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

    std::optional<std::pair<std::string, uint16_t>> page;
    if (options.isSet(pageAt)) {
        // PORT, HOST:PORT or [IPv6]:PORT.
        const std::string at = options.value(pageAt).toStdString();
        const size_t colon = at.rfind(':');
        std::string host = colon == std::string::npos ? "127.0.0.1" : at.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        bool number = false;
        const uint port = QString::fromStdString(at.substr(colon + 1)).toUInt(&number);
        // The window's printer binds nothing but loopback, its page included.
        if (!options.isSet(printerOnly) || !number || port > 65535 ||
            !kelvo::printer::IsLoopbackHost(host)) {
            std::fprintf(stderr,
                         "kelvotool: --virtual-printer-http takes [HOST:]PORT, HOST a loopback "
                         "address, with --virtual-printer-only\n");
            return 2;
        }
        page.emplace(host, static_cast<uint16_t>(port));
        printerOptions.keepEnded = 256;  // for the page's job files
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
        // The page shows the jobs as the headless printer saves them, in a folder of its own
        // for as long as the window runs.
        QTemporaryDir pageJobs;
        JobPictures pictures;
        JobSaver saver(pageJobs.path(), "", false, pictures, true, false);
        std::unique_ptr<kelvo::web::WebServer> web;
        QTimer savePoll;
        if (page) {
            try {
                web = std::make_unique<kelvo::web::WebServer>(
                    kelvo::web::WebServer::Options{page->first, page->second},
                    std::vector<kelvo::web::WebPrinter>{
                        {"network", QFile::encodeName(pageJobs.path()).toStdString(), box.get()}},
                    [&box](const std::string& line) {
                        return kelvo::printer::ControlNetworkPrinter(*box, line);
                    });
            } catch (const std::exception& e) {
                std::fprintf(stderr, "kelvotool: %s\n", e.what());
                return 1;
            }
            saver.OnSaved([&web](uint64_t n) { web->JobSaved(0, n); });
            QObject::connect(&savePoll, &QTimer::timeout, &app, [&box, &saver] {
                for (const kelvo::printer::EndedJob& job : box->TakeEnded())
                    saver.SaveJob(job);
            });
            savePoll.start(50);
            std::printf("web page: %s\n", web->Url().c_str());
        }
        std::fflush(stdout);
        TVirtualPrinterWindow window(*box, dialogs);
        if (web)
            window.SetPageUrl(QString::fromStdString(web->Url()));
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

// What the rows [top, bottom] of the roll's picture show: the lines of `render --text` they
// reach (numbered as it prints them), or that they lie below the paper's end.
std::string RowsShow(const kelvo::paint::ReceiptPainter& painter, int top, int bottom) {
    const auto& paper = painter.Paper();
    const int shift =
        std::max(0, painter.RollHeight() - kelvo::paint::ReceiptPainter::kMaxRenderRows);
    std::string shown;
    size_t line = 0;
    for (size_t i = 0; i < paper.size(); ++i) {
        const bool counted = !std::holds_alternative<kelvo::printer::PaperFeed>(paper[i]);
        line += counted;
        if (painter.TopOf(i + 1) - shift <= top || painter.TopOf(i) - shift > bottom)
            continue;
        std::string what = counted ? "line " + std::to_string(line) + " \"" +
                                         kelvo::printer::ItemText(paper[i]) + "\""
                                   : std::string("a blank feed");
        if (const auto* image = std::get_if<kelvo::printer::PaperImage>(&paper[i])) {
            what += " (" + std::to_string(image->width) + " x " + std::to_string(image->height) +
                    " dots" + (image->symbol.empty() ? "" : ", " + image->symbol) + ")";
        }
        shown += (shown.empty() ? "" : ", ") + what;
    }
    if (bottom >= painter.RollHeight() - shift)
        shown += (shown.empty() ? "" : ", ") + std::string("below this paper's end");
    return shown;
}

// `render FILE [-o OUT.png] [--text] [--compare GOLDEN.png]`: the paper the virtual printer's
// window would show for these bytes, drawn offscreen, its text, and how it differs from a golden
// picture.
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
    if (request.text) {
        std::string text;
        for (const kelvo::printer::PaperItem& item : painter.Paper()) {
            if (!std::holds_alternative<kelvo::printer::PaperFeed>(item))
                text += kelvo::printer::ItemText(item) + '\n';
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    const QImage paper = painter.Render();
    // Written as named, not aside: OUT may be a pipe or a device.
    // The paper is grey, for the fast encoder; the diff has coloured marks, for Qt's.
    auto write = [](const std::string& path, const QImage& image) {
        QFile file(QString::fromLocal8Bit(path.c_str()));
        QString why;
        if (!file.open(QIODevice::WriteOnly))
            why = file.errorString();
        else if (image.format() == QImage::Format_Grayscale8)
            why = WriteWhole(file, kelvo::paint::GreyPng(image));
        else if (!image.save(&file, "PNG"))
            why = file.errorString().isEmpty() ? QStringLiteral("cannot be written as PNG")
                                               : file.errorString();
        if (!why.isEmpty())
            std::fprintf(stderr, "kelvotool render: %s: %s\n", path.c_str(), qPrintable(why));
        return why.isEmpty();
    };
    if (!output.empty() && !write(output, paper))
        return 1;
    if (request.compare.empty())
        return 0;
    QImage golden;
    if (!golden.load(QString::fromLocal8Bit(request.compare.c_str()))) {
        std::fprintf(stderr, "kelvotool render: %s: no picture that can be read\n",
                     request.compare.c_str());
        return 2;
    }
    const kelvo::paint::PaperDifference d =
        kelvo::paint::ComparePaper(golden, paper, request.tolerance);
    if (d.Same())
        return 0;
    std::string summary = request.inputName + " differs from " + request.compare + " (tolerance " +
                          std::to_string(request.tolerance) +
                          " dots): " + std::to_string(d.changedDots) + " dots changed\n";
    if (d.golden != d.now) {
        summary += "  size: " + request.compare + " " + std::to_string(d.golden.width()) + " x " +
                   std::to_string(d.golden.height()) + " dots, this paper " +
                   std::to_string(d.now.width()) + " x " + std::to_string(d.now.height()) + "\n";
    }
    for (const auto& [top, bottom] : d.rows) {
        summary += "  rows " + std::to_string(top) + "-" + std::to_string(bottom) + ": " +
                   RowsShow(painter, top, bottom) + "\n";
    }
    summary += "  diff: " + request.diff + "\n";
    std::fwrite(summary.data(), 1, summary.size(), stdout);
    write(request.diff, d.diff);
    return 1;
}

}  // namespace

KELVO_WINDOW_ENTRY kelvo_drawing_main(const kelvo::cli::DrawingRequest& request) {
    if (const auto* render = std::get_if<kelvo::cli::RenderRequest>(&request))
        return Render(*render);
    return RunHeadlessPrinter(std::get<kelvo::cli::HeadlessPrinterRequest>(request));
}

// `print --image FILE`: the picture's grey levels, transparency taken as the white of the paper.
KELVO_WINDOW_ENTRY kelvo_read_picture(const std::string& path, kelvo::GreyPicture& out,
                                      std::string& why) {
    QImageReader reader(QString::fromLocal8Bit(path.c_str()));
    reader.setAutoTransform(true);  // a photo's orientation as its camera took it
    const QImage image = reader.read().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) {
        why = reader.errorString().toStdString();
        return 1;
    }
    out.width = image.width();
    out.height = image.height();
    out.grey.resize(static_cast<size_t>(out.width) * out.height);
    for (int y = 0; y < out.height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < out.width; ++x)
            out.grey[static_cast<size_t>(y) * out.width + x] = static_cast<uint8_t>(
                (qGray(row[x]) * qAlpha(row[x]) + 255 * (255 - qAlpha(row[x]))) / 255);
    }
    return 0;
}
