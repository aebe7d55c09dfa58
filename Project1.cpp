#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <memory>

#include "app/Dialogs.h"
#include "app/Unit1.h"
#include "app/VirtualPrinterWindow.h"
#include "printer/PrinterBox.h"

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("Kelvotool"));
    QCoreApplication::setApplicationVersion(QStringLiteral("6.5"));

    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Service and test tool for ESC/POS receipt printers."));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption withPrinter(
        QStringLiteral("virtual-printer"),
        QStringLiteral("Start with the virtual printer switched on (TCP on 127.0.0.1:9100 or the "
                       "next free loopback port, and a pseudo-terminal in the port boxes)."));
    const QCommandLineOption printerOnly(
        QStringLiteral("virtual-printer-only"),
        QStringLiteral("Run only the virtual printer, for testing other POS software against it."));
    options.addOption(withPrinter);
    options.addOption(printerOnly);
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

    if (options.isSet(printerOnly)) {
        QtDialogs dialogs;
        std::unique_ptr<kelvo::printer::PrinterBox> box;
        try {
            box =
                std::make_unique<kelvo::printer::PrinterBox>(kelvo::printer::PrinterBox::Options{});
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
    form.show();
    if (options.isSet(withPrinter)) {
        QString why;
        if (!form.SetVirtualPrinter(true, &why))
            std::fprintf(stderr, "kelvotool: virtual printer: %s\n", qPrintable(why));
    }
    return QApplication::exec();
}
